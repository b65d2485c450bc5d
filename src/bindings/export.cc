// RawLevelDb.export() and export_stores(): every record of a store, or of many
// stores, written as JSON Lines or CSV by the native exporter (record_export.h,
// store_export.h), without a Python object per record.
//
// The interpreter lock is released while records are decoded and formatted.
// Output goes out in large chunks: to a file descriptor (an int, or an object
// whose fileno() works) with write(2), the lock still released; to any other
// object through its write() method, with the lock taken back for the call.
// A failed write ends the export with the OSError (BrokenPipeError for a
// closed pipe): never a partial export reported as success.
//
// Every few tenths of a second the lock is taken back to let Ctrl-C through
// and to report progress (bytes of data files done, of the total) to an
// optional callback: once at the start, then at most every 0.2 s, and at the end.
//
// With status=True every record ends with its status (read/current_versions.h);
// a store without a readable manifest gets a RuntimeWarning as its turn comes,
// as RawLevelDb.statuses() does. latest=True writes only what latest() gives,
// in its order (export/latest_export.h). positions=True ends every record
// with where its bytes lie and whether their checksums hold (record_export.h).

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "chunk_output.h"
#include "raw_level_db.h"
#include "export/latest_export.h"
#include "export/record_export.h"
#include "export/store_export.h"

