#!/usr/bin/python3
"""Has Chromium itself write Local Storage, Session Storage and IndexedDB stores.

Needs Debian's `chromium` (apt-get install chromium); the tests do not, they
read the stores this script leaves in tests/data/chromium/.

    /usr/bin/python3 scripts/make_chromium_stores.py [--out DIR] [--port N]
    /usr/bin/python3 scripts/make_chromium_stores.py --bench 40000 --out /tmp/big

A small HTTP server on 127.0.0.1 serves a page that writes, overwrites and
deletes items, then posts back a JSON account of everything it did; Chromium
runs headless against it and is closed through the DevTools pipe
(Browser.close), so every store is flushed the way a user's browser would
leave it. The profile is opened twice: the second session overwrites and
deletes some of what the first wrote, and LevelDB turns the first session's
log into a table file when it reopens the store, so the committed stores hold
both table and log records.

The account (expected.json) describes JavaScript values in the same JSON form
`vostrel chromium` writes (see README): {"$date": ISO text} (or {"$date":
null, "ms": time value}), {"$bytes":
base64}, {"$map": [[k, v], ...]}, {"$ref": "$/path"} for an object met before,
and so on.

--bench N writes N objects of mixed types into one IndexedDB object store
instead (for benchmarks/bench_chromium.py); nothing else is written.
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = os.path.join(ROOT, "tests", "data", "chromium")

# Turns a JavaScript value into the JSON form the decoder writes. Objects met
# before (shared or cyclic) become {"$ref": path of first meeting}.
TAG_JS = r"""
function b64(u8) { let s = ''; for (const b of u8) s += String.fromCharCode(b); return btoa(s); }
function num(n) {
  if (Number.isNaN(n)) return {'$number': 'NaN'};
  if (n === Infinity) return {'$number': 'Infinity'};
  if (n === -Infinity) return {'$number': '-Infinity'};
  return n;
}
// A key as one step of a $ref path (a JSON Pointer step).
function step(k) { return String(k).replaceAll('~', '~0').replaceAll('/', '~1'); }
// Years 1 to 9999 as ISO text, any other time value as itself.
function date(v) {
  const t = v.getTime(), year = v.getUTCFullYear();
  if (isNaN(t)) return {'$date': null, 'ms': 'NaN'};
  return year >= 1 && year <= 9999 ? {'$date': v.toISOString()} : {'$date': null, 'ms': t};
}
// How many places of the value hold each ArrayBuffer (itself or under a view).
function bufferUses(v, uses = new Map(), seen = new Set()) {
  const count = b => uses.set(b, (uses.get(b) || 0) + 1);
  if (v instanceof ArrayBuffer) return count(v);
  if (v === null || typeof v !== 'object' || seen.has(v)) return uses;
  seen.add(v);
  if (ArrayBuffer.isView(v)) count(v.buffer);
  else if (v instanceof Map) for (const [k, x] of v) { bufferUses(k, uses, seen); bufferUses(x, uses, seen); }
  else if (v instanceof Set) for (const x of v) bufferUses(x, uses, seen);
  else if (!(v instanceof Date || v instanceof RegExp || v instanceof Blob || v instanceof Error))
    for (const k of Object.keys(v)) bufferUses(v[k], uses, seen);
  return uses;
}
function tag(v, path = '$', seen = new Map(), uses = bufferUses(v)) {
  if (v === null) return null;
  if (v === undefined) return {'$undefined': true};
  const t = typeof v;
  if (t === 'boolean' || t === 'string') return v;
  if (t === 'number') return num(v);
  if (t === 'bigint') return {'$bigint': v.toString()};
  if (seen.has(v)) return {'$ref': seen.get(v)};
  seen.set(v, path);
  if (v instanceof Date) return date(v);
  if (v instanceof RegExp) return {'$regexp': v.source, 'flags': v.flags};
  if (v instanceof ArrayBuffer) return {'$bytes': b64(new Uint8Array(v))};
  if (ArrayBuffer.isView(v) && (uses.get(v.buffer) > 1 || v.byteOffset > 0 ||
                                v.byteLength < v.buffer.byteLength))
    return {'$typed_array': v.constructor.name, 'buffer': tag(v.buffer, path + '/buffer', seen, uses),
            'byte_offset': v.byteOffset, 'byte_length': v.byteLength};
  if (v instanceof DataView) return {'$data_view': b64(new Uint8Array(v.buffer, v.byteOffset, v.byteLength))};
  if (ArrayBuffer.isView(v)) return {'$typed_array': v.constructor.name,
      'values': Array.from(v, x => typeof x === 'bigint' ? x.toString() : num(x))};
  if (v instanceof Map) return {'$map': Array.from(v, ([k, x], i) =>
      [tag(k, path + '/' + i + '/0', seen, uses), tag(x, path + '/' + i + '/1', seen, uses)])};
  if (v instanceof Set) return {'$set': Array.from(v, (x, i) => tag(x, path + '/' + i, seen, uses))};
  if (v instanceof File) return {'$file': {'name': v.name, 'type': v.type, 'size': v.size,
      'last_modified': {'$date': new Date(v.lastModified).toISOString()}}};
  if (v instanceof Blob) return {'$blob': {'type': v.type, 'size': v.size}};
  if (v instanceof Error) return {'$error': v.name, 'message': v.message};
  if (v instanceof Boolean || v instanceof Number || v instanceof String)
    return tag(v.valueOf(), path, seen, uses);
  if (Array.isArray(v)) {
    const keys = Object.keys(v);
    const dense = keys.length >= v.length && keys.slice(0, v.length).every((k, i) => k === String(i));
    if (dense) {
      const items = v.map((x, i) => tag(x, path + '/' + i, seen, uses));
      if (keys.length === v.length) return items;
      const properties = {};
      for (const k of keys.slice(v.length)) properties[k] = tag(v[k], path + '/' + step(k), seen, uses);
      return {'$array': items, 'properties': properties};
    }
    const items = {};
    for (const k of keys) items[k] = tag(v[k], path + '/' + step(k), seen, uses);
    return {'$sparse_array': items, 'length': v.length};
  }
  const out = {};
  for (const k of Object.keys(v)) out[k] = tag(v[k], path + '/' + step(k), seen, uses);
  const keys = Object.keys(out);
  if (keys.length === 1 && keys[0].startsWith('$')) return {'$object': out};
  return out;
}
function tagKey(k) {
  if (typeof k === 'number') return num(k);
  if (typeof k === 'string') return k;
  if (k instanceof Date) return date(k);
  if (Array.isArray(k)) return k.map(tagKey);
  return {'$bytes': b64(new Uint8Array(ArrayBuffer.isView(k) ? k.buffer : k))};
}
"""

PAGE_JS = r"""
const log = {origin: location.origin, local_storage: [], session_storage: [], indexeddb: []};
const phase = PHASE;
function ls(op, key, value) {
  if (op === 'set') localStorage.setItem(key, value); else localStorage.removeItem(key);
  log.local_storage.push({op, key, value: op === 'set' ? value : null});
}
function ss(op, key, value) {
  if (op === 'set') sessionStorage.setItem(key, value); else sessionStorage.removeItem(key);
  log.session_storage.push({op, key, value: op === 'set' ? value : null});
}
function req(r) { return new Promise((ok, bad) => { r.onsuccess = () => ok(r.result); r.onerror = () => bad(r.error); }); }
function done(tx) { return new Promise((ok, bad) => { tx.oncomplete = ok; tx.onerror = tx.onabort = () => bad(tx.error); }); }
async function idb(db, store, ops) {
  const tx = db.transaction(store, 'readwrite');
  const os = tx.objectStore(store);
  for (const [op, key, value, name, summary] of ops) {
    let k = key;
    if (op === 'put') k = await req(key === undefined ? os.put(value) : os.put(value, key));
    else await req(os.delete(key));
    // Large values are described by a summary to keep this account small.
    log.indexeddb.push({database: db.name, store, op, name: name || null, key: tagKey(k),
                        value: op === 'put' && !summary ? tag(value) : null,
                        summary: summary || null});
  }
  await done(tx);
}
async function openDb(name, version, upgrade) {
  const r = indexedDB.open(name, version);
  r.onupgradeneeded = () => upgrade(r.result);
  return await req(r);
}
async function main() {
  if (phase === 1) {
    ls('set', 'latin1', 'caf\u00e9 au lait');
    ls('set', 'utf16', '\u043f\u0440\u0438\u0432\u0435\u0442 \u2713');
    ls('set', '\u043a\u043b\u044e\u0447', 'two-byte key');
    ls('set', 'overwritten', 'first');
    ls('set', 'overwritten', 'second');
    ls('set', 'removed', 'soon gone');
    ls('remove', 'removed');
  } else {
    ls('set', 'latin1', 'second session');
    ls('remove', 'utf16');
    // Chromium drops the previous session's Session Storage when it starts,
    // so these are written in the session whose stores are kept.
    ss('set', 'tab', 'session one');
    ss('set', 'tab-utf16', '\u65e5\u672c\u8a9e');
    ss('set', 'tab', 'session two');
    ss('set', 'tab-gone', 'x');
    ss('remove', 'tab-gone');
  }
  const db = await openDb('vostrel', 1, db => {
    const items = db.createObjectStore('items');
    items.createIndex('by_kind', 'kind');
    db.createObjectStore('people', {keyPath: 'id', autoIncrement: true}).createIndex('by_name', 'name', {unique: false});
  });
  if (phase === 1) {
    const shared = {shared: true};
    const cycle = {name: 'cycle'}; cycle.self = cycle;
    const sparse = [1]; sparse[50] = 'far'; sparse.extra = 'prop';
    const holder = [1, 2]; holder.label = 'dense with a property';
    const buf = new Uint8Array([1, 2, 3, 4, 5, 6, 7, 8]).buffer;
    const quad = new Uint8Array([1, 0, 2, 0]).buffer;
    const slashed = {'a/b': {s: 1}, a: {b: {t: 2}}}; slashed.x = slashed['a/b'];
    const big = 'The quick brown fox jumps over the lazy dog. '.repeat(2000);
    const noise = new Uint8Array(70000); for (let i = 0; i < noise.length; i += 65536) crypto.getRandomValues(noise.subarray(i, i + 65536));
    await idb(db, 'items', [
      ['put', 1, null, 'null'], ['put', 2, undefined, 'undefined'],
      ['put', 3, true, 'true'], ['put', 4, false, 'false'],
      ['put', 5, 42, 'int'], ['put', 6, -7, 'negative int'], ['put', 7, 3.25, 'double'],
      ['put', 8, 2 ** 40, 'large int'], ['put', 9, NaN, 'NaN'], ['put', 10, -Infinity, '-Infinity'],
      ['put', 'one-byte', 'caf\u00e9 au lait', 'one-byte string'],
      ['put', 'two-byte', '\u043f\u0440\u0438\u0432\u0435\u0442 \u2713 \ud83d\ude00', 'two-byte string'],
      ['put', 'empty', '', 'empty string'],
      ['put', 'object', {kind: 'note', text: 'hello', n: 1, nested: {deep: [1, 'two']}, 7: 'seven'}, 'object'],
      ['put', 'dense', [1, 'two', null, undefined, {three: 3}], 'dense array'],
      ['put', 'dense-prop', holder, 'dense array with property'],
      ['put', 'sparse', sparse, 'sparse array'],
      ['put', 'date', new Date(Date.UTC(2024, 1, 29, 12, 30, 45, 678)), 'Date'],
      ['put', 'invalid-date', new Date(NaN), 'invalid Date'],
      ['put', 'regexp', /ab+c\/d/giu, 'RegExp'],
      ['put', 'map', new Map([['k', 1], [2, 'v'], [{o: 1}, [true]]]), 'Map'],
      ['put', 'set', new Set([1, 'a', null]), 'Set'],
      ['put', 'arraybuffer', buf, 'ArrayBuffer'],
      ['put', 'typed', {u8: new Uint8Array([0, 127, 255]), i16: new Int16Array([-2, 300]),
                        f64: new Float64Array([1.5, -0.25]), u32: new Uint32Array([4000000000]),
                        big64: new BigInt64Array([-5n, 9007199254740993n]),
                        view: new Uint8Array(buf, 2, 3), dv: new DataView(buf, 4, 4)}, 'typed arrays'],
      ['put', 'bigint', {pos: 12345678901234567890123n, neg: -42n, zero: 0n}, 'BigInt'],
      ['put', 'wrappers', {b: new Boolean(false), n: new Number(2.5), s: new String('boxed')}, 'primitive wrappers'],
      ['put', 'refs', {a: shared, b: shared, list: [shared]}, 'shared references'],
      ['put', 'cycle', cycle, 'cycle'],
      ['put', 'error', new RangeError('out of range'), 'Error'],
      ['put', 'dollar', {'$date': 'not a date'}, 'object with a $ key'],
      ['put', 'far-dates', {before: new Date(-62167219200000), last: new Date(8.64e15)},
       'Dates outside years 1 to 9999'],
      ['put', 'slashed', slashed, 'shared object under a key with a slash'],
      ['put', 'shared-buffer', {u8: new Uint8Array(quad), u16: new Uint16Array(quad), raw: quad},
       'views sharing a whole buffer'],
      ['put', 'large', {kind: 'large', text: big}, 'large value (Snappy)',
       {text_length: big.length, text_head: big.slice(0, 45)}],
      ['put', 'noise', noise, 'large incompressible value (blob-wrapped)',
       {typed_array: 'Uint8Array', length: noise.length, head: Array.from(noise.subarray(0, 8))}],
      ['put', 'blob', new Blob(['hello blob'], {type: 'text/plain'}), 'Blob'],
      ['put', 'file', new File(['file body'], 'note.txt', {type: 'text/plain', lastModified: Date.UTC(2023, 4, 6)}), 'File'],
      ['put', new Date(Date.UTC(2020, 0, 1)), 'date key', 'date key'],
      ['put', new Uint8Array([0, 1, 254, 255]), 'binary key', 'binary key'],
      ['put', [1, 'two', [3]], 'array key', 'array key'],
      ['put', -2.5, 'negative number key', 'number key'],
      ['put', '\u00fcn\u00efc\u00f8d\u00e9 \u2713', 'two-byte key', 'string key'],
      ['put', 'overwritten', {kind: 'note', v: 1}, 'first version'],
      ['put', 'overwritten', {kind: 'note', v: 2}, 'second version'],
      ['put', 'deleted', 'short-lived', 'deleted later'],
      ['delete', 'deleted'],
    ]);
    await idb(db, 'people', [
      ['put', undefined, {name: 'Ada', born: new Date(Date.UTC(1815, 11, 10))}, 'autoIncrement'],
      ['put', undefined, {name: 'Grace'}, 'autoIncrement'],
    ]);
  } else {
    await idb(db, 'items', [
      ['put', 'overwritten', {kind: 'note', v: 3}, 'third version, second session'],
      ['delete', 1],
      ['put', 'session-two', 'written in the second session', 'second session'],
    ]);
  }
  db.close();
}
async function bench(count) {
  const db = await openDb('bench', 1, db => db.createObjectStore('records').createIndex('by_kind', 'kind'));
  const kinds = ['note', 'message', 'contact', 'event'];
  for (let start = 0; start < count; start += 1000) {
    const tx = db.transaction('records', 'readwrite');
    const os = tx.objectStore('records');
    for (let i = start; i < Math.min(count, start + 1000); i++) {
      const kind = kinds[i % 4];
      let v;
      if (kind === 'note') v = {kind, id: i, title: 'Note ' + i, body: 'Lorem ipsum dolor sit amet '.repeat(1 + i % 5), tags: ['a', 'b', String(i % 7)]};
      else if (kind === 'message') v = {kind, id: i, from: 'user' + (i % 97) + '@example.org', sent: new Date(1700000000000 + i * 1000), text: '\u041f\u0440\u0438\u0432\u0435\u0442 ' + i, read: i % 2 === 0};
      else if (kind === 'contact') v = {kind, id: i, name: 'Contact ' + i, phones: new Map([['home', '+1555' + i]]), score: i * 0.5, avatar: new Uint8Array(32).fill(i % 256)};
      else v = {kind, id: i, at: new Date(1600000000000 + i * 60000), attendees: new Set(['a', 'b', 'c' + i]), big: BigInt(i) * 1000000000000n, nested: {level: {deeper: [i, i + 1, null]}}};
      os.put(v, i % 3 === 0 ? 'key-' + i : i);
    }
    await done(tx);
  }
  db.close();
  log.indexeddb.push({bench: count});
}
(BENCH ? bench(BENCH) : main()).then(
  () => fetch('/done', {method: 'POST', body: JSON.stringify(log)}),
  e => fetch('/done', {method: 'POST', body: JSON.stringify({error: String(e && e.stack || e)})}));
