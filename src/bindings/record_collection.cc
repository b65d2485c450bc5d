// Building the list that iterate_records_raw returns, one file at a time, so
// that one file that describes more records than memory holds (prefix
// compression lets a 36 KB table describe gigabytes) costs that file only,
// and a pending Ctrl-C ends the call between blocks.

#include <new>

#include "raw_level_db.h"
#include "read/record_walk.h"
#include "recover/carve_store.h"

namespace vostrel::bindings {
namespace {

bool python_signal_pending(void*) { return PyErr_CheckSignals() != 0; }

// As origin_file is made: UTF-8, any invalid byte replaced.
PyObject* decode_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

StopToken python_stop_token() { return StopToken(python_signal_pending, nullptr); }

PyObject* collect_records(vostrel::RawLevelDb& reader, std::span<const WalkUnit> order) {
  RecordListSink sink;
  DecodeScratch scratch;
  scratch.stop = python_stop_token();
  walk_units(
      reader, order, sink, scratch,
      [&](WalkUnit unit, auto&& walk) {
        sink.begin_file();
        bool out_of_memory = false;
        try {
          walk();
        } catch (const std::bad_alloc&) {
          out_of_memory = true;
        }
        if (scratch.stop.stopped() || sink.failed()) return false;
        if (out_of_memory || sink.file_out_of_memory()) {
          sink.drop_file();
          // The buffers may have grown to the size that failed: start afresh.
          DecodeScratch fresh;
          fresh.stop = scratch.stop;
          scratch = std::move(fresh);
          reader.add_skipped(SkippedFile{reader.slot_path(unit.slot), kRecordsOutOfMemory});
        }
        return true;
      },
      StoreCarver{});
  if (scratch.stop.stopped()) return nullptr;  // the signal's exception is set
  return sink.take_list();                     // nullptr with the error set if the sink failed
}

PyObject* db_get_skipped_files(PyObject* self, void*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  return skipped_files_list(db->reader->skipped_files());
}

PyObject* db_get_carvable_files(PyObject* self, void*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  const auto& tables = db->reader->unopened_tables();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(tables.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    PyObject* path = decode_text(*tables[i]);
    if (path == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), path);
  }
  return list;
}

PyObject* skipped_files_list(const std::vector<SkippedFile>& skipped) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(skipped.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    const SkippedFile& file = skipped[i];
    PyObject* item = Py_BuildValue("(NN)", decode_text(file.path), decode_text(file.reason));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace vostrel::bindings
