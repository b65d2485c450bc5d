"""IndexedDB (`<origin>.indexeddb.leveldb`), as Chromium's LevelDB backing store
writes it.

Every key starts with a prefix «database id, object store id, index id»: one
byte giving the byte lengths (top 3 bits: database id length - 1, next 3:
object store id length - 1, low 2: index id length - 1), then the three ids
little-endian. Id 0 means metadata:
  «0,0,0» global: 0 schema version, 1 largest database id, 2 data format
          version (Blink's in the low 32 bits, V8's above), 3/4 recovery and
          active blob journals, 5 earliest sweep time, 50 the transaction
          journal ("scopes"), 100 database free list, 201 <origin> <name> ->
          database id
  «db,0,0» database: 0 origin, 1 name, 2 string version, 3 largest object
          store id, 4 version, 5 blob number generator; 50 <store> <type>
          object store metadata (0 name, 1 key path, 2 auto increment, 3
          evictable, 4 last version, 5 largest index id, 6 has key path, 7 key
          generator); 100 <store> <index> <type> index metadata (0 name, 1
          unique, 2 key path, 3 multi-entry); 150/151 free lists; 200 <name>
          -> store id; 201 <store> <name> -> index id
  «db,store,1» <primary key>  -> record version (varint), the value
  «db,store,2» <primary key>  -> "exists" entry: record version (Int)
  «db,store,3» <primary key>  -> the value's external objects (blobs, files)
  «db,store,≥30» <index key> <0 varint> <primary key> -> version, primary key

Encodings: Int is little-endian with as many bytes as needed; VarInt is
base-128; String is UTF-16BE (its length implied by the rest of the key or
value); StringWithLength is a VarInt count of UTF-16 units, then the units;
Double is the host's (little-endian). An IndexedDB key is a type byte then
its data: 1 string (StringWithLength), 2 date and 3 number (Double), 4 array
(VarInt count, keys), 6 binary (VarInt length, bytes), 0 none, 5 min key.

An external object is a type byte (0 blob, 1 file, 2 file system access
handle) and, for blobs and files, the blob number (VarInt), its MIME type
(StringWithLength) and size (VarInt); a file adds its name
(StringWithLength) and last-modified time (VarInt, base::Time microseconds);
a handle a token (VarInt length, bytes). Blob number n of database d is the
file `<origin>.indexeddb.blob/<d hex>/<(n >> 8) & 0xff as 2 hex>/<n hex>`.
"""

from __future__ import annotations

import os
import struct
from typing import Iterator, Optional

from . import blink, v8
from .common import DecodeError, fallback, finish, protobuf_fields, windows_time

KIND = "indexeddb"
MAX_BLOB_FILE = 1 << 30  # an IndexedDB value larger than this is not read into memory
_unpack_double = struct.Struct("<d").unpack_from

_GLOBAL_TYPES = {0: "schema_version", 1: "max_database_id", 2: "data_format_version",
                 3: "recovery_blob_journal", 4: "active_blob_journal", 5: "earliest_sweep",
                 6: "earliest_compaction"}
_DATABASE_TYPES = {0: "origin", 1: "name", 2: "string_version", 3: "max_object_store_id",
                   4: "version", 5: "blob_number_generator"}
_STORE_META_TYPES = {0: "name", 1: "key_path", 2: "auto_increment", 3: "evictable",
                     4: "last_version", 5: "max_index_id", 6: "has_key_path",
                     7: "key_generator_current_number"}
_INDEX_META_TYPES = {0: "name", 1: "unique", 2: "key_path", 3: "multi_entry"}
_EXTERNAL_TYPES = {0: "blob", 1: "file", 2: "file_system_access_handle"}


# ---------------------------------------------------------------------------
# Primitive codings

