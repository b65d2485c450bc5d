#!/usr/bin/python3
"""Has Chromium itself write an extension's chrome.storage.local store.

Needs Debian's `chromium`; the tests read what this leaves in
tests/data/chromium/Local Extension Settings/<extension id>/ and
extension_expected.json (what chrome.storage.local.get(null) gave back once
the writes were done).

    /usr/bin/python3 scripts/make_extension_store.py [--out DIR] [--port N]

A small unpacked extension (manifest version 3) is loaded into a headless
Chromium; its service worker sets, removes and overwrites settings, then
posts the whole area back to a server on 127.0.0.1. Chromium is closed
through the DevTools pipe (Browser.close) so that the store is left as a
user's browser leaves it.
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_chromium_stores import run_chromium  # noqa: E402 (the shared launcher)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_OUT = os.path.join(ROOT, "tests", "data", "chromium")

MANIFEST = {
    "manifest_version": 3, "name": "vostrel settings", "version": "1.0",
    "permissions": ["storage"], "host_permissions": ["http://127.0.0.1/*"],
    "background": {"service_worker": "worker.js"},
}

WORKER_JS = r"""
(async () => {
  const area = chrome.storage.local;
  await area.set({theme: 'dark', 'clé': {n: 1, list: [1, 2.5, null], s: 'é\n', '$x': true}, gone: 1});
  await area.remove('gone');
  await area.set({count: 2, theme: 'light', empty: '', nested: [[{}], {a: {b: 'ü'}}]});
  await fetch('http://127.0.0.1:PORT/', {method: 'POST', body: JSON.stringify(await area.get(null))});
})();
"""


def run(extension: str, profile: str, port: int, timeout: float = 120) -> dict:
    finished = threading.Event()
    result = {}

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (http.server's naming)
            length = int(self.headers.get("Content-Length", "0"))
            result.update(json.loads(self.rfile.read(length)))
            self.send_response(204)
            self.end_headers()
            finished.set()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        run_chromium([f"--user-data-dir={profile}", f"--load-extension={extension}",
                      f"--disable-extensions-except={extension}", "about:blank"], finished, timeout)
    finally:
        server.shutdown()
        server.server_close()
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=DEFAULT_OUT, help="where to put the store")
    parser.add_argument("--port", type=int, default=8799, help="port of the reporting server")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        extension = os.path.join(work, "extension")
        os.makedirs(extension)
        with open(os.path.join(extension, "manifest.json"), "w", encoding="utf-8") as f:
            json.dump(MANIFEST, f)
        with open(os.path.join(extension, "worker.js"), "w", encoding="utf-8") as f:
            f.write(WORKER_JS.replace("PORT", str(args.port)))
        profile = os.path.join(work, "profile")
        stored = run(extension, profile, args.port)
        settings = os.path.join(profile, "Default", "Local Extension Settings")
        (extension_id,) = os.listdir(settings)
        target = os.path.join(args.out, "Local Extension Settings")
        shutil.rmtree(target, ignore_errors=True)
        # LOG is LevelDB's text diary (timestamps), LOCK is empty.
        shutil.copytree(os.path.join(settings, extension_id), os.path.join(target, extension_id),
                        ignore=shutil.ignore_patterns("LOG", "LOG.old", "LOCK"))
    with open(os.path.join(args.out, "extension_expected.json"), "w", encoding="utf-8") as f:
        json.dump(stored, f, ensure_ascii=False, indent=1, sort_keys=True)
        f.write("\n")
    print(f"wrote the settings of extension {extension_id} under {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
