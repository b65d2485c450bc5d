// Record counts per data file, counted natively with the interpreter lock
// released: RawLevelDb.file_stats() for the files one reader opened, and
// stats_stores() for every data file of many stores, read side by side by
// worker threads.

#include <algorithm>

#include "chunk_output.h"
#include "export/store_export.h"
#include "format/file_name.h"
#include "raw_level_db.h"
#include "read/file_stats.h"
#include "read/store_stats.h"

namespace vostrel::bindings {
namespace {

// One file's counts as the dict both functions give; steals `size`.
PyObject* counts_dict(std::string_view path, FileType type, PyObject* size, const RecordCounts& counts) {
  return Py_BuildValue("{sNsNsNsNsNsKsKsKsKsK}",                        //
                       "path", decode_path(path),                        //
                       "name", decode_path(final_component(path)),       //
                       "file_type", new_file_type(type),                 //
                       "number", decimal_number(path),                   //
                       "size", size,                                     //
                       "records", static_cast<unsigned long long>(counts.records),
                       "live", static_cast<unsigned long long>(counts.live),
                       "deleted", static_cast<unsigned long long>(counts.deleted),
                       "unknown", static_cast<unsigned long long>(counts.unknown),
                       "compressed_records", static_cast<unsigned long long>(counts.compressed));
}

// A list of one dict per item; nullptr with a Python error set.
template <class Item, class ToDict>
PyObject* list_of(const std::vector<Item>& items, ToDict to_dict) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_dict(items[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* rows_list(const std::vector<FileStatsRow>& rows) {
  return list_of(rows, [](const FileStatsRow& row) {
    return counts_dict(row.path, row.type, PyLong_FromUnsignedLongLong(row.size), row.counts);
  });
}



// Hands one store's stats to Python: appended to `results` (its rows, or None
// when it could not be opened) and passed to on_store(index, error, skipped,
// files) when given. False with a Python error set.
bool hand_over(PyObject* results, PyObject* on_store, std::size_t index,
               const std::expected<StoreStats, DbError>& stats) {
  PyObject* files = stats ? rows_list(stats->files) : Py_NewRef(Py_None);
  if (files == nullptr || PyList_Append(results, files) != 0) {
    Py_XDECREF(files);
    return false;
  }
  bool ok = true;
  if (on_store != nullptr) {
    PyObject* error = Py_NewRef(Py_None);
    if (!stats) {
      Py_DECREF(error);
      error = decode_path(stats.error().message());
    }
    PyObject* skipped = stats ? skipped_files_list(stats->skipped) : PyList_New(0);
    PyObject* reported = error == nullptr || skipped == nullptr
                             ? nullptr
                             : PyObject_CallFunction(on_store, "nOOO", static_cast<Py_ssize_t>(index), error,
                                                     skipped, files);
    ok = reported != nullptr;
    Py_XDECREF(reported);
    Py_XDECREF(error);
    Py_XDECREF(skipped);
  }
  Py_DECREF(files);
  return ok;
}

}  // namespace

PyObject* decode_path(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* db_file_stats(PyObject* self, PyObject*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    std::vector<DataFileStats> all;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    // No exception may cross the lock's release: caught here, raised below.
    try {
      all = count_records_per_file(*db->reader);
    } catch (...) {
      out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    const RawLevelDb& reader = *db->reader;
    return list_of(all, [&](const DataFileStats& stats) {
      const DataFile& file = reader.data_files()[stats.position];
      PyObject* size = stats.size ? PyLong_FromUnsignedLongLong(*stats.size) : Py_NewRef(Py_None);
      return counts_dict(path_of(file), file_type_of(file), size, stats.counts);
    });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* stats_stores(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"directories", "threads", "on_store", nullptr};
  PyObject* directories_arg = nullptr;
  PyObject* threads_arg = nullptr;
  PyObject* on_store = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:stats_stores", const_cast<char**>(keywords),
                                   &directories_arg, &threads_arg, &on_store)) {
    return nullptr;
  }
  if (on_store == Py_None) on_store = nullptr;
  if (on_store != nullptr && !PyCallable_Check(on_store)) {
    PyErr_SetString(PyExc_TypeError, "on_store must be callable");
    return nullptr;
  }
  try {
    StoresStatsControl control;
    std::vector<std::string> directories;
    if (!parse_threads(threads_arg, control.threads) || !utf8_strings(directories_arg, "directories", false, directories)) return nullptr;
    PyObject* results = PyList_New(0);
    if (results == nullptr) return nullptr;
    PendingError pending;
    {
      ReleasedLock lock;
      // Every few tenths of a second while waiting: Ctrl-C gets through.
      control.check_in = [&] {
        return lock.with_lock([&] {
          if (PyErr_CheckSignals() == 0) return true;
          pending.take();
          return false;
        });
      };
      const StoreStatsReady ready = [&](std::size_t index, std::expected<StoreStats, DbError>& stats) {
        return lock.with_lock([&] {
          if (hand_over(results, on_store, index, stats)) return true;
          pending.take();
          return false;
        });
      };
      try {
        (void)stats_of_stores(directories, control, ready);
      } catch (...) {
        lock.with_lock([&] {
          raise_from_current_exception();
          pending.take();
        });
      }
    }
    if (pending.set()) {
      Py_DECREF(results);
      pending.restore();
      return nullptr;
    }
    return results;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
