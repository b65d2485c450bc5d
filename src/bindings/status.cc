// RawLevelDb.statuses(), latest() and current_ordinals(): what the
// application sees now, and what is history or leftovers
// (read/current_versions.h).
//
// The first two replay the manifest. statuses() walks the store twice: once
// to find each user key's current record, once to hand out the statuses.
// latest() merges the files in key order once (read/key_merge.h), building
// each record as the merge's threads hand it over; with a table out of
// bytewise order it walks twice like statuses(). Without a readable manifest
// every file counts as in use, and a RuntimeWarning says so.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <span>

#include "base/sorted_runs.h"
#include "chunk_output.h"
#include "raw_level_db.h"
#include "read/current_versions.h"
#include "read/latest_records.h"
#include "read/record_walk.h"

namespace vostrel::bindings {

bool warn_files_in_doubt(const std::string& directory, const StoreActivity& activity) {
  if (!activity.have_manifest) {
    const std::string message = "no readable manifest in " + directory + ": every data file counts as in use";
    return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
  }
  if (activity.missing.empty()) return true;
  // A few of the tables by number (their names end in .ldb or .sst), then
  // how many more.
  constexpr std::size_t kNamed = 5;
  std::string tables;
  for (std::size_t i = 0; i < activity.missing.size() && i < kNamed; ++i) {
    char number[24];
    std::snprintf(number, sizeof number, "%s%06llu", i == 0 ? "" : ", ",
                  static_cast<unsigned long long>(activity.missing[i]));
    tables += number;
  }
  if (activity.missing.size() > kNamed) tables += " and " + std::to_string(activity.missing.size() - kNamed) + " more";
  const std::string message = directory + ": tables its manifest lists are missing (" + tables +
                              "): a record they hold a newer version of counts as current";
  return PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) == 0;
}

