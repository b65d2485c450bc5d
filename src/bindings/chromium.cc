// The Chromium store decoder's module functions:
//   chromium_export(directory, file, *, kind=None, states=None, reverse=False, status=False,
//                   latest=False, store=None, blob_dir=None, counts=False, types=None, csv=False,
//                   threads=None, extract_blobs=None, fallback_kind=None)
//   iter_chromium_entries(directory, *, kind=None, reverse=False, blob_dir=None, values=None)
//   detect_chromium_kind(db, directory="")
//   chromium_value_json(data)
//   chromium_entry_types()
//   chromium_csv_columns()
// The store's entries are decoded and written as JSON lines by the core
// (chromium/chromium_export.h) with the interpreter lock released; output
// goes out as RawLevelDb.export's does (chunk_output.h). With extract_blobs
// (a folder), every blob file the entries name is copied there under its
// SHA-256; one that could not be copied is a RuntimeWarning naming it. With
// values, the iterator gives each entry as a dict of Python values
// (chromium_values.h) rather than as its line.

#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "chromium/blink_value.h"
#include "chromium/chromium_export.h"
#include "chromium/entry.h"
#include "chromium/entry_csv.h"
#include "chromium_values.h"
#include "chunk_output.h"
#include "raw_level_db.h"

namespace vostrel::bindings {
namespace {

using chromium::ChromiumEntries;
using chromium::StoreKind;

// Records decoded between two looks at pending signals.
constexpr std::size_t kCheckRecords = 8192;
// Records per refill of the entry iterator.
constexpr std::size_t kRefillRecords = 512;

// None or one of the kind names; ValueError in the command's words otherwise.
bool parse_kind(PyObject* value, std::optional<StoreKind>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) PyErr_Clear();
    if (utf8 != nullptr) {
      out = chromium::parse_store_kind(std::string_view(utf8, static_cast<std::size_t>(size)));
    }
    if (out) return true;
  }
  PyErr_Format(PyExc_ValueError,
               "unknown kind %R (choose from localstorage, sessionstorage, indexeddb, serviceworker, "
               "extension_settings, leveldb)",
               value);
  return false;
}

// None, or an iterable of str: the entry types kept.
bool parse_types(PyObject* value, std::optional<std::vector<std::string>>& out) {
  if (value == nullptr || value == Py_None) return true;
  PyObject* items = PySequence_Fast(value, "types must be an iterable of str");
  if (items == nullptr) return false;
  std::vector<std::string> types;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) raise_conversion("types", item, "str");
      Py_DECREF(items);
      return false;
    }
    types.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  Py_DECREF(items);
  out = std::move(types);
  return true;
}

// None, or a str as UTF-8 with undecodable bytes restored (surrogateescape,
// as paths are decoded): false with TypeError otherwise.
bool parse_optional_path(const char* name, PyObject* value, std::optional<std::string>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyUnicode_Check(value)) {
    raise_conversion(name, value, "str");
    return false;
  }
  PyObject* bytes = PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape");
  if (bytes == nullptr) return false;
  out.emplace(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return true;
}

PyObject* raise_cannot_tell(PyObject* directory) {
  PyErr_Format(PyExc_ValueError, "cannot tell which kind of Chromium store %U is", directory);
  return nullptr;
}

// ---------------------------------------------------------------------------
// The entry iterator

struct EntryIteratorObject {
  PyObject_HEAD
  std::optional<RawLevelDb> reader;
  std::optional<ChromiumEntries> entries;
  std::string buffer;  // whole lines, each ending in "\n"; handed out from `next`
  std::unique_ptr<ChromiumValues> values;  // set: entries as dicts
  std::size_t next;
  bool more;     // records remain in the store
  bool running;  // a next() is refilling with the lock released
};

EntryIteratorObject* as_entry_iterator(PyObject* self) {
  return reinterpret_cast<EntryIteratorObject*>(self);
}

