#pragma once
// The Python skin over the reader core. Only the files in this folder touch the
// CPython API, and no C++ exception ever leaves them: every entry point that
// calls into code that may throw (allocation) catches at its boundary.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "read/store.h"
#include "format/record.h"

namespace vostrel {
struct PositionedEdit;
}

namespace vostrel::bindings {

// Each type is created once per process, on first use; nullptr with a Python
// error set when creation fails.
PyTypeObject* key_state_type();
PyTypeObject* file_type_type();
PyTypeObject* record_type();
PyTypeObject* raw_level_db_type();

// Module functions.
PyObject* data_file_type(PyObject* module, PyObject* name);
PyObject* data_files(PyObject* module, PyObject* directory);                  // file_names.cc
PyObject* stats_stores(PyObject* module, PyObject* args, PyObject* kwargs);   // file_stats.cc
PyObject* decompress_snappy(PyObject* module, PyObject* data);
PyObject* read_manifest(PyObject* module, PyObject* directory);  // manifest.cc
PyObject* inspect_file(PyObject* module, PyObject* args, PyObject* kwargs);  // file_structure.cc
// One version edit as read_manifest lists it: offset, length and its fields.
PyObject* version_edit_dict(const PositionedEdit& edit);  // manifest.cc
PyObject* escape(PyObject* module, PyObject* data);    // codecs.cc
PyObject* unescape(PyObject* module, PyObject* text);  // codecs.cc
PyObject* read_file(PyObject* module, PyObject* args, PyObject* kwargs);  // carve.cc
PyObject* data_file_columns(PyObject* module, PyObject* path);
PyObject* partition_columns(PyObject* module, PyObject* args);  // data_file_columns.cc
PyObject* export_stores(PyObject* module, PyObject* args, PyObject* kwargs);          // export.cc
PyObject* export_files(PyObject* module, PyObject* args, PyObject* kwargs);           // export.cc
PyObject* chromium_export(PyObject* module, PyObject* args, PyObject* kwargs);        // chromium.cc
PyObject* chromium_export_stores(PyObject* module, PyObject* args, PyObject* kwargs); // chromium.cc
PyObject* iter_chromium_entries(PyObject* module, PyObject* args, PyObject* kwargs);  // chromium.cc
PyObject* detect_chromium_kind(PyObject* module, PyObject* args, PyObject* kwargs);   // chromium.cc
PyObject* chromium_value_json(PyObject* module, PyObject* data);                      // chromium.cc
PyObject* chromium_entry_types(PyObject* module, PyObject* unused);                   // chromium.cc
PyObject* chromium_csv_columns(PyObject* module, PyObject* unused);                   // chromium.cc

// The number a person reads in a data file's name: its stem's digits in
// decimal (the reader orders by a base-16 reading of the same digits, which
// sorts alike); None when the stem is not digits.
PyObject* decimal_number(std::string_view path);
// A path the reader built (UTF-8) as a str; an invalid byte becomes U+FFFD.
PyObject* decode_path(std::string_view text);

// New enumeration objects (a new object on every call).
PyObject* new_key_state(KeyState state);
PyObject* new_file_type(FileType type);

// tp_new of the classes that only the module creates.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Builds Python Record objects straight from the decoders' views: one
// allocation per record holding the fixed fields and the key and value bytes,
// and one shared str per file for origin_file.
class RecordListSink {
 public:
  RecordListSink() = default;
  // Builds into `room`, emptied first: a caller that takes records again and
  // again hands back the vector it had, whose capacity is then reused.
  explicit RecordListSink(std::vector<PyObject*> room) : records_(std::move(room)) { records_.clear(); }
  RecordListSink(const RecordListSink&) = delete;
  RecordListSink& operator=(const RecordListSink&) = delete;
  ~RecordListSink();

  void operator()(const RecordView& view);

  // Files one at a time: records built after begin_file() belong to the file
  // being read. Running out of memory while building them marks that file
  // (the MemoryError is cleared, the file's further records are passed over)
  // rather than failing the whole list; drop_file() then releases the
  // records it already has, so that the file is left out and the rest kept.
  void begin_file();
  [[nodiscard]] bool file_out_of_memory() const { return file_out_of_memory_; }
  void drop_file();
  // Another Python error (a failure that is not memory): the walk only drains.
  [[nodiscard]] bool failed() const { return failed_; }

  // The list of all records built so far, or nullptr with a Python error set
  // if building any of them failed. Leaves the sink empty.
  PyObject* take_list();
  // The same records as new references in a vector (empty with a Python
  // error set on failure; check failed()). Leaves the sink empty.
  std::vector<PyObject*> take_records();
  [[nodiscard]] bool empty() const noexcept { return records_.empty(); }

 private:
  void out_of_memory_or_fail();

  std::vector<PyObject*> records_;
  const SharedPath* last_path_ = nullptr;
  PyObject* path_str_ = nullptr;
  std::size_t file_start_ = 0;
  bool file_out_of_memory_ = false;
  bool failed_ = false;
};

// Memory holding records laid out in place (record_in_place): freed when the
// last of them goes, and the hold of whoever fills it is dropped. Only
// touched with the interpreter lock held.
class RecordSlab {
 public:
  explicit RecordSlab(std::unique_ptr<char[]> bytes) noexcept : bytes_(std::move(bytes)) {}
  RecordSlab(const RecordSlab&) = delete;
  RecordSlab& operator=(const RecordSlab&) = delete;

  RecordSlab* hold() noexcept {
    ++holds_;
    return this;
  }
  void drop() noexcept {
    if (--holds_ == 0) delete this;
  }

 private:
  ~RecordSlab() = default;
  std::unique_ptr<char[]> bytes_;
  std::size_t holds_ = 1;  // the filler's
};

// The bytes a record laid out in place needs before its key.
std::size_t record_room() noexcept;
// A Record made where `view` lies: its key record_room() bytes into memory of
// `slab` aligned for an object, its value right after the key (as
// LatestStream lays records out with that room). Cannot fail.
PyObject* record_in_place(const RecordView& view, PyObject* origin_file, RecordSlab& slab);

// The user key of a Record object (bindings' own; no reference taken).
std::string_view record_user_key(PyObject* record);

// The one place where reader errors become Python exceptions.
void raise_db_error(const DbError& error);
// For a C++ exception caught at the API boundary (only allocation can throw).
void raise_from_current_exception();

}  // namespace vostrel::bindings
