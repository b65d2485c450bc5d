#!/usr/bin/python3
"""Has Debian's chromium build a whole profile to measure `vostrel chromium
--find` on: several origins served from 127.0.0.1 (one port each), every one
writing Local Storage, Session Storage and IndexedDB and registering a service
worker, the first two growing their IndexedDB stores to the size asked for; plus
an unpacked extension whose service worker writes chrome.storage.local.

    /usr/bin/python3 benchmarks/make_chromium_profile.py --out /tmp/vostrel-profile [--megabytes 110]
        [--service-worker-copy DIR]

The pages run one after another (each navigates to the next origin when done,
the last posts back); Chromium is then closed through the DevTools pipe
(scripts/make_chromium_stores.py), so every store is flushed as a user's
browser leaves it. The IndexedDB values carry random text, which Snappy
cannot shrink, so the store's size on disk is about what was written.

--service-worker-copy copies the profile's service worker database there
(without LevelDB's text diary) and writes, beside it, service_worker.json:
the scope and script URL each origin registered. The tests' store came from
`--megabytes 0.05 --service-worker-copy tests/data/chromium`.
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import sys
import threading
from urllib.parse import quote

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from make_chromium_stores import run_chromium  # noqa: E402 (the shared launcher)
from make_extension_store import MANIFEST as EXTENSION_MANIFEST  # noqa: E402 (the same extension's manifest)

PAGE_JS = r"""
const params = new URLSearchParams(location.search);
const megabytes = Number(params.get('mb') || 0);
const next = params.get('next');
function done(tx) { return new Promise((ok, bad) => { tx.oncomplete = ok; tx.onerror = tx.onabort = () => bad(tx.error); }); }
function openDb(name) {
  return new Promise((ok, bad) => {
    const request = indexedDB.open(name, 1);
    request.onupgradeneeded = () => request.result.createObjectStore('rows').createIndex('by_n', 'n');
    request.onsuccess = () => ok(request.result);
    request.onerror = () => bad(request.error);
  });
}
function noise(bytes) {
  const raw = new Uint8Array(bytes);
  for (let i = 0; i < bytes; i += 65536) crypto.getRandomValues(raw.subarray(i, Math.min(bytes, i + 65536)));
  let s = ''; for (const b of raw) s += String.fromCharCode(b); return btoa(s);
}
async function main() {
  const origin = location.origin;
  localStorage.setItem('origin', origin);
  localStorage.setItem('visited', new Date().toISOString());
  localStorage.setItem('gone', 'x'); localStorage.removeItem('gone');
  sessionStorage.setItem('tab', origin + ' tab');
  const db = await openDb('profile');
  let tx = db.transaction('rows', 'readwrite');
  tx.objectStore('rows').put({n: 0, origin, when: new Date(), tags: new Set(['a', 'b'])}, 'first');
  await done(tx);
  // About one kilobyte of random text a row, a thousand rows a transaction.
  const rows = Math.ceil(megabytes * 1024);
  for (let start = 0; start < rows; start += 1000) {
    tx = db.transaction('rows', 'readwrite');
    const store = tx.objectStore('rows');
    for (let i = start; i < Math.min(rows, start + 1000); i++) store.put({n: i, text: noise(768)}, i);
    await done(tx);
  }
  db.close();
  const registration = await navigator.serviceWorker.register('/sw.js?v=1', {scope: '/app/'});
  await new Promise(ok => {
    const worker = registration.installing || registration.waiting || registration.active;
    if (worker.state === 'activated') return ok();
    worker.addEventListener('statechange', () => worker.state === 'activated' && ok());
  });
  const report = {origin, scope: registration.scope, script: new URL('/sw.js?v=1', origin).href};
  if (next) location.href = next + (next.includes('?') ? '&' : '?') + 'report=' + encodeURIComponent(JSON.stringify([...JSON.parse(params.get('report') || '[]'), report]));
  else await fetch('/done', {method: 'POST', body: JSON.stringify([...JSON.parse(params.get('report') || '[]'), report])});
}
main().catch(e => fetch('/done', {method: 'POST', body: JSON.stringify({error: String(e && e.stack || e)})}));
"""

WORKER_JS = b"""
self.addEventListener('install', event => self.skipWaiting());
self.addEventListener('activate', event => event.waitUntil(
  caches.open('v1').then(cache => cache.put('/app/cached', new Response('cached body')))));
self.addEventListener('fetch', () => {});
"""

EXTENSION_JS = r"""
(async () => {
  await chrome.storage.local.set({theme: 'dark', seen: {count: 3, at: 'PORT'}, list: [1, 2, 3]});
  await chrome.storage.local.remove('list');
  await fetch('http://127.0.0.1:PORT/extension', {method: 'POST', body: '{}'});
})();
"""


def serve(port: int, reports: dict, finished: threading.Event):
    page = f"<!doctype html><meta charset=utf-8><script>{PAGE_JS}</script>".encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 (http.server's naming)
            is_worker = self.path.startswith("/sw.js")
            body = WORKER_JS if is_worker else page
            self.send_response(200)
            self.send_header("Content-Type", "text/javascript" if is_worker else "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):  # noqa: N802
            length = int(self.headers.get("Content-Length", "0"))
            reports[self.path] = json.loads(self.rfile.read(length))
            self.send_response(204)
            self.end_headers()
            if "/done" in reports and "/extension" in reports:
                finished.set()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", required=True, help="the profile directory (made afresh)")
    parser.add_argument("--megabytes", type=float, default=110, help="IndexedDB data the first two origins write")
    parser.add_argument("--port", type=int, default=8810, help="the first origin's port (three in a row)")
    parser.add_argument("--service-worker-copy", metavar="DIR")
    args = parser.parse_args()
    if os.path.exists(args.out):
        shutil.rmtree(args.out)
    os.makedirs(args.out)
    extension = os.path.join(args.out, "extension")
    os.makedirs(extension)
    with open(os.path.join(extension, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(EXTENSION_MANIFEST, f)
    with open(os.path.join(extension, "worker.js"), "w", encoding="utf-8") as f:
        f.write(EXTENSION_JS.replace("PORT", str(args.port)))
    reports: dict = {}
    finished = threading.Event()
    ports = [args.port, args.port + 1, args.port + 2]
    servers = [serve(port, reports, finished) for port in ports]
    # The first two origins write half the data each (two large stores for
    # --jobs to share out), the third only a little.
    chain = ""
    for port, megabytes in reversed(list(zip(ports, (args.megabytes / 2, args.megabytes / 2, 0)))):
        chain = f"http://127.0.0.1:{port}/?mb={megabytes}" + (f"&next={quote(chain, safe='')}" if chain else "")
    profile = os.path.join(args.out, "profile")
    try:
        run_chromium([f"--user-data-dir={profile}", f"--load-extension={extension}",
                      f"--disable-extensions-except={extension}", chain], finished, 3600)
    finally:
        for server in servers:
            server.shutdown()
            server.server_close()
    if not isinstance(reports.get("/done"), list):
        raise RuntimeError(f"the pages failed: {reports}")
    print(json.dumps(reports["/done"], indent=1))
    if args.service_worker_copy:
        target = os.path.join(args.service_worker_copy, "Service Worker", "Database")
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(os.path.join(profile, "Default", "Service Worker", "Database"), target,
                        ignore=shutil.ignore_patterns("LOG", "LOG.old", "LOCK"))
        with open(os.path.join(args.service_worker_copy, "service_worker.json"), "w", encoding="utf-8") as f:
            json.dump(reports["/done"], f, indent=1)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