void entry_iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  EntryIteratorObject* it = as_entry_iterator(self);
  it->entries.~optional();
  it->reader.~optional();
  it->buffer.~basic_string();
  it->values.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* entry_iterator_next(PyObject* self) {
  EntryIteratorObject* it = as_entry_iterator(self);
  if (it->running) {
    PyErr_SetString(PyExc_ValueError, "iterator already executing");
    return nullptr;
  }
  try {
    if (it->next >= it->buffer.size()) {
      it->buffer.clear();
      it->next = 0;
      if (!it->more) return nullptr;  // exhausted: StopIteration
      it->running = true;
      const auto keep = [](std::string&) {};
      if (it->values) {
        // The values are built as they are decoded: the lock stays held.
        it->values->clear();
        struct Sink {
          ChromiumValues* values;
          chromium::ScriptValueSink* previous = chromium::set_script_value_sink(values);
          ~Sink() { chromium::set_script_value_sink(previous); }
        } sink{it->values.get()};
        while (it->buffer.empty() && it->more && !it->values->failed()) {
          it->more = it->entries->step(*it->reader, kRefillRecords, it->buffer, SIZE_MAX, keep);
        }
      } else {
        ReleasedLock lock;
        while (it->buffer.empty() && it->more) {
          it->more = it->entries->step(*it->reader, kRefillRecords, it->buffer, SIZE_MAX, keep);
        }
      }
      it->running = false;
      if (it->values && it->values->failed()) {
        it->more = false;
        it->buffer.clear();
        it->values->restore_error();
        return nullptr;
      }
      if (it->buffer.empty()) return nullptr;
    }
    std::size_t end = it->buffer.find('\n', it->next);
    if (end == std::string::npos) end = it->buffer.size();
    if (it->values) {
      const std::string_view line(it->buffer.data() + it->next, end - it->next);
      it->next = end + 1;
      return it->values->entry(line);
    }
    PyObject* line = PyUnicode_DecodeUTF8(it->buffer.data() + it->next,
                                          static_cast<Py_ssize_t>(end - it->next), "strict");
    it->next = end + 1;
    return line;
  } catch (...) {
    it->running = false;
    it->more = false;
    raise_from_current_exception();
    return nullptr;
  }
}

PyTypeObject* entry_iterator_class = nullptr;

PyTypeObject* entry_iterator_type() {
  if (entry_iterator_class != nullptr) return entry_iterator_class;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(entry_iterator_dealloc)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(entry_iterator_next)},
      {0, nullptr},
  };
  // Holds no Python object but the value types, which hold no iterator:
  // never part of a cycle.
  PyType_Spec spec{
      .name = "_vostrel.ChromiumEntryIterator",
      .basicsize = sizeof(EntryIteratorObject),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  entry_iterator_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return entry_iterator_class;
}

// One warning per blob file that was found but not copied (the first
// BlobCopies::kMaxNoted), then one for the rest; false with the error set when
// warnings are errors.
bool warn_uncopied_blobs(const chromium::BlobCopies& copies) {
  const auto noted = copies.noted_failures();
  for (const auto& [blob, reason] : noted) {
    PyObject* path = PyUnicode_DecodeFSDefaultAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size()));
    PyObject* folder = PyUnicode_DecodeFSDefaultAndSize(copies.directory().data(),
                                                        static_cast<Py_ssize_t>(copies.directory().size()));
    const int failed = path == nullptr || folder == nullptr
                           ? -1
                           : PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%U: not copied to %U: %s", path, folder,
                                              reason.c_str());
    Py_XDECREF(path);
    Py_XDECREF(folder);
    if (failed != 0) return false;
  }
  const std::uint64_t rest = copies.failures() - noted.size();
  return rest == 0 || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%llu more blob files not copied",
                                       static_cast<unsigned long long>(rest)) == 0;
}

// The arguments chromium_export and chromium_export_stores share.
struct EntryArgumentObjects {
  PyObject* kind = nullptr;
  PyObject* latest = nullptr;
  PyObject* blob_dir = nullptr;
  PyObject* types = nullptr;
  PyObject* csv = nullptr;
  PyObject* extract_blobs = nullptr;
  ExportArgumentObjects given;  // states, reverse, status, threads
};

// Their one reading. False with a Python error set.
bool parse_entry_arguments(const EntryArgumentObjects& objects, chromium::ChromiumExportOptions& options) {
  ExportArguments parsed;
  std::optional<std::string> blob_dir;
  std::optional<std::string> extract_to;
  if (!parse_kind(objects.kind, options.kind) || !parse_export_arguments(objects.given, parsed) ||
      !parse_bool_argument("latest", objects.latest, options.selection.latest) ||
      !parse_bool_argument("csv", objects.csv, options.csv) || !parse_types(objects.types, options.selection.types) ||
      !parse_optional_path("blob_dir", objects.blob_dir, blob_dir) ||
      !parse_optional_path("extract_blobs", objects.extract_blobs, extract_to)) {
    return false;
  }
  options.selection.states = std::move(parsed.options.states);
  options.selection.status = parsed.options.status;
  options.reverse = parsed.reverse;
  options.threads = parsed.threads;
  options.blob_directory = blob_dir.value_or("");
  if (extract_to) options.blob_copies = std::make_shared<chromium::BlobCopies>(*extract_to);
  return true;
}

}  // namespace