namespace vostrel::bindings {
namespace {

// How often, at most, progress is reported and signals are looked at.
constexpr auto kCheckInterval = std::chrono::milliseconds(200);
// More formatting threads than this cannot pay: the writer is one thread.
constexpr unsigned kMaxThreads = 64;

}  // namespace

// A WriteError that only says "stopped by a Python error".
WriteError python_error() { return WriteError{0, "python error"}; }

// write(2) of the whole chunk. Interrupted writes are retried once pending
// signal handlers have run (Ctrl-C must reach a write blocked on a full pipe);
// a non-blocking descriptor is waited on.
namespace {

// After Ctrl-C stopped a write part way through a line: the rest of that line,
// if its end is in this chunk and the output takes it within a short grace
// (a reader that has gone away, or a pipe nobody drains, gets no more wait),
// so that the output ends with a whole line where it can.
void finish_line(int fd, std::string_view rest) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return;
  rest = rest.substr(0, end + 1);
  constexpr int kGraceMs = 300;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
  while (!rest.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd wait{fd, POLLOUT, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0 || (wait.revents & POLLOUT) == 0) return;
    // At most PIPE_BUF at a time: a pipe that polls writable takes that much
    // without blocking.
    const ssize_t n = ::write(fd, rest.data(), std::min<std::size_t>(rest.size(), PIPE_BUF));
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::expected<void, WriteError> write_to_descriptor(int fd, std::string_view chunk, ReleasedLock& lock,
                                                    PendingError& pending) {
  // Whether a signal handler (Ctrl-C's) raised: checked when a write was
  // interrupted, and after a short one, since a signal that arrives after a
  // write to a pipe has taken some bytes makes it return that count instead
  // of EINTR, and the next write would block again.
  const std::size_t whole = chunk.size();
  const auto interrupted = [&] {
    const bool raised = lock.with_lock([&] {
      if (PyErr_CheckSignals() == 0) return false;
      pending.take();
      return true;
    });
    if (raised && chunk.size() != whole) finish_line(fd, chunk);
    return raised;
  };
  while (!chunk.empty()) {
    const ssize_t n = ::write(fd, chunk.data(), chunk.size());
    if (n >= 0) {
      const bool short_write = static_cast<std::size_t>(n) < chunk.size();
      chunk.remove_prefix(static_cast<std::size_t>(n));
      if (short_write && interrupted()) return std::unexpected(python_error());
      continue;
    }
    const int error = errno;
    if (error == EINTR) {
      if (interrupted()) return std::unexpected(python_error());
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
      pollfd wait{fd, POLLOUT, 0};
      ::poll(&wait, 1, -1);
    } else {
      return std::unexpected(WriteError{error, std::strerror(error)});
    }
  }
  return {};
}

// file.write(bytes) until the whole chunk is taken. A write() that returns
// None or something else than a count is taken to have written everything.
std::expected<void, WriteError> write_to_object(PyObject* file, std::string_view chunk, ReleasedLock& lock,
                                                PendingError& pending) {
  return lock.with_lock([&]() -> std::expected<void, WriteError> {
    while (!chunk.empty()) {
      PyObject* bytes = PyBytes_FromStringAndSize(chunk.data(), static_cast<Py_ssize_t>(chunk.size()));
      PyObject* result = bytes == nullptr ? nullptr : PyObject_CallMethod(file, "write", "O", bytes);
      Py_XDECREF(bytes);
      if (result == nullptr) {
        pending.take();
        return std::unexpected(python_error());
      }
      Py_ssize_t written = static_cast<Py_ssize_t>(chunk.size());
      if (PyLong_Check(result)) {
        written = PyLong_AsSsize_t(result);
        if (written <= 0 || static_cast<std::size_t>(written) > chunk.size()) {
          Py_DECREF(result);
          if (PyErr_Occurred() != nullptr) {
            pending.take();
            return std::unexpected(python_error());
          }
          PyErr_Format(PyExc_OSError, "write() of the output reported %zd bytes written", written);
          pending.take();
          return std::unexpected(python_error());
        }
      }
      Py_DECREF(result);
      chunk.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  });
}

namespace {

// An int object as a C int; -1 with OverflowError set when out of range.
int as_int(PyObject* number) {
  const long value = PyLong_AsLong(number);
  if (value == -1 && PyErr_Occurred() != nullptr) return -1;
  if (value < INT_MIN || value > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "file descriptor out of range");
    return -1;
  }
  return static_cast<int>(value);
}

}  // namespace

// The descriptor behind `file`: an int itself, or what fileno() gives after a
// flush() of the object's own buffer. nullopt (no error set) when the object
// has no usable descriptor; -1 with an error set on failure.
std::optional<int> descriptor_of(PyObject* file) {
  if (PyLong_Check(file) && !PyBool_Check(file)) {
    const int fd = as_int(file);
    if (fd == -1 && PyErr_Occurred() != nullptr) return -1;
    if (fd < 0) {
      PyErr_SetString(PyExc_ValueError, "file descriptor cannot be a negative integer");
      return -1;
    }
    return fd;
  }
  PyObject* number = PyObject_CallMethod(file, "fileno", nullptr);
  if (number == nullptr) {
    // No descriptor (io.BytesIO, a socket-less stream, a custom writer): its
    // write() method takes the output instead.
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_OSError) ||
        PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return std::nullopt;
    }
    return -1;
  }
  const int fd = PyLong_Check(number) ? as_int(number) : -1;
  Py_DECREF(number);
  if (fd < 0) {
    if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_ValueError, "fileno() gave no descriptor");
    return -1;
  }
  // What the object buffered so far goes first.
  if (PyObject_HasAttrString(file, "flush")) {
    PyObject* flushed = PyObject_CallMethod(file, "flush", nullptr);
    if (flushed == nullptr) return -1;
    Py_DECREF(flushed);
  }
  return fd;
}

