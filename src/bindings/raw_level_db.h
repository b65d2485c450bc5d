#pragma once
// The Python RawLevelDb object and the access guards around its reader, shared
// by the files that implement its methods.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings.h"
#include "read/record_walk.h"
#include "read/version_set.h"

namespace vostrel::bindings {

struct RawLevelDbObject {
  PyObject_HEAD
  std::optional<vostrel::RawLevelDb> reader;  // absent once closed
  // The walks of live iterators whose helper threads read the reader's
  // tables ahead: close() ends those threads before dropping the reader.
  std::vector<vostrel::RecordStream*> reading_ahead;
  Py_ssize_t shared_uses;
  bool exclusive_use;
};

inline RawLevelDbObject* as_db(PyObject* self) { return reinterpret_cast<RawLevelDbObject*>(self); }

// RAII access guards; `ok()` is false (with RuntimeError set) when the access
// could not be taken.
// The databases whose shared access this thread holds, innermost last: close()
// waits for other threads' calls to end, but cannot wait for its own thread's.
inline thread_local std::vector<const RawLevelDbObject*> shared_here;

class SharedAccess {
 public:
  explicit SharedAccess(RawLevelDbObject* db) : db_(db) {
    if (db_->exclusive_use) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      db_ = nullptr;
      return;
    }
    ++db_->shared_uses;
    shared_here.push_back(db_);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() {
    if (db_ == nullptr) return;
    --db_->shared_uses;
    for (auto it = shared_here.end(); it != shared_here.begin();) {
      if (*--it == db_) {
        shared_here.erase(it);
        break;
      }
    }
  }
  [[nodiscard]] bool ok() const { return db_ != nullptr; }

 private:
  RawLevelDbObject* db_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(RawLevelDbObject* db) : db_(db) {
    if (db_->exclusive_use || db_->shared_uses > 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      db_ = nullptr;
      return;
    }
    db_->exclusive_use = true;
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() {
    if (db_ != nullptr) db_->exclusive_use = false;
  }
  [[nodiscard]] bool ok() const { return db_ != nullptr; }

 private:
  RawLevelDbObject* db_;
};

// Methods implemented in files of their own (listed in raw_level_db.cc's
// method table).
PyObject* db_iter_records(PyObject* self, PyObject* args, PyObject* kwargs);  // record_iterator.cc
PyObject* db_export(PyObject* self, PyObject* args, PyObject* kwargs);        // export.cc
PyObject* db_file_stats(PyObject* self, PyObject* unused);                     // file_stats.cc
PyObject* db_carve_records(PyObject* self, PyObject* args, PyObject* kwargs);  // carve.cc
PyObject* db_statuses(PyObject* self, PyObject* args, PyObject* kwargs);       // status.cc
PyObject* db_latest(PyObject* self, PyObject* unused);                         // status.cc
PyObject* db_current_ordinals(PyObject* self, PyObject* unused);               // status.cc
PyObject* db_positions(PyObject* self, PyObject* args, PyObject* kwargs);      // positions.cc

// A stop token that polls Python's pending signals (PyErr_CheckSignals): a
// Ctrl-C during a long call ends it, with KeyboardInterrupt (or whatever the
// signal's handler raised) set. The GIL must be held while it is polled.
StopToken python_stop_token();

// The reason given in skipped_files for a file left out of a list or an
// iterator because building its records ran out of memory.
inline constexpr const char* kRecordsOutOfMemory = "out of memory while building its records";

// The records of these units of the reader's reading order as a list of
// Record (carving units carved). A file whose records do not fit in memory is left out and listed in the
// reader's skipped files; the others are kept. nullptr with a Python error set
// on any other failure or on a pending signal.
PyObject* collect_records(vostrel::RawLevelDb& reader, std::span<const WalkUnit> order);

// The getter of RawLevelDb.skipped_files.
PyObject* db_get_skipped_files(PyObject* self, void*);
// The getter of RawLevelDb.carvable_files: the paths of the unopened tables.
PyObject* db_get_carvable_files(PyObject* self, void*);
// The files left out, as a list of (path, reason) tuples.
PyObject* skipped_files_list(const std::vector<SkippedFile>& skipped);

// Opens the store at a directory given as a str (argument `argument`), its
// path as UTF-8 in `path`. nullopt with a Python error set: TypeError,
// UnicodeEncodeError (lone surrogates), the reader's error, or the pending
// signal's exception when Ctrl-C ended the opening.
std::optional<vostrel::RawLevelDb> open_reader(const char* argument, PyObject* directory, std::string& path);

// The RuntimeWarning for a store whose files in use are in doubt
// (files_in_doubt, version_set.h), naming its directory: no readable
// manifest, or the tables its manifest lists that are missing; none when
// neither. false once the warning raised (an error filter).
bool warn_files_in_doubt(const std::string& directory, const StoreActivity& activity);  // status.cc

// RuntimeError("Database is closed"); returns nullptr.
PyObject* raise_closed();
// TypeError in the module's words for an argument of the wrong type.
PyObject* raise_conversion(const char* argument, PyObject* value, const char* target);
// The text of a str argument naming one file; nullopt with TypeError (not a
// str), UnicodeEncodeError (lone surrogates) or ValueError (a NUL character).
std::optional<std::string> file_path_argument(const char* argument, PyObject* path);
// Reads a keyword argument that must be a bool (numpy's bool too); an absent
// argument (nullptr) leaves out as it is. False with TypeError set otherwise.
bool parse_bool_argument(const char* name, PyObject* value, bool& out);
// The arguments of the methods that take only `*, reverse=False`; `format` is
// "|$O:method_name". False with a Python error set.
bool parse_reverse_only(PyObject* args, PyObject* kwargs, const char* format, bool& reverse);

}  // namespace vostrel::bindings