"""


def page(phase: int, bench: int) -> bytes:
    script = TAG_JS + PAGE_JS.replace("PHASE", str(phase)).replace("BENCH", str(bench))
    return f"<!doctype html><meta charset=utf-8><title>vostrel</title><script>{script}</script>".encode()


class Session:
    """One page load in a headless Chromium on the given profile."""

    def __init__(self, profile: str, port: int, body: bytes):
        self.profile, self.port, self.body = profile, port, body
        self.result: dict | None = None
        self.finished = threading.Event()

    def run(self, timeout: float = 300) -> dict:
        session = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802 (http.server's naming)
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(session.body)))
                self.end_headers()
                self.wfile.write(session.body)

            def do_POST(self):  # noqa: N802
                length = int(self.headers.get("Content-Length", "0"))
                session.result = json.loads(self.rfile.read(length))
                self.send_response(204)
                self.end_headers()
                session.finished.set()

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            run_chromium([f"--user-data-dir={self.profile}", f"http://127.0.0.1:{self.port}/"],
                         self.finished, timeout)
        finally:
            server.shutdown()
            server.server_close()
        if self.result is None or "error" in self.result:
            raise RuntimeError(f"the page failed: {self.result}")
        return self.result


def run_chromium(arguments: list, finished: threading.Event, timeout: float) -> None:
    """Runs a headless Chromium with these arguments (the profile, what to
    open) until `finished` is set, then closes it cleanly through the
    DevTools pipe: a clean close flushes the stores' pending commits to disk,
    as a user's browser leaves them."""
    # --remote-debugging-pipe: Chromium reads DevTools commands from fd 3
    # and answers on fd 4.
    to_chromium_r, to_chromium_w = os.pipe()
    from_chromium_r, from_chromium_w = os.pipe()

    def child_fds():
        os.dup2(to_chromium_r, 3)
        os.dup2(from_chromium_w, 4)

    command = [
        "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
        "--no-first-run", "--disable-background-networking", "--disable-component-update",
        "--disable-sync", "--remote-debugging-pipe", *arguments,
    ]
    browser = subprocess.Popen(command, close_fds=False, preexec_fn=child_fds,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_chromium_r)
    os.close(from_chromium_w)
    try:
        if not finished.wait(timeout):
            raise RuntimeError("the page did not report back in time")
        os.write(to_chromium_w, json.dumps({"id": 1, "method": "Browser.close"}).encode() + b"\0")
        browser.wait(120)
    finally:
        if browser.poll() is None:
            browser.kill()
            browser.wait()
        os.close(to_chromium_w)
        os.close(from_chromium_r)