def key_prefix(key: bytes) -> tuple:
    """(database id, object store id, index id, position after the prefix)."""
    first = key[0]
    if first == 0 and len(key) >= 4:  # all three ids in one byte each: the usual case
        return key[1], key[2], key[3], 4
    db_len = (first >> 5) + 1
    store_len = ((first >> 2) & 7) + 1
    index_len = (first & 3) + 1
    end = 1 + db_len + store_len + index_len
    if len(key) < end:
        raise DecodeError("key shorter than its prefix")
    pos = 1 + db_len
    return (int.from_bytes(key[1:pos], "little"),
            int.from_bytes(key[pos:pos + store_len], "little"),
            int.from_bytes(key[pos + store_len:end], "little"), end)


def decode_int(data: bytes) -> int:
    if len(data) > 8:
        raise DecodeError("Int longer than 8 bytes")
    return int.from_bytes(data, "little", signed=len(data) == 8)


def decode_bool(data: bytes) -> bool:
    if len(data) != 1:
        raise DecodeError("Bool is not one byte")
    return data[0] != 0


def decode_string(data: bytes) -> str:
    if len(data) % 2:
        raise DecodeError("UTF-16 string of odd length")
    return data.decode("utf-16-be", "surrogatepass")


def string_with_length(data: bytes, pos: int) -> tuple:
    units, pos = v8.varint(data, pos)
    end = pos + 2 * units
    if end > len(data):
        raise DecodeError("data ends inside a string")
    return data[pos:end].decode("utf-16-be", "surrogatepass"), end


def _double_key(data: bytes, pos: int) -> tuple:
    if pos + 8 > len(data):
        raise DecodeError("data ends inside a number key")
    value = _unpack_double(data, pos)[0]
    if value.is_integer() and abs(value) < 2 ** 53:
        value = int(value)
    return value, pos + 8


def idb_key(data: bytes, pos: int, depth: int = 0) -> tuple:
    """One IndexedDB key at pos: (Python value, position after it). Numbers
    are int when integral, dates datetime, binary keys bytes, arrays lists."""
    if pos >= len(data):
        raise DecodeError("data ends where a key should begin")
    kind = data[pos]
    pos += 1
    if kind == 1:
        return string_with_length(data, pos)
    if kind == 3:
        return _double_key(data, pos)
    if kind == 2:
        if pos + 8 > len(data):
            raise DecodeError("data ends inside a date key")
        return v8._date(_unpack_double(data, pos)[0]), pos + 8
    if kind == 4:
        count, pos = v8.varint(data, pos)
        if count > len(data) - pos or depth > v8.MAX_DEPTH:
            raise DecodeError("bad array key")
        items = []
        for _ in range(count):
            item, pos = idb_key(data, pos, depth + 1)
            items.append(item)
        return items, pos
    if kind == 6:
        length, pos = v8.varint(data, pos)
        if length > len(data) - pos:
            raise DecodeError("data ends inside a binary key")
        return data[pos:pos + length], pos + length
    if kind == 0:
        return None, pos
    raise DecodeError(f"unknown key type {kind}")


def key_path(data: bytes):
    """A key path: None, a string or a list of strings."""
    if len(data) < 3 or data[0] != 0 or data[1] != 0:
        return decode_string(data)  # the original form: the whole value is the path
    kind = data[2]
    if kind == 0:
        return None
    if kind == 1:
        return string_with_length(data, 3)[0]
    if kind == 2:
        count, pos = v8.varint(data, 3)
        if count > len(data):
            raise DecodeError("bad key path array")
        paths = []
        for _ in range(count):
            path, pos = string_with_length(data, pos)
            paths.append(path)
        return paths
    raise DecodeError(f"unknown key path type {kind}")


def external_objects(data: bytes, blob_dir: Optional[str], database_id: int) -> list:
    """The external objects of a record: a list of dicts."""
    objects = []
    pos = 0
    while pos < len(data):
        kind = data[pos]
        pos += 1
        name = _EXTERNAL_TYPES.get(kind)
        if name is None:
            raise DecodeError(f"unknown external object type {kind}")
        item: dict = {"object_type": name}
        if kind == 2:
            length, pos = v8.varint(data, pos)
            if length > len(data) - pos:
                raise DecodeError("data ends inside a handle token")
            item["token"] = data[pos:pos + length].hex()
            pos += length
        else:
            number, pos = v8.varint(data, pos)
            mime, pos = string_with_length(data, pos)
            size, pos = v8.varint(data, pos)
            if kind == 1:
                item["name"], pos = string_with_length(data, pos)
                modified, pos = v8.varint(data, pos)
                when = windows_time(modified)
                item["last_modified"] = when if when is not None else modified
            item["type"] = mime
            item["size"] = size
            item["blob_number"] = number
            if blob_dir is not None:
                item["path"] = os.path.join(blob_dir, f"{database_id:x}",
                                            f"{(number >> 8) & 0xFF:02x}", f"{number:x}")
        objects.append(item)
    return objects


