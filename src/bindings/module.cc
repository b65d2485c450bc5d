// The module _vostrel: four classes, listed in __all__ in the order they are
// added, and the module functions (attributes of the module, outside __all__:
// they serve the vostrel package rather than `from _vostrel import *`).

#include "bindings.h"

namespace vostrel::bindings {
namespace {

PyMethodDef module_functions[] = {
    {"data_file_type", data_file_type, METH_O,
     "data_file_type(name, /)\n--\n\n"
     "The FileType of a directory entry named `name` if the reader takes it for a\n"
     "data file (six or more ASCII digits, then .log, .ldb or .sst in any case), else None."},
    {"data_files", data_files, METH_O,
     "data_files(directory, /)\n--\n\n"
     "The data files of a directory in the order the reader visits them, as\n"
     "(path, FileType, number) tuples, number being the name's digits read in decimal:\n"
     "the regular files whose names are data files' names, listed once by the\n"
     "reader's own rules, none of them opened. OSError when the directory cannot be\n"
     "listed."},
    {"stats_stores", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stats_stores)),
     METH_VARARGS | METH_KEYWORDS,
     "stats_stores(directories, *, threads=None, on_store=None)\n--\n\n"
     "The record counts of every data file of each store, as `vostrel stats` reports\n"
     "them: one list per store, in the order given, of one dict per data file\n"
     "(the keys of RawLevelDb.file_stats), files the reader left out included with\n"
     "zero counts; None for a store that could not be opened. Worker threads\n"
     "(None: one per processor core) open and count the stores side by side, with\n"
     "the interpreter lock released. on_store(index, error, skipped, files) is\n"
     "called on the calling thread as each store's turn comes: error None or why\n"
     "the store could not be opened; skipped, the (path, reason) of its files left\n"
     "out; files, its list (or None). An exception from it stops the call and is\n"
     "raised."},
    {"read_manifest", read_manifest, METH_O,
     "read_manifest(directory, /)\n--\n\n"
     "The manifest LevelDB would read in the store `directory` (the one CURRENT\n"
     "names, else the highest-numbered), replayed: a dict of path, chosen_by,\n"
     "size, read_end (where reading stopped), edits (each version edit in order\n"
     "with its file offset and length), current (the version they leave: log\n"
     "numbers, last sequence, comparator, tables by level), orphaned (data files\n"
     "on disk the version does not use) and missing (table numbers it lists that\n"
     "are not on disk). None when the directory has no readable manifest."},
    {"inspect_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_file)),
     METH_VARARGS | METH_KEYWORDS,
     "inspect_file(path, on_item=None)\n--\n\n"
     "The structure of one file, told table or log by its content (a manifest by\n"
     "its name): a dict of path, kind ('table', 'log' or 'manifest'), size, items\n"
     "(one dict per item, its kind under 'item': first the file itself, then each\n"
     "footer, metaindex or index entry, block, physical record, write batch,\n"
     "version edit, gap, zeros, padding, skipped or trailing stretch), damage\n"
     "(counts of bad checksums, unreadable blocks, gaps, zero and skipped\n"
     "stretches, trailing bytes) and damaged. With on_item, each item dict is\n"
     "passed to it as it is found instead, and items is None; an exception from\n"
     "it stops the walk and is raised. OSError when the file cannot be opened."},
    {"decompress_snappy", decompress_snappy, METH_O,
     "decompress_snappy(data, /)\n--\n\n"
     "Decompresses one raw (unframed) Snappy buffer; ValueError if it is corrupt."},
    {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file)),
     METH_VARARGS | METH_KEYWORDS,
     "read_file(path, *, carve=True)\n--\n\n"
     "Every record of one data file, told table or log by its content, whatever its\n"
     "name: the normal read's records, then (carve=True) the carved ones."},
    {"data_file_columns", data_file_columns, METH_O,
     "data_file_columns(path, /)\n--\n\n"
     "The records of one data file as columns: a dict of key, user_key and value\n"
     "(lists of bytes), seq and offset (bytes of native unsigned 64-bit integers),\n"
     "state, file_type and was_compressed (bytes, one byte per record), and\n"
     "origin_file (the path, shared by every record). The file is read as the\n"
     "directory reader reads it: a file it would leave out has no records.\n"
     "ValueError when the path's final component is not a data file's name."},
    {"partition_columns", partition_columns, METH_VARARGS,
     "partition_columns(paths, allocate, /)\n--\n\n"
     "The records of several data files in turn as one set of columns, each file\n"
     "read as data_file_columns reads it: allocate(count) is called once with the\n"
     "number of records and returns three writable one-dimensional object arrays\n"
     "of that length (numpy.empty(count, dtype=object)), which receive the keys,\n"
     "user keys and values. Returns a dict of counts (records per file, in turn),\n"
     "origin_file (one str per file) and seq, offset, state, file_type and\n"
     "was_compressed packed for all the records as data_file_columns packs them,\n"
     "in a bytearray each.\n"
     "ValueError when a path's final component is not a data file's name (no\n"
     "file is read then)."},
    {"export_stores", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(export_stores)),
     METH_VARARGS | METH_KEYWORDS,
     "export_stores(directories, file, *, format='jsonl', encoding='escaped', states=None,\n"
     "              reverse=False, threads=None, header=True, on_store=None, status=False)\n--\n\n"
     "Writes the records of many stores as `vostrel dump` of several directories\n"
     "does: the stores one after another in the order given, every record with\n"
     "its store field. Worker threads share out the data files of all the stores,\n"
     "opening each store as they reach it, while the calling thread writes in\n"
     "order. on_store(index, error, skipped) is called on the calling thread as\n"
     "each store's turn comes: error None, or why the store could not be opened\n"
     "(it then has no records); skipped, the (path, reason) of its files left\n"
     "out. status: every record ends with its status, as RawLevelDb.export writes\n"
     "it. Returns the number of records written."},
    {"export_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(export_files)),
     METH_VARARGS | METH_KEYWORDS,
     "export_files(paths, file, *, format='jsonl', encoding='escaped', states=None,\n"
     "             reverse=False, threads=None)\n--\n\n"
     "Writes the records of data files read by content, whatever their names, as\n"
     "`vostrel dump FILE...` does: file by file in the order given (reversed\n"
     "with reverse), each file's normal records then its carved ones, every\n"
     "record ending with its recovered field. Worker threads read and format\n"
     "the files while the calling thread writes in order. A file that cannot be\n"
     "opened raises OSError once the files before it are written. Returns the\n"
     "number of records written."},
    {"chromium_export", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chromium_export)),
     METH_VARARGS | METH_KEYWORDS,
     "chromium_export(directory, file, *, kind=None, states=None, reverse=False, status=False, latest=False, "
     "store=None, blob_dir=None, counts=False, types=None, csv=False, threads=None, extract_blobs=None, "
     "fallback_kind=None)\n--\n\n"
     "Writes the decoded entries of a Chromium Local Storage, Session Storage or\n"
     "IndexedDB store as JSON Lines (what `vostrel chromium` writes) to a file\n"
     "descriptor or a binary file object; returns the number of entries written.\n"
     "kind is 'localstorage', 'sessionstorage', 'indexeddb', 'serviceworker', 'extension_settings',\n"
     "'leveldb' (any store, plainly) or None to detect it (ValueError when it\n"
     "cannot be told, unless fallback_kind names the kind to use then); states\n"
     "keeps only records in those KeyStates; store, if\n"
     "given, leads every line as its \"store\" field; blob_dir, an IndexedDB\n"
     "store's blob folder (None: looked for beside the store); types keeps only\n"
     "entries of those types; csv writes each entry as its CSV row instead (the\n"
     "columns of chromium_csv_columns(), no header, the store column store or \"\").\n"
     "threads decode the records after the first pass, each taking the next data\n"
     "file while the calling thread writes in order (None: every core)."},
    {"chromium_export_stores",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chromium_export_stores)),
     METH_VARARGS | METH_KEYWORDS,
     "chromium_export_stores(directories, file, *, kind=None, states=None, reverse=False, status=False,\n"
     "                       latest=False, blob_dir=None, types=None, csv=False, threads=None,\n"
     "                       extract_blobs=None, on_store=None)\n--\n\n"
     "Writes the decoded entries of many Chromium stores as `vostrel chromium\n"
     "--find` does: the stores one after another in the order given, every line\n"
     "with its \"store\" field (CSV: its store column, no header), each store\n"
     "decoded by kind or by the kind detected from it (plainly, 'leveldb', when\n"
     "that cannot be told). Worker threads share out the data files of all the\n"
     "stores; the thread that opens a store runs its first pass. on_store(index,\n"
     "error, skipped) as export_stores calls it. Returns the number of entries\n"
     "written."},
    {"iter_chromium_entries",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_chromium_entries)),
     METH_VARARGS | METH_KEYWORDS,
     "iter_chromium_entries(directory, *, kind=None, reverse=False, blob_dir=None, values=None)\n--\n\n"
     "The decoded entries of a Chromium store, one JSON text (str) per record,\n"
     "decoded a few hundred records at a time. With values (a dict of the value\n"
     "types by name, vostrel.chromium.common.VALUE_TYPES) each entry is the dict\n"
     "of Python values from_json would make of its text, built without the text."},
    {"detect_chromium_kind",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect_chromium_kind)),
     METH_VARARGS | METH_KEYWORDS,
     "detect_chromium_kind(db, directory='')\n--\n\n"
     "Which kind of Chromium store an opened RawLevelDb holds, judged by the keys\n"
     "of its first records, else by the directory's name; None when neither tells."},
    {"chromium_entry_types", chromium_entry_types, METH_NOARGS,
     "chromium_entry_types()\n--\n\n"
     "Every name the \"type\" of a decoded Chromium entry takes, sorted."},
    {"chromium_csv_columns", chromium_csv_columns, METH_NOARGS,
     "chromium_csv_columns()\n--\n\n"
     "The columns of chromium_export(..., csv=True)'s rows, in order."},
    {"chromium_value_json", chromium_value_json, METH_O,
     "chromium_value_json(data, /)\n--\n\n"
     "The JSON form of one serialized script value (Blink's envelope, then V8's\n"
     "format); ValueError with the reason when it does not decode."},
    {"escape", escape, METH_O,
     "escape(data, /)\n--\n\n"
     "The escaped text of bytes: printable UTF-8 text as it is, a backslash as two,\n"
     "every other byte (invalid UTF-8, non-printable characters) as \\xNN."},
    {"unescape", unescape, METH_O,
     "unescape(text, /)\n--\n\n"
     "The bytes whose escaped text is `text`; ValueError for text that no bytes\n"
     "escape to."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vostrel",
    .m_doc = "",
    // 0, not -1: with -1 Python would copy the first module object on a
    // re-import instead of calling PyInit__vostrel, bypassing the check below.
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The classes hold process-wide state (the types are created once), so the
// module can be initialised only once per process.
bool initialised = false;

int add_to_all(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) != 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const int appended = text == nullptr ? -1 : PyList_Append(all, text);
  Py_XDECREF(text);
  Py_DECREF(all);
  return appended;
}

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr || add_to_all(module, name) != 0) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace
}  // namespace vostrel::bindings

PyMODINIT_FUNC PyInit__vostrel(void) {
  using namespace vostrel::bindings;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "_vostrel cannot be initialised more than once in one process");
    return nullptr;
  }
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  if (add_class(module, "KeyState", key_state_type()) != 0 ||
      add_class(module, "FileType", file_type_type()) != 0 ||
      add_class(module, "Record", record_type()) != 0 ||
      add_class(module, "RawLevelDb", raw_level_db_type()) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  initialised = true;
  return module;
}