PyObject* chromium_export(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"directory", "file",     "kind",   "states", "reverse", "status", "latest",
                                   "store",     "blob_dir", "counts", "types",  "csv",     "threads",
                                   "extract_blobs", "fallback_kind", nullptr};
  PyObject* directory = nullptr;
  PyObject* file = nullptr;
  PyObject* store_arg = nullptr;
  PyObject* counts_arg = nullptr;
  PyObject* fallback_arg = nullptr;
  EntryArgumentObjects given;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOOOOOO:chromium_export", const_cast<char**>(keywords),
                                   &directory, &file, &given.kind, &given.given.states, &given.given.reverse,
                                   &given.given.status, &given.latest, &store_arg, &given.blob_dir, &counts_arg,
                                   &given.types, &given.csv, &given.given.threads, &given.extract_blobs,
                                   &fallback_arg)) {
    return nullptr;
  }
  bool counts = false;
  if (!parse_bool_argument("counts", counts_arg, counts)) return nullptr;
  try {
    chromium::ChromiumExportOptions options;
    if (!parse_entry_arguments(given, options) || !parse_kind(fallback_arg, options.fallback_kind) ||
        !parse_optional_path("store", store_arg, options.store)) {
      return nullptr;
    }
    options.count_undecoded = counts;
    std::string path;
    const std::optional<RawLevelDb> reader = open_reader("directory", directory, path);
    if (!reader) return nullptr;
    const std::optional<int> fd = descriptor_of(file);
    if (fd == -1) return nullptr;

    PendingError pending;
    std::expected<chromium::ChromiumExportResult, chromium::CannotTellKind> result;
    {
      ReleasedLock lock;
      const ChunkWriter writer = output_writer(file, fd, lock, pending);
      const auto check_in = [&] {
        return lock.with_lock([&] {
          if (PyErr_CheckSignals() == 0) return true;
          pending.take();
          return false;
        });
      };
      result = chromium::export_chromium(*reader, path, options, writer, check_in, kCheckRecords);
    }
    if (pending.set()) {
      pending.restore();
      return nullptr;
    }
    if (!result) return raise_cannot_tell(directory);
    if (result->files_in_doubt && !warn_files_in_doubt(path, *result->files_in_doubt)) return nullptr;
    if (options.blob_copies && !warn_uncopied_blobs(*options.blob_copies)) return nullptr;
    if (result->write_error) {
      errno = result->write_error->error_number;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    if (counts) {
      return Py_BuildValue("(KK)", static_cast<unsigned long long>(result->entries),
                           static_cast<unsigned long long>(result->undecoded));
    }
    return PyLong_FromUnsignedLongLong(result->entries);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* iter_chromium_entries(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"directory", "kind", "reverse", "blob_dir", "values", nullptr};
  PyObject* directory = nullptr;
  PyObject* kind_arg = nullptr;
  PyObject* reverse_arg = nullptr;
  PyObject* blob_dir_arg = nullptr;
  PyObject* values_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:iter_chromium_entries", const_cast<char**>(keywords),
                                   &directory, &kind_arg, &reverse_arg, &blob_dir_arg, &values_arg)) {
    return nullptr;
  }
  PyTypeObject* type = entry_iterator_type();
  if (type == nullptr) return nullptr;
  try {
    std::optional<StoreKind> kind;
    bool reverse = false;
    std::optional<std::string> blob_dir;
    if (!parse_kind(kind_arg, kind) || !parse_bool_argument("reverse", reverse_arg, reverse) ||
        !parse_optional_path("blob_dir", blob_dir_arg, blob_dir)) {
      return nullptr;
    }
    std::unique_ptr<ChromiumValues> values;
    if (values_arg != nullptr && values_arg != Py_None) {
      values = std::make_unique<ChromiumValues>();
      if (!values->load(values_arg)) return nullptr;
    }
    std::string path;
    std::optional<RawLevelDb> reader = open_reader("directory", directory, path);
    if (!reader) return nullptr;
    std::optional<ChromiumEntries> entries;
    {
      ReleasedLock lock;
      entries = ChromiumEntries::start(*reader, path, kind, reverse, {}, {}, blob_dir.value_or(""));
    }
    if (!entries) return raise_cannot_tell(directory);
    entries->leave_undecoded_uncounted();  // the iterator never tells the count
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    EntryIteratorObject* it = as_entry_iterator(object);
    new (&it->reader) std::optional<RawLevelDb>(std::move(reader));
    new (&it->entries) std::optional<ChromiumEntries>(std::move(entries));
    new (&it->buffer) std::string();
    new (&it->values) std::unique_ptr<ChromiumValues>(std::move(values));
    it->next = 0;
    it->more = true;
    it->running = false;
    return object;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* detect_chromium_kind(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"db", "directory", nullptr};
  PyObject* db_arg = nullptr;
  const char* directory = "";
  Py_ssize_t directory_size = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|s#:detect_chromium_kind", const_cast<char**>(keywords),
                                   &db_arg, &directory, &directory_size)) {
    return nullptr;
  }
  PyTypeObject* db_type = raw_level_db_type();
  if (db_type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(db_arg, db_type)) return raise_conversion("db", db_arg, "RawLevelDb");
  RawLevelDbObject* db = as_db(db_arg);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    std::optional<StoreKind> kind;
    {
      ReleasedLock lock;
      kind = chromium::detect_store_kind(*db->reader, false,
                                         std::string_view(directory, static_cast<std::size_t>(directory_size)));
    }
    if (!kind) Py_RETURN_NONE;
    const std::string_view name = chromium::to_string(*kind);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* chromium_value_json(PyObject*, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
  struct Release {
    Py_buffer& view;
    ~Release() { PyBuffer_Release(&view); }
  } release{view};
  try {
    std::string out;
    const auto written = chromium::append_script_value(
        out, std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)), {});
    if (!written) {
      const std::string& reason = written.error();
      PyObject* text = PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace");
      if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
      }
      return nullptr;
    }
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