def _blob_dir(directory: str) -> Optional[str]:
    base = os.path.normpath(directory)
    if base.endswith(".leveldb"):
        return base[:-len(".leveldb")] + ".blob"
    return None


def _read_blob(info: dict) -> Optional[bytes]:
    path = info.get("path")
    if not path:
        return None
    try:
        with open(path, "rb") as f:
            return f.read(MAX_BLOB_FILE + 1)
    except OSError:
        return None


# ---------------------------------------------------------------------------
# The store

class Store:
    """What a first pass learns of a store: database, object store and index
    names, and every record's external objects. Keeping only metadata and
    blob entries makes the pass cheap and its memory small."""

    def __init__(self, directory: Optional[str]):
        self.blob_dir = _blob_dir(directory) if directory else None
        self.databases: dict = {}  # id -> (seq, origin, name)
        self.stores: dict = {}  # (db, store) -> (seq, name)
        self.indexes: dict = {}  # (db, store, index) -> (seq, name)
        self.blobs: dict = {}  # (db, store, encoded primary key) -> [(seq, value bytes)]

    def learn(self, records) -> None:
        for record in records:
            key = record.user_key
            if not key:
                continue
            try:
                db, store, index, pos = key_prefix(key)
            except (DecodeError, IndexError):
                continue
            if index == 3 and store:
                if record.value:
                    self.blobs.setdefault((db, store, key[pos:]), []).append(
                        (record.seq, record.value))
            elif store == 0 and index == 0 and int(record.state) == 1:
                try:
                    self._learn_name(db, key, pos, record)
                except (DecodeError, IndexError, UnicodeDecodeError):
                    pass

    def _remember(self, table: dict, where, seq: int, name) -> None:
        known = table.get(where)
        if known is None or known[0] < seq:
            table[where] = (seq, name)

    def _learn_name(self, db: int, key: bytes, pos: int, record) -> None:
        kind = key[pos]
        if db == 0 and kind == 201:
            origin, p = string_with_length(key, pos + 1)
            name, _ = string_with_length(key, p)
            self._remember(self.databases, decode_int(record.value), record.seq, (origin, name))
        elif db and kind == 50:
            store, p = v8.varint(key, pos + 1)
            if key[p:] == b"\x00":
                self._remember(self.stores, (db, store), record.seq, decode_string(record.value))
        elif db and kind == 100:
            store, p = v8.varint(key, pos + 1)
            index, p = v8.varint(key, p)
            if key[p:] == b"\x00":
                self._remember(self.indexes, (db, store, index), record.seq,
                               decode_string(record.value))

    def database(self, db: int) -> tuple:
        known = self.databases.get(db)
        return known[1] if known else (None, None)

    def externals(self, db: int, store: int, encoded_key: bytes, seq: int) -> Optional[list]:
        """The external objects written with the record of seq: the blob entry
        for the same key written in the same transaction, just after it."""
        versions = self.blobs.get((db, store, encoded_key))
        if not versions:
            return None
        best = None
        for version_seq, value in versions:
            if version_seq > seq and (best is None or version_seq < best[0]):
                best = (version_seq, value)
        if best is None:
            return None
        try:
            return external_objects(best[1], self.blob_dir, db)
        except (DecodeError, UnicodeDecodeError):
            return None


def _names(item: dict, store: Store, db: int, object_store: int = 0, index: int = 0) -> None:
    origin, name = store.database(db)
    item["origin"] = origin
    item["database"] = name
    item["database_id"] = db
    if object_store:
        item["object_store"] = store.stores.get((db, object_store), (0, None))[1]
        item["object_store_id"] = object_store
    if index:
        item["index"] = store.indexes.get((db, object_store, index), (0, None))[1]
        item["index_id"] = index