def copy_stores(profile: str, out: str) -> None:
    default = os.path.join(profile, "Default")
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    wanted = [os.path.join("Local Storage", "leveldb"), "Session Storage"]
    idb_root = os.path.join(default, "IndexedDB")
    for name in sorted(os.listdir(idb_root)) if os.path.isdir(idb_root) else []:
        wanted.append(os.path.join("IndexedDB", name))
    for relative in wanted:
        source = os.path.join(default, relative)
        if os.path.isdir(source):
            # LOG and LOG.old are LevelDB's text diary (timestamps), LOCK is empty.
            shutil.copytree(source, os.path.join(out, relative),
                            ignore=shutil.ignore_patterns("LOG", "LOG.old", "LOCK"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=DEFAULT_OUT, help="where to put the stores")
    parser.add_argument("--port", type=int, default=8765, help="port of the page's origin")
    parser.add_argument("--bench", type=int, default=0, metavar="N",
                        help="write N mixed objects into one IndexedDB store instead")
    args = parser.parse_args()
    if shutil.which("chromium") is None:
        print("make_chromium_stores: needs Debian's chromium (apt-get install chromium)",
              file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="vostrel-chromium-") as profile:
        if args.bench:
            Session(profile, args.port, page(0, args.bench)).run(timeout=3600)
            copy_stores(profile, args.out)
            return 0
        first = Session(profile, args.port, page(1, 0)).run()
        second = Session(profile, args.port, page(2, 0)).run()
        copy_stores(profile, args.out)
    version = subprocess.run(["chromium", "--version"], capture_output=True, text=True).stdout
    expected = {
        "chromium": version.strip(),
        "origin": first["origin"],
        "sessions": [first, second],
    }
    with open(os.path.join(args.out, "expected.json"), "w", encoding="utf-8") as f:
        json.dump(expected, f, indent=1, ensure_ascii=False)
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
