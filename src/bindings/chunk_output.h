#pragma once
// Writing output from a long native call: the interpreter lock released
// meanwhile, chunks written to a file descriptor with write(2) or to a Python
// object through its write() method, and a Python error raised on the way kept
// for the end. RawLevelDb.export and _vostrel.chromium_export share it.

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings.h"
#include "export/record_export.h"
#include "export/store_export.h"

namespace vostrel::bindings {

// The interpreter lock, released for the life of the object and taken back
// around the calls that need Python.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

  template <class Fn>
  auto with_lock(Fn&& fn) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return fn();
  }

 private:
  PyThreadState* state_;
};

// What stopped the export from Python's side (an exception raised by the
// file's write(), the progress callback or a signal handler), kept while the
// lock is released and raised again at the end.
class PendingError {
 public:
  PendingError() = default;
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  // REQUIRES: the lock held and a Python error set.
  void take() {
    if (!set()) PyErr_Fetch(&type_, &value_, &traceback_);
    else PyErr_Clear();
  }
  [[nodiscard]] bool set() const noexcept { return type_ != nullptr; }
  // REQUIRES: the lock held.
  void restore() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// A WriteError that only says "stopped by a Python error".
WriteError python_error();

// write(2) of the whole chunk. Interrupted writes are retried once pending
// signal handlers have run (Ctrl-C must reach a write blocked on a full pipe);
// a non-blocking descriptor is waited on.
std::expected<void, WriteError> write_to_descriptor(int fd, std::string_view chunk, ReleasedLock& lock,
                                                    PendingError& pending);

// file.write(bytes) until the whole chunk is taken.
std::expected<void, WriteError> write_to_object(PyObject* file, std::string_view chunk, ReleasedLock& lock,
                                                PendingError& pending);

// The descriptor behind `file`: an int itself, or what fileno() gives after a
// flush() of the object's own buffer. nullopt (no error set) when the object
// has no usable descriptor; -1 with an error set on failure.
std::optional<int> descriptor_of(PyObject* file);

// The arguments the exporting functions share, as passed: nullptr for one
// not given (or that the function does not take), which keeps its default.
struct ExportArgumentObjects {
  PyObject* format = nullptr;    // "jsonl" or "csv"
  PyObject* encoding = nullptr;  // "escaped", "hex" or "base64"
  PyObject* states = nullptr;    // None, or an iterable of KeyState members or their int values
  PyObject* reverse = nullptr;   // bool
  PyObject* header = nullptr;    // bool
  PyObject* threads = nullptr;   // None (every core) or a positive int
  PyObject* store = nullptr;     // None, or the str of every record's store field
  PyObject* status = nullptr;    // bool: every record ends with its status
  PyObject* positions = nullptr;  // bool: every record ends with where its bytes lie
};

struct ExportArguments {
  ExportOptions options;
  bool reverse = false;
  unsigned threads = 1;
};

// The one reading of those arguments. False with a Python error set.
bool parse_export_arguments(const ExportArgumentObjects& given, ExportArguments& out);

// A thread count: None (every core this process may run on) or an int of at
// least 1, capped at the most that can pay. False with a Python error set.
bool parse_threads(PyObject* value, unsigned& out);

// The str items of a sequence as UTF-8 (argument `name` in errors). When
// strict, one that has no UTF-8 (lone surrogates) raises UnicodeEncodeError and
// one with a NUL ValueError; otherwise the first becomes "" and the second
// stays, and neither names a directory the reader opens. False with a Python
// error set.
bool utf8_strings(PyObject* sequence, const char* name, bool strict, std::vector<std::string>& out);

// An optional callable argument: None counts as absent (nullptr); false with
// TypeError set when it is neither.
bool optional_callable(PyObject*& arg, const char* name);

// The writer of the output to `file` (its descriptor `fd`, or its write()).
ChunkWriter output_writer(PyObject* file, std::optional<int> fd, ReleasedLock& lock, PendingError& pending);

// An export run by run_export: its records written through `writer`, under
// `control`.
using ExportRun = std::function<StoreExportResult(ChunkWriter writer, const StoreExportControl& control,
                                                  ReleasedLock& lock, PendingError& pending)>;

// Calls on_store(index, error, skipped) with the lock held as a store's turn
// comes in an export of many: error None, or why the store could not be
// opened; skipped, the (path, reason) of its files left out. False once it
// raised (the error kept in pending).
bool report_store_opened(PyObject* on_store, std::size_t index, const std::expected<RawLevelDb, DbError>& store,
                         ReleasedLock& lock, PendingError& pending);

// Runs an export with the lock released: signals and progress looked at
// every 200 ms, output to `file`, each store whose files in use are in doubt
// warned about by its directory(i). The count of records written, or the
// error that stopped it raised.
PyObject* run_export(PyObject* file, std::optional<int> fd, unsigned threads, PyObject* progress,
                     const std::function<std::string(std::size_t)>& directory, const ExportRun& run);

}  // namespace vostrel::bindings
