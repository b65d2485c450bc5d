// RawLevelDb.positions(): where each record's bytes lie in its file and
// whether the checksums over them hold, as `vostrel dump --positions` writes
// it, one dict per record in the order of iterate_records_raw() (or, with
// carved=True, of carve_records()). The records come from the one walk
// (read/record_walk.h), asked for positions; nothing is read a second way.

#include <array>

#include "raw_level_db.h"
#include "read/record_walk.h"
#include "recover/carve_store.h"

namespace vostrel::bindings {
namespace {

// The dict keys, in the dump's field order, interned once.
constexpr std::array<const char*, 7> kKeys = {"block_offset", "block_size", "codec",  "entry_offset",
                                              "fragments",    "file_position", "crc"};

PyObject* optional_int(bool present, std::uint64_t value) {
  return present ? PyLong_FromUnsignedLongLong(value) : Py_NewRef(Py_None);
}

PyObject* fragment_list(std::span<const LogFragment> fragments) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(fragments.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(fragments[i].offset),
                                   static_cast<unsigned long long>(fragments[i].length));
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

// One record's position; every key present, None where the record has no
// such thing (a log record's block, a table record's fragments, anything of
// a record whose position is not known).
PyObject* position_dict(const RecordView& view, const std::array<PyObject*, 7>& keys) {
  const RecordPosition* place = view.position;
  const bool table = place != nullptr && view.file_type == FileType::Ldb;
  const bool log = place != nullptr && view.file_type == FileType::Log;
  std::array<PyObject*, 7> values = {
      optional_int(table, table ? place->block_offset : 0),
      optional_int(table, table ? place->block_size : 0),
      nullptr,
      optional_int(table, table ? place->entry_offset : 0),
      log ? fragment_list(place->fragments) : Py_NewRef(Py_None),
      optional_int(place != nullptr && place->file_position.has_value(),
                   place != nullptr ? place->file_position.value_or(0) : 0),
      place != nullptr ? PyUnicode_FromString(place->checksum_ok ? "ok" : "bad") : Py_NewRef(Py_None),
  };
  if (table) {
    const std::string_view codec = codec_name(place->codec);
    values[2] = PyUnicode_FromStringAndSize(codec.data(), static_cast<Py_ssize_t>(codec.size()));
  } else {
    values[2] = Py_NewRef(Py_None);
  }
  PyObject* dict = PyDict_New();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (dict != nullptr && (values[i] == nullptr || PyDict_SetItem(dict, keys[i], values[i]) < 0)) {
      Py_CLEAR(dict);
    }
    Py_XDECREF(values[i]);
  }
  return dict;
}

}  // namespace

PyObject* db_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"reverse", "carved", nullptr};
  PyObject* reverse_arg = nullptr;
  PyObject* carved_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:positions", const_cast<char**>(keywords), &reverse_arg,
                                   &carved_arg)) {
    return nullptr;
  }
  bool reverse = false;
  bool carved = false;
  if (!parse_bool_argument("reverse", reverse_arg, reverse) || !parse_bool_argument("carved", carved_arg, carved)) {
    return nullptr;
  }
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  static std::array<PyObject*, 7> keys{};
  if (keys[0] == nullptr) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      keys[i] = PyUnicode_InternFromString(kKeys[i]);
      if (keys[i] == nullptr) return nullptr;
    }
  }
  try {
    // The units iterate_records_raw walks, or those carve_records walks.
    auto order = db->reader->reading_order(reverse, carved);
    if (carved) std::erase_if(order, [](WalkUnit unit) { return unit.pass == WalkPass::Read; });
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    bool failed = false;
    auto sink = [&](const RecordView& view) {
      if (failed) return;
      PyObject* dict = position_dict(view, keys);
      failed = dict == nullptr || PyList_Append(list, dict) < 0;
      Py_XDECREF(dict);
    };
    DecodeScratch scratch;
    scratch.stop = python_stop_token();
    scratch.positions = true;
    walk_units(
        *db->reader, std::span<const WalkUnit>(order), sink, scratch,
        [&](WalkUnit, auto&& walk) {
          walk();
          return !failed && !scratch.stop.stopped();
        },
        StoreCarver{});
    if (failed || scratch.stop.stopped()) {
      Py_DECREF(list);
      return nullptr;  // the error, or the signal's exception, is set
    }
    return list;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
