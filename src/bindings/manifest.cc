// read_manifest(directory): a store's manifest replayed (read/version_set.h),
// as plain Python values for `vostrel manifest` and for scripts. Keys are
// bytes; numbers are ints; what an edit leaves unset is None.

#include <cerrno>

#include "raw_level_db.h"
#include "read/version_set.h"

namespace vostrel::bindings {
namespace {

PyObject* bytes_of(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* optional_number(const std::optional<std::uint64_t>& value) {
  return value ? PyLong_FromUnsignedLongLong(*value) : Py_NewRef(Py_None);
}

PyObject* optional_text(const std::optional<std::string>& value) {
  return value ? decode_path(*value) : Py_NewRef(Py_None);
}

PyObject* table_dict(const NewFile& file) {
  return Py_BuildValue("{sKsKsKsNsN}", "level", static_cast<unsigned long long>(file.level), "number",
                       static_cast<unsigned long long>(file.number), "size",
                       static_cast<unsigned long long>(file.file_size), "smallest", bytes_of(file.smallest),
                       "largest", bytes_of(file.largest));
}

// A list of what make(item) gives for each item; nullptr on failure.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make make) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (const auto& item : items) {
    PyObject* value = make(item);
    if (value == nullptr || PyList_Append(list, value) != 0) {
      Py_XDECREF(value);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(value);
  }
  return list;
}

}  // namespace

PyObject* version_edit_dict(const PositionedEdit& positioned) {
  const VersionEdit& edit = positioned.edit;
  return Py_BuildValue(
      "{sKsKsNsNsNsNsNsNsNsN}", "offset", static_cast<unsigned long long>(positioned.offset), "length",
      static_cast<unsigned long long>(positioned.length), "comparator", optional_text(edit.comparator),
      "log_number", optional_number(edit.log_number), "prev_log_number", optional_number(edit.prev_log_number),
      "next_file_number", optional_number(edit.next_file_number), "last_sequence",
      optional_number(edit.last_sequence), "compact_pointers",
      list_of(edit.compact_pointers,
              [](const auto& p) { return Py_BuildValue("(KN)", static_cast<unsigned long long>(p.first),
                                                       bytes_of(p.second)); }),
      "deleted_files",
      list_of(edit.deleted_files,
              [](const auto& d) { return Py_BuildValue("(KK)", static_cast<unsigned long long>(d.first),
                                                       static_cast<unsigned long long>(d.second)); }),
      "new_files", list_of(edit.new_files, table_dict));
}

namespace {

PyObject* history_dict(const ManifestHistory& history, const StoreActivity& activity) {
  const Version& v = history.current;
  std::vector<NewFile> tables;
  for (const auto& entry : v.tables) tables.push_back(entry.second);
  PyObject* current = Py_BuildValue(
      "{sNsNsNsNsNsN}", "comparator", optional_text(v.comparator), "log_number", optional_number(v.log_number),
      "prev_log_number", optional_number(v.prev_log_number), "next_file_number",
      optional_number(v.next_file_number), "last_sequence", optional_number(v.last_sequence), "tables",
      list_of(tables, table_dict));
  if (current == nullptr) return nullptr;
  return Py_BuildValue(
      "{sNsssKsKsNsNsNsN}", "path", decode_path(history.path), "chosen_by",
      history.chosen_by == ManifestChoice::Current ? "CURRENT" : "highest number", "size",
      static_cast<unsigned long long>(history.size), "read_end", static_cast<unsigned long long>(history.read_end),
      "edits", list_of(history.edits, version_edit_dict), "current", current, "orphaned",
      list_of(activity.orphaned_paths, [](const std::string& p) { return decode_path(p); }), "missing",
      list_of(activity.missing, [](std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }));
}

}  // namespace

PyObject* read_manifest(PyObject*, PyObject* directory) {
  if (!PyUnicode_Check(directory)) return raise_conversion("directory", directory, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(directory, &size);
  if (utf8 == nullptr) return nullptr;
  try {
    StopToken stop = python_stop_token();
    auto db = RawLevelDb::open(std::string(utf8, static_cast<std::size_t>(size)), &stop);
    if (!db) {
      if (db.error().kind == DbErrorKind::Interrupted) return nullptr;
      raise_db_error(db.error());
      return nullptr;
    }
    const auto history = replay_manifest(*db, &stop);
    if (stop.stopped()) return nullptr;
    if (!history) Py_RETURN_NONE;
    return history_dict(*history, classify_files(*db, history));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
