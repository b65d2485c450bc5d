// RawLevelDb.statuses() and RawLevelDb.latest(): what the application sees
// now, and what is history or leftovers (read/current_versions.h).
//
// Both replay the manifest and walk the store twice: once to find each user
// key's current record, once to hand out statuses or records. Without a
// readable manifest every file counts as in use, and a RuntimeWarning says so.

#include <algorithm>

#include "raw_level_db.h"
#include "read/current_versions.h"
#include "read/record_walk.h"

namespace vostrel::bindings {
namespace {

// The table of current records, built with the interpreter lock released;
// nullopt with a Python error set (a warning turned error, Ctrl-C, memory).
std::optional<CurrentVersions> current_versions(const RawLevelDb& reader) {
  StopToken stop = python_stop_token();
  const auto history = replay_manifest(reader, &stop);
  if (stop.stopped()) return std::nullopt;
  if (!history) {
    const std::string message = "no readable manifest in " + reader.in_dir() +
                                ": every data file counts as in use";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) return std::nullopt;
  }
  const StoreActivity activity = classify_files(reader, history);
  std::optional<CurrentVersions> versions;
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    versions.emplace(CurrentVersions::build(reader, activity));
  } catch (...) {
    failed = true;
  }
  Py_END_ALLOW_THREADS
  if (failed) {
    PyErr_NoMemory();
    return std::nullopt;
  }
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
    StatusSink<decltype(each)> sink(versions, unit.slot, each);
    walk_whole_unit(reader, unit, sink, scratch);
    if (!go_on) return false;
    file_done();
  }
  return !scratch.stop.stopped();
}

bool user_key_less(PyObject* a, PyObject* b) { return record_user_key(a) < record_user_key(b); }

// The records of runs [0, ends[0]), [ends[0], ends[1]), ... in bytewise
// user-key order: each run sorted unless it already is, then merged, a run
// head at a time. The user keys of current records are unique, so the order
// is exact.
std::vector<PyObject*> merge_runs(std::vector<PyObject*>& records, const std::vector<std::size_t>& ends) {
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // [next, end)
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    const auto first = records.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = records.begin() + static_cast<std::ptrdiff_t>(end);
    if (!std::is_sorted(first, last, user_key_less)) std::sort(first, last, user_key_less);
    if (begin != end) runs.emplace_back(begin, end);
    begin = end;
  }
  std::vector<PyObject*> merged;
  merged.reserve(records.size());
  // A min-heap of runs by their next record.
  const auto later = [&](const auto& a, const auto& b) { return user_key_less(records[b.first], records[a.first]); };
  std::make_heap(runs.begin(), runs.end(), later);
  while (!runs.empty()) {
    std::pop_heap(runs.begin(), runs.end(), later);
    auto& run = runs.back();
    merged.push_back(records[run.first++]);
    if (run.first == run.second) {
      runs.pop_back();
    } else {
      std::push_heap(runs.begin(), runs.end(), later);
    }
  }
  return merged;
}

// The prologue both methods share: shared access to an open reader, and its
// current versions; then fn(reader, versions) gives the result. nullptr with
// a Python error set on any failure.
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

PyObject* db_latest(PyObject* self, PyObject*) {
  return with_current_versions(self, [&](const RawLevelDb& reader, const CurrentVersions& versions) -> PyObject* {
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
    const std::vector<PyObject*> sorted = merge_runs(runs, run_ends);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(sorted.size()));
    if (list == nullptr) {
      for (PyObject* record : sorted) Py_DECREF(record);
      return nullptr;
    }
    for (std::size_t i = 0; i < sorted.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), sorted[i]);
    return list;
  });
}

}  // namespace vostrel::bindings