namespace {

// How often, at most, a pass with the lock released looks at pending signals.
constexpr auto kSignalInterval = std::chrono::milliseconds(200);

// Runs fn(stop) with the interpreter lock released, the token answering a
// pending Ctrl-C (looked at every kSignalInterval at most); false with the
// Python error set when one ended it.
template <class Fn>
bool without_lock(Fn fn) {
  PendingError pending;
  {
    ReleasedLock lock;
    auto last = std::chrono::steady_clock::now();
    auto go_on = [&] {
      const auto now = std::chrono::steady_clock::now();
      if (now - last < kSignalInterval) return true;
      last = now;
      return lock.with_lock([&] {
        if (PyErr_CheckSignals() == 0) return true;
        pending.take();
        return false;
      });
    };
    StopToken stop = stop_token_of(go_on);
    fn(stop);
  }
  if (pending.set()) {
    pending.restore();
    return false;
  }
  return true;
}

// The table of current records, built with the interpreter lock released;
// nullopt with a Python error set (a warning turned error, Ctrl-C).
std::optional<CurrentVersions> current_versions(const RawLevelDb& reader) {
  std::optional<CurrentVersions> versions;
  if (!without_lock([&](StopToken& stop) { versions.emplace(CurrentVersions::of_store(reader, &stop)); })) {
    return std::nullopt;
  }
  if (!warn_files_in_doubt(reader.in_dir(), versions->activity())) return std::nullopt;
  return versions;
}

PyObject* status_text(RecordStatus status) {
  static PyObject* names[3] = {nullptr, nullptr, nullptr};
  PyObject*& name = names[static_cast<int>(status)];
  if (name == nullptr) {
    const std::string_view text = status_name(status);
    name = PyUnicode_InternFromString(std::string(text).c_str());
    if (name == nullptr) return nullptr;
  }
  return Py_NewRef(name);
}

// Pass two: every record of the store in reading order (the orphaned files'
// too, unless skip_orphaned) handed to fn(record, status). False with the
// pending signal's exception set when Ctrl-C ended it, or when fn says stop.
template <class Fn, class FileDone = void (*)()>
bool walk_with_status(const RawLevelDb& reader, const CurrentVersions& versions, bool reverse, bool skip_orphaned,
                      Fn fn, FileDone file_done = [] {}) {
  DecodeScratch scratch;
  scratch.stop = python_stop_token();
  for (const WalkUnit unit : reader.reading_order(reverse, false)) {
    if (scratch.stop.stop_requested()) return false;
    if (skip_orphaned && versions.orphaned(unit.slot)) continue;
    bool go_on = true;
    auto each = [&](const RecordView& record, RecordStatus status) { go_on = go_on && fn(record, status); };
    StatusSink<decltype(each)> sink(versions, reader, unit, each);
    walk_whole_unit(reader, unit, sink, scratch);
    if (!go_on) return false;
    file_done();
  }
  return !scratch.stop.stopped();
}

bool user_key_less(PyObject* a, PyObject* b) { return record_user_key(a) < record_user_key(b); }

// A method over the store's current records: fn(reader, versions) with the
// reader open and the versions found; nullptr with a Python error set.
template <class Fn>
PyObject* with_current_versions(PyObject* self, Fn fn) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    const auto versions = current_versions(*db->reader);
    if (!versions) return nullptr;
    return fn(*db->reader, *versions);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace

PyObject* db_statuses(PyObject* self, PyObject* args, PyObject* kwargs) {
  bool reverse = false;
  if (!parse_reverse_only(args, kwargs, "|$O:statuses", reverse)) return nullptr;
  return with_current_versions(self, [&](const RawLevelDb& reader, const CurrentVersions& versions) -> PyObject* {
    std::vector<RecordStatus> statuses;
    if (!walk_with_status(reader, versions, reverse, false, [&](const RecordView&, RecordStatus status) {
          statuses.push_back(status);
          return true;
        })) {
      return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(statuses.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      PyObject* name = status_text(statuses[i]);
      if (name == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), name);
    }
    return list;
  });
}

namespace {

// latest() when the files' order allows the merge: the merge's threads lay
// each record out in place, with room for the Record's header before its key
// (read/latest_records.h's LatestStream), and this thread makes the Records
// where they lie, each batch's bytes a slab the Records share, so no record's
// bytes are copied again. Each key range's records are kept in key order
// and the ranges put one after another at the end. nullptr with a Python
// error set, or with none and `unsorted` when the order did not allow the
// merge.
PyObject* latest_streamed(const RawLevelDb& reader, const StoreActivity& activity, bool& unsorted) {
  LatestStream stream(reader, activity, 0, record_room());
  // Everything made so far, let go of on every way out but the last.
  struct Made {
    std::vector<PyObject*> paths;                 // a str per data file, made when first needed
    std::vector<std::vector<PyObject*>> ranges;   // the Records of each key range, in key order
    ~Made() {
      for (PyObject* path : paths) Py_XDECREF(path);
      for (auto& range : ranges) {
        for (PyObject* record : range) Py_DECREF(record);
      }
    }
  } made;
  made.paths.assign(reader.data_files().size(), nullptr);
  made.ranges.resize(stream.ranges());
  auto last_check = std::chrono::steady_clock::now();
  for (;;) {
    LatestBatch* batch = stream.next(std::chrono::milliseconds(0));
    if (batch == nullptr) {
      if (stream.finished()) break;
      const ReleasedLock lock;
      batch = stream.next(std::chrono::milliseconds(50));
    }
    if (batch != nullptr) {
      std::vector<PyObject*>& range = made.ranges[batch->range];
      // Room first, so that nothing made is lost to a failed push_back.
      if (const std::size_t need = range.size() + batch->records.size(); need > range.capacity()) {
        range.reserve(std::max(need, 2 * range.capacity()));
      }
      auto* slab = new RecordSlab(batch->take_bytes());
      bool ok = true;
      for (std::size_t i = 0; i < batch->records.size() && ok; ++i) {
        PyObject*& path = made.paths[batch->positions[i]];
        if (path == nullptr) path = decode_path(path_of(reader.data_files()[batch->positions[i]]));
        ok = path != nullptr;
        if (ok) range.push_back(record_in_place(batch->records[i], path, *slab));
      }
      slab->drop();
      stream.release(batch);
      if (!ok) return nullptr;
    }
    if (const auto now = std::chrono::steady_clock::now(); now - last_check >= kSignalInterval) {
      last_check = now;
      if (PyErr_CheckSignals() != 0) return nullptr;
    }
  }
  if (stream.end() != KeyMerge::End::Done) {
    unsorted = true;
    return nullptr;
  }
  std::size_t total = 0;
  for (const auto& range : made.ranges) total += range.size();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(total));
  if (list == nullptr) return nullptr;
  Py_ssize_t next = 0;
  for (auto& range : made.ranges) {
    for (PyObject* record : range) PyList_SET_ITEM(list, next++, record);
    range.clear();
  }
  return list;
}

// latest() in two passes over the current records' table, when a table is
// not in bytewise order.
PyObject* latest_by_status(const RawLevelDb& reader, const CurrentVersions& versions) {
  // The current records of live keys, built as Python records in reading
  // order, one run per file. A table's run is already in user-key order
  // when its comparator is bytewise; any run that is not (a log's, or a
  // table of another comparator) is sorted, then the runs are merged.
  RecordListSink records;
  std::vector<std::size_t> run_ends;
  std::size_t built = 0;
  const bool walked = walk_with_status(reader, versions, false, true,
                                       [&](const RecordView& record, RecordStatus status) {
                                         if (status == RecordStatus::Current &&
                                             read_key_of(record).kind == KeyState::Live) {
                                           records(record);
                                           ++built;
                                         }
                                         return !records.failed();
                                       },
                                       [&] { run_ends.push_back(built); });
  if (records.failed()) return records.take_list();  // nullptr, the error set
  if (!walked) return nullptr;
  std::vector<PyObject*> runs = records.take_records();
  if (PyErr_Occurred() != nullptr) return nullptr;
  // The user keys of current records are unique, so the order is exact.
  sort_runs(std::span(runs), std::span<const std::size_t>(run_ends), user_key_less);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(runs.size()));
  if (list == nullptr) {
    for (PyObject* record : runs) Py_DECREF(record);
    return nullptr;
  }
  Py_ssize_t next = 0;
  merge_sorted_runs(std::span(runs), std::span<const std::size_t>(run_ends), user_key_less,
                    [&](PyObject* record) { PyList_SET_ITEM(list, next++, record); });
  return list;
}

}  // namespace