namespace {

// A tuple of the names.
PyObject* names_tuple(std::span<const std::string_view> types) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(types.size()));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < types.size(); ++i) {
    PyObject* name = PyUnicode_FromStringAndSize(types[i].data(), static_cast<Py_ssize_t>(types[i].size()));
    if (name == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

}  // namespace

PyObject* chromium_entry_types(PyObject*, PyObject*) { return names_tuple(chromium::entry_types()); }

PyObject* chromium_csv_columns(PyObject*, PyObject*) { return names_tuple(chromium::csv_columns()); }

PyObject* chromium_export_stores(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"directories", "file",    "kind",          "states",   "reverse",
                                   "status",      "latest",  "blob_dir",      "types",    "csv",
                                   "threads",     "extract_blobs", "on_store",  nullptr};
  PyObject* directories_arg = nullptr;
  PyObject* file = nullptr;
  PyObject* on_store = nullptr;
  EntryArgumentObjects given;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOOOO:chromium_export_stores",
                                   const_cast<char**>(keywords), &directories_arg, &file, &given.kind,
                                   &given.given.states, &given.given.reverse, &given.given.status, &given.latest,
                                   &given.blob_dir, &given.types, &given.csv, &given.given.threads,
                                   &given.extract_blobs, &on_store)) {
    return nullptr;
  }
  try {
    chromium::ChromiumExportOptions options;
    if (!parse_entry_arguments(given, options) || !optional_callable(on_store, "on_store")) return nullptr;
    options.count_undecoded = false;
    // As export_stores takes them: a directory that has no UTF-8 is not opened.
    std::vector<std::string> directories;
    if (!utf8_strings(directories_arg, "directories", false, directories)) return nullptr;
    const std::optional<int> fd = descriptor_of(file);
    if (fd == -1) return nullptr;
    PyObject* written = run_export(
        file, fd, options.threads, nullptr, [&](std::size_t index) { return directories[index]; },
        [&](ChunkWriter writer, const StoreExportControl& control, ReleasedLock& lock, PendingError& pending) {
          const StoreOpened opened = [&](std::size_t index, const std::expected<RawLevelDb, DbError>& store) {
            return on_store == nullptr || report_store_opened(on_store, index, store, lock, pending);
          };
          return chromium::export_chromium_stores(directories, options, writer, control, opened);
        });
    if (written != nullptr && options.blob_copies && !warn_uncopied_blobs(*options.blob_copies)) {
      Py_DECREF(written);
      return nullptr;
    }
    return written;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