def _global(item: dict, key: bytes, pos: int, value: bytes, live: bool) -> None:
    kind = key[pos]
    name = _GLOBAL_TYPES.get(kind)
    if name is not None and pos + 1 == len(key):
        item["type"] = name
        if not live:
            return
        if kind in (3, 4):
            journal, p = [], 0
            while p < len(value):
                db, p = v8.varint(value, p)
                number, p = v8.varint(value, p)
                journal.append({"database_id": db, "blob_number": number})
            item["value"] = journal
        elif kind == 2:
            number = decode_int(value)
            item["value"] = {"blink": number & 0xFFFFFFFF, "v8": number >> 32}
        elif kind in (5, 6):
            item["value"] = windows_time(decode_int(value))
        else:
            item["value"] = decode_int(value)
    elif kind == 201:
        item["type"] = "database_name"
        item["origin"], p = string_with_length(key, pos + 1)
        item["database"], p = string_with_length(key, p)
        if live:
            item["value"] = decode_int(value)
    elif kind == 100:
        item["type"] = "database_free_list"
        item["database_id"], _ = v8.varint(key, pos + 1)
    elif kind == 50:
        _scopes(item, key, pos + 1, value, live)
    else:
        raise DecodeError(f"unknown global metadata type {kind}")


def _scopes(item: dict, key: bytes, pos: int, value: bytes, live: bool) -> None:
    # The transaction journal ("LevelDB scopes"): 0 its metadata, 1 <scope>
    # a scope's metadata (the key ranges it locks), 2 <scope> <0 undo | 1
    # cleanup> <sequence, 8 bytes big-endian> a task of that scope. Values
    # are protobuf messages, given here by field number.
    if pos >= len(key):
        raise DecodeError("journal key without its type")
    sub = key[pos]
    if sub == 0:
        item["type"] = "journal_metadata"
    elif sub == 1:
        item["type"] = "journal_scope"
        item["scope"], _ = v8.varint(key, pos + 1)
    elif sub == 2:
        item["type"] = "journal_task"
        item["scope"], p = v8.varint(key, pos + 1)
        if p >= len(key):
            raise DecodeError("journal task key without its kind")
        item["task"] = {0: "undo", 1: "cleanup"}.get(key[p], key[p])
        if len(key) - p - 1 == 8:
            item["sequence"] = int.from_bytes(key[p + 1:], "big")
    else:
        raise DecodeError(f"unknown journal key type {sub}")
    if live:
        item["value"] = _protobuf_json(protobuf_fields(value))


def _protobuf_json(fields: dict) -> dict:
    out = {}
    for number, value in fields.items():
        out[str(number)] = [_protobuf_value(v) for v in value] if isinstance(value, list) \
            else _protobuf_value(value)
    return out


def _protobuf_value(value):
    if isinstance(value, bytes):
        # Nested messages and byte strings look alike; show a nested message
        # when the bytes read as one, else the bytes.
        try:
            nested = protobuf_fields(value)
            if nested:
                return _protobuf_json(nested)
        except DecodeError:
            pass
        return {"$bytes": value.hex()} if value else ""
    return value