PyObject* db_latest(PyObject* self, PyObject*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    const RawLevelDb& reader = *db->reader;
    StoreActivity activity;
    if (!without_lock([&](StopToken& stop) { activity = classify_files(reader, replay_manifest(reader, &stop)); })) {
      return nullptr;
    }
    if (!warn_files_in_doubt(reader.in_dir(), activity)) return nullptr;
    bool unsorted = false;
    if (PyObject* list = latest_streamed(reader, activity, unsorted); list != nullptr || !unsorted) return list;
    std::optional<CurrentVersions> versions;
    if (!without_lock([&](StopToken& stop) { versions.emplace(CurrentVersions::hashed(reader, activity, &stop)); })) {
      return nullptr;
    }
    return latest_by_status(reader, *versions);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* db_current_ordinals(PyObject* self, PyObject*) {
  return with_current_versions(self, [&](const RawLevelDb& reader, const CurrentVersions& versions) -> PyObject* {
    // {path: (ordinals as packed native uint64, orphaned)}, one item per
    // data file the reader opened.
    PyObject* files = PyDict_New();
    if (files == nullptr) return nullptr;
    const auto& data_files = reader.data_files();
    for (std::size_t i = 0; i < data_files.size(); ++i) {
      const auto current = versions.current_of(i);
      PyObject* path = decode_path(path_of(data_files[i]));
      PyObject* item = Py_BuildValue("(NO)",
                                     PyBytes_FromStringAndSize(reinterpret_cast<const char*>(current.data()),
                                                               static_cast<Py_ssize_t>(current.size_bytes())),
                                     versions.orphaned(i) ? Py_True : Py_False);
      const int stored = path == nullptr || item == nullptr ? -1 : PyDict_SetItem(files, path, item);
      Py_XDECREF(path);
      Py_XDECREF(item);
      if (stored != 0) {
        Py_DECREF(files);
        return nullptr;
      }
    }
    return files;
  });
}

}  // namespace vostrel::bindings
