// RawLevelDb.iter_records(): the records of iterate_records_raw, one at a
// time, without holding the store in memory. Each refill walks the store a
// few hundred records, or about a MiB of them, further (RecordStream, whole
// blocks or write batches at a time) into a small buffer of Python Records,
// which next() hands out.
//
// Between next() calls the iterator holds no access to the reader, only a
// reference to the RawLevelDb object: close() works while an iterator is
// alive, and the iterator's next next() then raises RuntimeError("Database is
// closed"). Records it has already produced own their bytes and stay valid.
//
// With a second core, the walk's table blocks are read and decompressed
// ahead on a helper thread (read/block_ahead.h) while Python consumes the
// records; close() and the iterator's end or collection end that thread.

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "raw_level_db.h"
#include "read/record_walk.h"

namespace vostrel::bindings {
namespace {

// Records per refill: enough to make the refill's cost vanish per record,
// few enough that the buffer stays small beside a file's pages.
constexpr std::size_t kRefillRecords = 512;
// And about this many bytes of keys and values: a refill ends after the
// block or batch that reaches it, so records that are large (one compressed
// block may expand to 256 MiB) are handed out a block at a time instead of
// gathered with the next blocks' into a buffer the size of the file.
constexpr std::size_t kRefillBytes = std::size_t{1} << 20;

// The records of a refill, each counted as its share of kRefillRecords by
// its bytes.
struct RefillSink {
  RecordListSink& records;
  void operator()(const RecordView& view) { records(view); }
  [[nodiscard]] std::size_t weight(const RecordView& view) const noexcept {
    constexpr std::size_t kBytesPerRecord = kRefillBytes / kRefillRecords;
    return 1 + (view.key.size() + view.value.size()) / kBytesPerRecord;
  }
};

struct RecordIteratorObject {
  PyObject_HEAD
  PyObject* db;  // the RawLevelDb, strong reference
  std::optional<RecordStream> stream;
  std::vector<PyObject*> buffer;  // owned references; handed out from `next`
  std::size_t next;
};

RecordIteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<RecordIteratorObject*>(self); }

void release_buffer(RecordIteratorObject* it) {
  for (std::size_t i = it->next; i < it->buffer.size(); ++i) Py_DECREF(it->buffer[i]);
  it->buffer.clear();
  it->next = 0;
}

// Ends the walk's helper thread and forgets it in the database's list.
void stop_reading_ahead(RecordIteratorObject* it) {
  if (!it->stream || it->db == nullptr) return;
  it->stream->stop_reading_ahead();
  auto& streams = as_db(it->db)->reading_ahead;
  streams.erase(std::remove(streams.begin(), streams.end(), &*it->stream), streams.end());
}

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RecordIteratorObject* it = as_iterator(self);
  stop_reading_ahead(it);
  release_buffer(it);
  it->buffer.~vector();
  it->stream.~optional();
  Py_XDECREF(it->db);
  type->tp_free(self);
  Py_DECREF(type);
}

// Walks on until the buffer holds records or the store is exhausted. A file
// whose records run out of memory while being built is left out as the list
// leaves it out (records of it already handed out stay with the caller): its
// records in the buffer are dropped, it is named in skipped_files, and the
// walk goes on. False with a Python error set on failure.
bool refill(RecordIteratorObject* it, RawLevelDbObject* db) {
  release_buffer(it);
  const SharedAccess access(db);
  if (!access.ok()) return false;
  try {
    RecordListSink sink(std::move(it->buffer));  // emptied above; its room is reused
    RecordStream& stream = *it->stream;
    std::size_t file = stream.position();  // the unit whose records the sink is building
    const auto before = [&](std::size_t position, bool fresh) {
      if (sink.file_out_of_memory()) return false;
      if (fresh) {
        sink.begin_file();
        file = position;
      }
      return true;
    };
    while (sink.empty() && !sink.failed() && !stream.done()) {
      bool out_of_memory = false;
      try {
        RefillSink refill_sink{sink};
        stream.step(*db->reader, kRefillRecords, refill_sink, NoCarver{}, before);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
      if (!out_of_memory && !sink.file_out_of_memory()) continue;
      sink.drop_file();
      if (stream.position() == file) stream.abandon_unit(*db->reader);
      db->reader->add_skipped(SkippedFile{db->reader->slot_path(stream.order()[file].slot),
                                          kRecordsOutOfMemory});
    }
    if (stream.done()) stop_reading_ahead(it);
    if (sink.failed()) return false;  // the sink's Python error is set
    it->buffer = sink.take_records();
    return true;
  } catch (...) {
    raise_from_current_exception();
    return false;
  }
}

PyObject* iterator_next(PyObject* self) {
  RecordIteratorObject* it = as_iterator(self);
  RawLevelDbObject* db = as_db(it->db);
  if (!db->reader) return raise_closed();
  if (it->next == it->buffer.size()) {
    if (it->stream->done()) return nullptr;  // exhausted: StopIteration
    if (!refill(it, db)) return nullptr;
    if (it->buffer.empty()) return nullptr;
  }
  PyObject* record = it->buffer[it->next];
  it->buffer[it->next++] = nullptr;  // the reference passes to the caller
  return record;
}

PyTypeObject* record_iterator_class = nullptr;

PyTypeObject* record_iterator_type() {
  if (record_iterator_class != nullptr) return record_iterator_class;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
      {0, nullptr},
  };
  // Holds only the database object, which never refers back to an iterator:
  // no cycle is possible, so it is not tracked by the garbage collector.
  PyType_Spec spec{
      .name = "_vostrel.RecordIterator",
      .basicsize = sizeof(RecordIteratorObject),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  record_iterator_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return record_iterator_class;
}

}  // namespace

PyObject* db_iter_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  bool reverse = false;
  if (!parse_reverse_only(args, kwargs, "|$O:iter_records", reverse)) return nullptr;
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();

  PyTypeObject* type = record_iterator_type();
  if (type == nullptr) return nullptr;
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  RecordIteratorObject* it = as_iterator(object);
  it->db = nullptr;
  new (&it->stream) std::optional<RecordStream>();
  new (&it->buffer) std::vector<PyObject*>();
  it->next = 0;
  try {
    it->stream.emplace(*db->reader, reverse);
  } catch (...) {
    Py_DECREF(object);
    raise_from_current_exception();
    return nullptr;
  }
  it->db = Py_NewRef(self);
  if (second_core_available()) {
    try {
      it->stream->read_ahead(*db->reader);
      db->reading_ahead.push_back(&*it->stream);
    } catch (const std::system_error&) {
      // No thread to be had: the walk reads its blocks itself.
    } catch (...) {
      Py_DECREF(object);
      raise_from_current_exception();
      return nullptr;
    }
  }
  return object;
}

}  // namespace vostrel::bindings