def _database_meta(item: dict, store: Store, db: int, key: bytes, pos: int,
                   value: bytes, live: bool) -> None:
    kind = key[pos]
    if kind in _DATABASE_TYPES and pos + 1 == len(key):
        item["type"] = "database_" + _DATABASE_TYPES[kind]
        if live:
            if kind <= 2:
                item["value"] = decode_string(value)
            elif kind == 3:
                item["value"] = decode_int(value)
            else:
                item["value"] = v8.varint(value, 0)[0]
        return
    if kind == 50:
        object_store, p = v8.varint(key, pos + 1)
        _names(item, store, db, object_store)
        field = key[p] if p < len(key) else None
        item["type"] = "object_store_" + _STORE_META_TYPES.get(field, f"field_{field}")
        if live:
            if field == 0:
                item["value"] = decode_string(value)
            elif field == 1:
                item["value"] = key_path(value)
            elif field in (2, 3, 6):
                item["value"] = decode_bool(value)
            else:
                item["value"] = decode_int(value)
        return
    if kind == 100:
        object_store, p = v8.varint(key, pos + 1)
        index, p = v8.varint(key, p)
        _names(item, store, db, object_store, index)
        field = key[p] if p < len(key) else None
        item["type"] = "index_" + _INDEX_META_TYPES.get(field, f"field_{field}")
        if live:
            if field == 0:
                item["value"] = decode_string(value)
            elif field == 2:
                item["value"] = key_path(value)
            else:
                item["value"] = decode_bool(value)
        return
    if kind == 200:
        item["type"] = "object_store_name"
        item["name"], _ = string_with_length(key, pos + 1)
        if live:
            item["value"] = decode_int(value)
        return
    if kind == 201:
        object_store, p = v8.varint(key, pos + 1)
        _names(item, store, db, object_store)
        item["type"] = "index_name"
        item["name"], _ = string_with_length(key, p)
        if live:
            item["value"] = decode_int(value)
        return
    if kind in (150, 151):
        item["type"] = "object_store_free_list" if kind == 150 else "index_free_list"
        return
    raise DecodeError(f"unknown database metadata type {kind}")


def decode_record(record, store: Store) -> dict:
    key = record.user_key
    value = record.value
    live = int(record.state) == 1
    item: dict = {"kind": KIND, "type": "undecoded"}
    try:
        db, object_store, index, pos = key_prefix(key)
        if object_store and index == 1:
            # The hot path: a record of an object store.
            item["type"] = "record"
            _names(item, store, db, object_store)
            item["key"], end = idb_key(key, pos)
            if end != len(key):
                raise DecodeError("bytes after the primary key")
            item["value"] = None
            if live:
                version, p = v8.varint(value, 0)
                item["version"] = version
                externals = None
                if store.blobs:
                    externals = store.externals(db, object_store, key[pos:], record.seq)
                data, how = blink.unwrap(value[p:], externals, _read_blob)
                if how != "inline":
                    item["stored"] = how
                item["value"] = blink.decode_script_value(data, externals)
        elif object_store and index >= 30:
            item["type"] = "index"
            _names(item, store, db, object_store, index)
            item["key"], p = idb_key(key, pos)
            if p < len(key):
                _, p = v8.varint(key, p)  # a sequence number, always 0 now
                item["primary_key"], p = idb_key(key, p)
            if live:
                version, p = v8.varint(value, 0)
                item["version"] = version
                if p < len(value):
                    item["value"], _ = idb_key(value, p)
        elif object_store and index == 2:
            item["type"] = "exists"
            _names(item, store, db, object_store)
            item["key"], _ = idb_key(key, pos)
            if live:
                item["version"] = decode_int(value)
        elif object_store and index == 3:
            item["type"] = "blob_entry"
            _names(item, store, db, object_store)
            item["key"], _ = idb_key(key, pos)
            if live:
                item["value"] = external_objects(value, store.blob_dir, db)
        elif object_store == 0 and index == 0:
            if pos >= len(key):
                raise DecodeError("metadata key without its type")
            if db == 0:
                item["type"] = "global"
                _global(item, key, pos, value, live)
            else:
                item["type"] = "database"
                _names(item, store, db)
                _database_meta(item, store, db, key, pos, value, live)
        else:
            raise DecodeError(f"unknown key prefix ({db}, {object_store}, {index})")
    except (DecodeError, IndexError, UnicodeDecodeError, ValueError, OverflowError,
            struct.error) as error:
        return fallback(KIND, record, str(error) or type(error).__name__, item)
    except RecursionError:
        return fallback(KIND, record, "value nested too deeply", item)
    return finish(item, record)


def iter_entries(records_factory, directory: Optional[str] = None) -> Iterator[dict]:
    """records_factory() gives the records; it is called twice: once to learn
    names and external objects, once to decode."""
    store = Store(directory)
    store.learn(records_factory())
    for record in records_factory():
        yield decode_record(record, store)
