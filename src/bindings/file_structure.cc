// inspect_file(path, on_item=None): the structure of one file
// (read/file_structure.h) as plain Python values for `vostrel inspect` and for
// scripts: a dict of path, kind, size, items (one dict per item, in the order
// the walk found them, each naming its kind under "item") and damage (the
// summary's counts). With on_item, each item dict goes to it as it is found
// and items is None: a log of gigabytes never lies in memory as one list.

#include <cerrno>

#include "raw_level_db.h"
#include "read/file_structure.h"

namespace vostrel::bindings {
namespace {

PyObject* bytes_of(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* number(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* handle_tuple(const std::optional<BlockHandle>& handle) {
  if (!handle) return Py_NewRef(Py_None);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(handle->offset),
                       static_cast<unsigned long long>(handle->size));
}

const char* role_name(BlockRole role) {
  switch (role) {
    case BlockRole::Metaindex: return "metaindex";
    case BlockRole::Meta: return "meta";
    case BlockRole::Index: return "index";
    case BlockRole::Data: return "data";
  }
  return "data";
}

const char* stretch_name(StretchKind kind) {
  switch (kind) {
    case StretchKind::Gap: return "gap";
    case StretchKind::Trailing: return "trailing";
    case StretchKind::Zeros: return "zeros";
    case StretchKind::Padding: return "padding";
    case StretchKind::Skipped: return "skipped";
  }
  return "gap";
}

const char* kind_name(StructureKind kind) {
  switch (kind) {
    case StructureKind::Table: return "table";
    case StructureKind::Log: return "log";
    case StructureKind::Manifest: return "manifest";
  }
  return "log";
}

PyObject* file_dict(const FileItem& file) {
  return Py_BuildValue("{sssssK}", "item", "file", "kind", kind_name(file.kind), "size",
                       static_cast<unsigned long long>(file.size));
}

PyObject* footer_dict(const FooterItem& footer) {
  return Py_BuildValue("{sssKsNsN}", "item", "footer", "offset", static_cast<unsigned long long>(footer.offset),
                       "metaindex", handle_tuple(footer.handles_ok ? std::optional(footer.metaindex) : std::nullopt),
                       "index", handle_tuple(footer.handles_ok ? std::optional(footer.index) : std::nullopt));
}

PyObject* entry_dict(const HandleEntryItem& entry) {
  return Py_BuildValue("{sssNsN}", "item", entry.role == EntryRole::Metaindex ? "metaindex entry" : "index entry",
                       "key", bytes_of(entry.key), "handle", handle_tuple(entry.handle));
}

PyObject* block_dict(const BlockItem& block) {
  const bool read = block.error.empty();
  const bool in_block_format = read && block.role != BlockRole::Meta;
  const bool trailer_read = block.crc != CrcCheck::Absent;
  const auto if_format = [&](PyObject* value) {
    if (in_block_format) return value;
    Py_XDECREF(value);
    return Py_NewRef(Py_None);
  };
  return Py_BuildValue(
      "{sssssKsKsNsNsNsNsNsNsNsN}", "item", "block", "role", role_name(block.role), "offset",
      static_cast<unsigned long long>(block.handle.offset), "size", static_cast<unsigned long long>(block.handle.size),
      "type", trailer_read ? number(block.type) : Py_NewRef(Py_None), "codec",
      trailer_read ? PyUnicode_FromStringAndSize(codec_name(block.codec).data(),
                                                 static_cast<Py_ssize_t>(codec_name(block.codec).size()))
                   : Py_NewRef(Py_None),
      "crc", trailer_read ? PyUnicode_FromString(block.crc == CrcCheck::Ok ? "ok" : "bad") : Py_NewRef(Py_None),
      "entries", if_format(number(block.entries)), "restarts", if_format(number(block.restarts)), "first_key",
      if_format(bytes_of(block.first_key)), "last_key", if_format(bytes_of(block.last_key)), "error",
      read ? Py_NewRef(Py_None) : decode_path(block.error));
}

PyObject* stretch_dict(const StretchItem& stretch) {
  return Py_BuildValue("{sssKsKsO}", "item", stretch_name(stretch.kind), "offset",
                       static_cast<unsigned long long>(stretch.offset), "length",
                       static_cast<unsigned long long>(stretch.length), "all_zero",
                       stretch.all_zero ? Py_True : Py_False);
}

PyObject* record_dict(const PhysicalRecordItem& record) {
  return Py_BuildValue("{sssKsisKss}", "item", "record", "offset", static_cast<unsigned long long>(record.offset),
                       "type", static_cast<int>(record.type), "length",
                       static_cast<unsigned long long>(record.length), "crc", record.crc_ok ? "ok" : "bad");
}

PyObject* batch_dict(const BatchItem& batch) {
  return Py_BuildValue("{sssKsKsNsIsK}", "item", "batch", "offset", static_cast<unsigned long long>(batch.offset),
                       "length", static_cast<unsigned long long>(batch.length), "sequence",
                       batch.sequence ? number(*batch.sequence) : Py_NewRef(Py_None), "count",
                       static_cast<unsigned int>(batch.count), "entries",
                       static_cast<unsigned long long>(batch.entries));
}

PyObject* edit_item_dict(const EditItem& edit) {
  PyObject* fields = version_edit_dict(edit);
  if (fields == nullptr) return nullptr;
  PyObject* dict = Py_BuildValue("{ss}", "item", "edit");
  if (dict == nullptr || PyDict_Update(dict, fields) != 0) {
    Py_XDECREF(dict);
    Py_DECREF(fields);
    return nullptr;
  }
  Py_DECREF(fields);
  return dict;
}

struct Overloaded {
  PyObject* operator()(const FileItem& item) const { return file_dict(item); }
  PyObject* operator()(const FooterItem& item) const { return footer_dict(item); }
  PyObject* operator()(const HandleEntryItem& item) const { return entry_dict(item); }
  PyObject* operator()(const BlockItem& item) const { return block_dict(item); }
  PyObject* operator()(const StretchItem& item) const { return stretch_dict(item); }
  PyObject* operator()(const PhysicalRecordItem& item) const { return record_dict(item); }
  PyObject* operator()(const BatchItem& item) const { return batch_dict(item); }
  PyObject* operator()(const EditItem& item) const { return edit_item_dict(item); }
};

// Where the items go: appended to a list, or handed to a callable. A failure
// to build or hand on an item (an exception from the callable included), or a
// pending signal, stops the walk at its next poll.
struct ItemList {
  PyObject* list = nullptr;     // the list being built, or
  PyObject* on_item = nullptr;  // the callable (borrowed)
  bool failed = false;

  void add(const StructureItem& item) {
    if (failed) return;
    PyObject* value = std::visit(Overloaded{}, item);
    if (value == nullptr) {
      failed = true;
      return;
    }
    if (on_item != nullptr) {
      PyObject* result = PyObject_CallOneArg(on_item, value);
      if (result == nullptr) failed = true;
      Py_XDECREF(result);
    } else if (PyList_Append(list, value) != 0) {
      failed = true;
    }
    Py_DECREF(value);
  }
  static bool poll(void* context) {
    auto* self = static_cast<ItemList*>(context);
    if (!self->failed && PyErr_CheckSignals() != 0) self->failed = true;
    return self->failed;
  }
};

PyObject* summary_dict(const std::string& path, const StructureSummary& summary, PyObject* items) {
  return Py_BuildValue("{sNsssKsNs{sKsKsKsKsKsK}sO}", "path", decode_path(path), "kind", kind_name(summary.kind),
                       "size", static_cast<unsigned long long>(summary.size), "items", items, "damage",
                       "bad_crcs", static_cast<unsigned long long>(summary.bad_crcs), "unreadable_blocks",
                       static_cast<unsigned long long>(summary.unreadable_blocks), "gaps",
                       static_cast<unsigned long long>(summary.gaps), "zero_stretches",
                       static_cast<unsigned long long>(summary.zero_stretches), "skipped_stretches",
                       static_cast<unsigned long long>(summary.skipped_stretches), "trailing_bytes",
                       static_cast<unsigned long long>(summary.trailing_bytes), "damaged",
                       summary.damaged() ? Py_True : Py_False);
}

}  // namespace

PyObject* inspect_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "on_item", nullptr};
  PyObject* path = nullptr;
  PyObject* on_item = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:inspect_file", const_cast<char**>(keywords), &path,
                                   &on_item)) {
    return nullptr;
  }
  const auto text = file_path_argument("path", path);
  if (!text) return nullptr;
  if (on_item != Py_None && !PyCallable_Check(on_item)) {
    PyErr_SetString(PyExc_TypeError, "on_item must be callable or None");
    return nullptr;
  }
  ItemList items;
  try {
    if (on_item != Py_None) {
      items.on_item = on_item;
    } else {
      items.list = PyList_New(0);
      if (items.list == nullptr) return nullptr;
    }
    StopToken stop(&ItemList::poll, &items);
    const auto summary = walk_file_structure(
        *text, [&items](const StructureItem& item) { items.add(item); }, stop);
    if (!summary || items.failed) {
      Py_XDECREF(items.list);
      if (items.failed) return nullptr;
      errno = summary.error().code;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    }
    return summary_dict(*text, *summary, items.list != nullptr ? items.list : Py_NewRef(Py_None));
  } catch (...) {
    Py_XDECREF(items.list);
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