namespace {

bool parse_choice(const char* name, PyObject* value, std::initializer_list<const char*> choices, int& out) {
  if (value == nullptr) return true;
  if (!PyUnicode_Check(value)) {
    raise_conversion(name, value, "PyString");
    return false;
  }
  int index = 0;
  for (const char* choice : choices) {
    if (PyUnicode_CompareWithASCIIString(value, choice) == 0) {
      out = index;
      return true;
    }
    ++index;
  }
  PyErr_Format(PyExc_ValueError, "unknown %s: %R", name, value);
  return false;
}

// None, or an iterable of KeyState members or their int values.
bool parse_states(PyObject* value, std::optional<std::vector<KeyState>>& out) {
  if (value == nullptr || value == Py_None) return true;
  PyObject* iterator = PyObject_GetIter(value);
  if (iterator == nullptr) return false;
  out.emplace();
  bool ok = true;
  while (PyObject* item = PyIter_Next(iterator)) {
    long code = -1;
    if (Py_IS_TYPE(item, key_state_type()) || (PyLong_Check(item) && !PyBool_Check(item))) {
      PyObject* number = PyNumber_Long(item);
      code = number == nullptr ? -1 : PyLong_AsLong(number);
      Py_XDECREF(number);
      if (PyErr_Occurred() == nullptr && (code < 0 || code > 2)) {
        PyErr_Format(PyExc_ValueError, "not a KeyState: %R", item);
      }
    } else {
      PyErr_Format(PyExc_TypeError, "states must hold KeyState values, not '%s'", Py_TYPE(item)->tp_name);
    }
    Py_DECREF(item);
    if (PyErr_Occurred() != nullptr) {
      ok = false;
      break;
    }
    out->push_back(static_cast<KeyState>(code));
  }
  Py_DECREF(iterator);
  return ok && PyErr_Occurred() == nullptr;
}

// None, or the str written as every record's store field.
bool parse_store(PyObject* value, std::optional<std::string>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyUnicode_Check(value)) {
    raise_conversion("store", value, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return false;  // lone surrogates: UnicodeEncodeError
  out.emplace(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

// None (every core this process may run on) or a positive int, capped at
// kMaxThreads.
bool parse_threads(PyObject* value, unsigned& out) {
  if (value == nullptr || value == Py_None) {
    out = std::min(available_cores(), kMaxThreads);
    return true;
  }
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int or None, not '%s'", Py_TYPE(value)->tp_name);
    return false;
  }
  const long n = PyLong_AsLong(value);
  if (n == -1 && PyErr_Occurred() != nullptr) return false;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %ld", n);
    return false;
  }
  out = static_cast<unsigned>(std::min<long>(n, kMaxThreads));
  return true;
}

bool parse_export_arguments(const ExportArgumentObjects& given, ExportArguments& out) {
  int format = 0;
  int encoding = 0;
  if (!parse_choice("format", given.format, {"jsonl", "csv"}, format) ||
      !parse_choice("encoding", given.encoding, {"escaped", "hex", "base64"}, encoding) ||
      !parse_states(given.states, out.options.states) || !parse_bool_argument("reverse", given.reverse, out.reverse) ||
      !parse_bool_argument("header", given.header, out.options.header) ||
      !parse_threads(given.threads, out.threads) || !parse_store(given.store, out.options.store) ||
      !parse_bool_argument("status", given.status, out.options.status) ||
      !parse_bool_argument("positions", given.positions, out.options.positions)) {
    return false;
  }
  out.options.format = static_cast<ExportFormat>(format);
  out.options.encoding = static_cast<ByteEncoding>(encoding);
  return true;
}

ChunkWriter output_writer(PyObject* file, std::optional<int> fd, ReleasedLock& lock, PendingError& pending) {
  return [file, fd, &lock, &pending](std::string_view chunk) {
    return fd ? write_to_descriptor(*fd, chunk, lock, pending) : write_to_object(file, chunk, lock, pending);
  };
}

bool optional_callable(PyObject*& arg, const char* name) {
  if (arg == Py_None) arg = nullptr;
  if (arg == nullptr || PyCallable_Check(arg)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be callable", name);
  return false;
}

namespace {

// The export's check-in: lets signal handlers run and reports progress(done,
// total) when given; false once either raised (the error kept in pending).
decltype(StoreExportControl::check_in) check_in_with(ReleasedLock& lock, PendingError& pending,
                                                     PyObject* progress) {
  return [&lock, &pending, progress](std::uint64_t done, std::uint64_t total) {
    return lock.with_lock([&] {
      if (PyErr_CheckSignals() == 0 && progress != nullptr) {
        PyObject* reported = PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(done),
                                                   static_cast<unsigned long long>(total));
        Py_XDECREF(reported);
      }
      if (PyErr_Occurred() == nullptr) return true;
      pending.take();
      return false;
    });
  };
}

}  // namespace

// The str items of a sequence as UTF-8. When strict, one that has no UTF-8
// (lone surrogates) raises UnicodeEncodeError and one with a NUL ValueError;
// otherwise the first becomes "" and the second stays, and neither names a
// directory the reader opens. False with a Python error set.
bool utf8_strings(PyObject* sequence_arg, const char* name, bool strict, std::vector<std::string>& out) {
  const std::string message = std::string(name) + " must be a sequence of str";
  PyObject* sequence = PySequence_Fast(sequence_arg, message.c_str());
  if (sequence == nullptr) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence, i);
    if (!PyUnicode_Check(item)) {
      Py_DECREF(sequence);
      raise_conversion(name, item, "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr && !strict) PyErr_Clear();
    std::string text = utf8 == nullptr ? "" : std::string(utf8, static_cast<std::size_t>(size));
    if (strict && utf8 != nullptr && text.find('\0') != std::string::npos) {
      PyErr_Format(PyExc_ValueError, "%s: a path contains a NUL character", name);
    }
    if (PyErr_Occurred() != nullptr) {
      Py_DECREF(sequence);
      return false;
    }
    out.push_back(std::move(text));
  }
  Py_DECREF(sequence);
  return true;
}

namespace {

// What an export returns: the count of records written, or the error that
// stopped it raised.
PyObject* export_result(const StoreExportResult& result, PendingError& pending) {
  if (pending.set()) {
    pending.restore();
    return nullptr;
  }
  if (result.file_failure) {
    const std::string& path = result.file_failure->path;
    PyObject* name = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
    if (name == nullptr) return nullptr;
    errno = result.file_failure->error.code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    Py_DECREF(name);
    return nullptr;
  }
  if (result.write_error) {
    // OSError picks its subclass from errno: BrokenPipeError for EPIPE,
    // and so on.
    errno = result.write_error->error_number;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  return PyLong_FromUnsignedLongLong(result.records);
}


// The export's report of a store whose files in use are in doubt: the
// RuntimeWarning naming its directory; false once the warning raised.
decltype(StoreExportControl::files_in_doubt) warn_files_in_doubt_with(
    ReleasedLock& lock, PendingError& pending, const std::function<std::string(std::size_t)>& directory) {
  return [&lock, &pending, directory](std::size_t store, const StoreActivity& activity) {
    return lock.with_lock([&] {
      if (warn_files_in_doubt(directory(store), activity)) return true;
      pending.take();
      return false;
    });
  };
}

}  // namespace

bool report_store_opened(PyObject* on_store, std::size_t index, const std::expected<RawLevelDb, DbError>& store,
                         ReleasedLock& lock, PendingError& pending) {
  return lock.with_lock([&] {
    PyObject* reported = nullptr;
    if (store) {
      reported = PyObject_CallFunction(on_store, "nON", static_cast<Py_ssize_t>(index), Py_None,
                                       skipped_files_list(store->skipped_files()));
    } else {
      const std::string message = store.error().message();
      reported = PyObject_CallFunction(
          on_store, "nNN", static_cast<Py_ssize_t>(index),
          PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"), PyList_New(0));
    }
    Py_XDECREF(reported);
    if (PyErr_Occurred() == nullptr) return true;
    pending.take();
    return false;
  });
}

PyObject* run_export(PyObject* file, std::optional<int> fd, unsigned threads, PyObject* progress,
                     const std::function<std::string(std::size_t)>& directory, const ExportRun& run) {
  PendingError pending;
  StoreExportResult result;
  {
    ReleasedLock lock;
    StoreExportControl control;
    control.threads = threads;
    control.interval = kCheckInterval;
    control.report_ends = progress != nullptr;
    control.check_in = check_in_with(lock, pending, progress);
    control.files_in_doubt = warn_files_in_doubt_with(lock, pending, directory);
    result = run(output_writer(file, fd, lock, pending), control, lock, pending);
  }
  return export_result(result, pending);
}

PyObject* db_export(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"file",   "format", "encoding", "states", "reverse",   "progress", "threads",
                                   "store",  "header", "carve",    "status", "latest",    "positions", nullptr};
  PyObject* file = nullptr;
  ExportArgumentObjects given;
  PyObject* progress = nullptr;
  PyObject* carve_arg = nullptr;
  PyObject* latest_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOOO:export", const_cast<char**>(keywords), &file,
                                   &given.format, &given.encoding, &given.states, &given.reverse, &progress,
                                   &given.threads, &given.store, &given.header, &carve_arg, &given.status,
                                   &latest_arg, &given.positions)) {
    return nullptr;
  }
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;

  try {
    ExportArguments parsed;
    bool carve = false;
    bool latest = false;
    if (!parse_export_arguments(given, parsed) || !parse_bool_argument("carve", carve_arg, carve) ||
        !parse_bool_argument("latest", latest_arg, latest) || !optional_callable(progress, "progress")) {
      return nullptr;
    }
    if (latest && (carve || parsed.reverse || parsed.options.positions)) {
      PyErr_SetString(PyExc_ValueError,
                      "latest gives the current records in key order: not with carve, reverse or positions");
      return nullptr;
    }
    parsed.options.recovered = carve;
    if (!db->reader) return raise_closed();
    const std::optional<int> fd = descriptor_of(file);
    if (fd == -1) return nullptr;
    const RawLevelDb& reader = *db->reader;
    return run_export(file, fd, parsed.threads, progress, [&](std::size_t) { return reader.in_dir(); },
                      [&](ChunkWriter writer, const StoreExportControl& control, ReleasedLock&, PendingError&) {
                        if (latest) return export_latest(reader, parsed.options, std::move(writer), control);
                        return export_store(reader, parsed.reverse, parsed.options, std::move(writer), control,
                                            carve);
                      });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* export_files(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"paths",   "file",    "format",    "encoding", "states",
                                   "reverse", "threads", "positions", nullptr};
  PyObject* paths_arg = nullptr;
  PyObject* file = nullptr;
  ExportArgumentObjects given;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOO:export_files", const_cast<char**>(keywords),
                                   &paths_arg, &file, &given.format, &given.encoding, &given.states,
                                   &given.reverse, &given.threads, &given.positions)) {
    return nullptr;
  }
  try {
    ExportArguments parsed;
    if (!parse_export_arguments(given, parsed)) return nullptr;
    parsed.options.recovered = true;
    // Each path as UTF-8: one that has none (lone surrogates) raises
    // UnicodeEncodeError before anything is written.
    std::vector<std::string> paths;
    if (!utf8_strings(paths_arg, "paths", true, paths)) return nullptr;
    if (parsed.reverse) std::reverse(paths.begin(), paths.end());
    const std::optional<int> fd = descriptor_of(file);
    if (fd == -1) return nullptr;
    return run_export(file, fd, parsed.threads, nullptr, [](std::size_t) { return std::string(); },
                      [&](ChunkWriter writer, const StoreExportControl& control, ReleasedLock&, PendingError&) {
                        return vostrel::export_files(paths, parsed.options, std::move(writer), control);
                      });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* export_stores(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"directories", "file",   "format",   "encoding", "states",    "reverse",
                                   "threads",     "header", "on_store", "status",   "positions", nullptr};
  PyObject* directories_arg = nullptr;
  PyObject* file = nullptr;
  ExportArgumentObjects given;
  PyObject* on_store = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOO:export_stores", const_cast<char**>(keywords),
                                   &directories_arg, &file, &given.format, &given.encoding, &given.states,
                                   &given.reverse, &given.threads, &given.header, &on_store, &given.status,
                                   &given.positions)) {
    return nullptr;
  }
  try {
    ExportArguments parsed;
    if (!parse_export_arguments(given, parsed) || !optional_callable(on_store, "on_store")) return nullptr;
    // The directories as UTF-8. One that has none (a lone surrogate, from a
    // name that is not UTF-8) is not opened: the empty path names no
    // directory, so the store is reported as not opened.
    std::vector<std::string> directories;
    if (!utf8_strings(directories_arg, "directories", false, directories)) return nullptr;
    const std::optional<int> fd = descriptor_of(file);
    if (fd == -1) return nullptr;

    return run_export(
        file, fd, parsed.threads, nullptr, [&](std::size_t index) { return directories[index]; },
        [&](ChunkWriter writer, const StoreExportControl& control, ReleasedLock& lock, PendingError& pending) {
          // on_store(index, error, skipped): error None, or why the store could
          // not be opened; skipped, the (path, reason) of its files left out.
          const StoreOpened opened = [&](std::size_t index, const std::expected<RawLevelDb, DbError>& store) {
            return on_store == nullptr || report_store_opened(on_store, index, store, lock, pending);
          };
          return vostrel::export_stores(directories, parsed.reverse, parsed.options, std::move(writer), control,
                                        opened);
        });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
