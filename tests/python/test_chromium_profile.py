"""`vostrel chromium` over a whole profile: every store under a root, each
decoded by its kind (extension settings and plain LevelDB stores included),
in one output grouped per store; CSV and the type filter."""

from __future__ import annotations

import csv
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

from vostrel import chromium
from vostrel.chromium.cli import csv_fields

DATA = Path(__file__).resolve().parents[1] / "data" / "chromium"
EXTENSION = "abcdefghijklmnopabcdefghijklmnop"


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "vostrel", "chromium", *map(str, args)],
                          capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def profile(tmp_path_factory):
    """Chromium's own stores copied into a profile's places (an extension's
    chrome.storage area among them), another such area with a damaged value
    and a store of no known kind, both written by LevelDB."""
    root = tmp_path_factory.mktemp("profile") / "Default"
    for name in ("Local Storage", "Session Storage", "IndexedDB", "Local Extension Settings", "Service Worker"):
        shutil.copytree(DATA / name, root / name)
    settings = root / "Local Extension Settings" / EXTENSION
    settings.mkdir(parents=True)
    db = plyvel.DB(str(settings), create_if_missing=True)
    # chrome.storage.local.set: the key as UTF-8, the value as JSON text.
    db.put("thème".encode(), b'"dark"')
    db.put(b"prefs", b'{"$kind": 1, "list": [1, 2.5, null], "s": "\\u00e9"}')
    db.put(b"gone", b"true")
    db.delete(b"gone")
    db.put(b"torn", b'{"a": ')
    db.close()
    plain = root / "Shared Data" / "db"
    plain.mkdir(parents=True)
    db = plyvel.DB(str(plain), create_if_missing=True)
    db.put(b"k\x00\xff", b'{"a":[1]}')
    db.put(b"text", b"a\\b\n")
    # JSON text that Python reads back otherwise than it is written.
    db.put(b"j", b'{"a":1,"s":"\\u00e9\\ud800\\t,","a":[2.50,-0,1E400,1e-7,10000000000000000.0]}')
    db.close()
    return root


def lines_of(output: bytes):
    return [json.loads(line) for line in output.decode("utf-8").splitlines()]


def test_every_store_of_a_profile_by_its_kind(profile):
    result = run_cli("--find", profile, "--jobs", "3")
    assert result.returncode == 0, result.stderr
    assert run_cli("--find", profile, "--jobs", "1").stdout == result.stdout
    lines = lines_of(result.stdout)
    stores = list(dict.fromkeys(line["store"] for line in lines))
    assert stores == sorted(stores) and len(stores) == 7
    kinds = {Path(line["store"]).relative_to(profile).parts[0]: line["kind"] for line in lines}
    assert kinds == {"Local Storage": "localstorage", "Session Storage": "sessionstorage",
                     "IndexedDB": "indexeddb", "Local Extension Settings": "extension_settings",
                     "Shared Data": "leveldb", "Service Worker": "serviceworker"}
    # Each store's lines are its own decoding, led by its path.
    for store in stores:
        own = [dict(line) for line in lines if line["store"] == store]
        for line in own:
            del line["store"]
        assert own == _raw_entries(store)
    settings = {line["key"]: line for line in lines if line.get("extension_id") == EXTENSION}
    assert settings["thème"]["value"] == "dark"
    assert settings["thème"]["extension_id"] == EXTENSION and settings["thème"]["area"] == "local"
    assert settings["prefs"]["value"] == {"$object": {"$kind": 1, "list": [1, 2.5, None], "s": "é"}}
    assert [(line["state"], line["value"]) for line in lines
            if line.get("key") == "gone" and line.get("extension_id") == EXTENSION] == [
        ("live", True), ("deleted", None)]
    assert settings["torn"]["error"] == "value is not JSON text"
    assert settings["torn"]["raw_value"] == b'{"a": '.hex()
    plain = [(line["key"], line["value"]) for line in lines if line["kind"] == "leveldb"]
    assert plain[:2] == [("k\\x00\\xff", {"a": [1]}), ("text", "a\\\\b\\x0a")]


def test_chrome_storage_as_chromium_wrote_it():
    """The area a real extension wrote (scripts/make_extension_store.py): its
    newest live version of each setting is what chrome.storage gave back."""
    (store,) = (DATA / "Local Extension Settings").iterdir()
    expected = json.loads((DATA / "extension_expected.json").read_text(encoding="utf-8"))
    entries = list(chromium.iter_entries(str(store)))
    assert {entry["kind"] for entry in entries} == {"extension_settings"}
    assert all("error" not in entry and entry["extension_id"] == store.name for entry in entries)
    newest = {}
    for entry in sorted(entries, key=lambda entry: entry["seq"]):
        newest[entry["key"]] = entry
    assert {key: e["value"] for key, e in newest.items() if e["state"] == "live"} == expected
    assert newest["gone"]["state"] == "deleted" and newest["gone"]["value"] is None
    assert [e["value"] for e in entries if e["key"] == "theme"] == ["dark", "light"]


def _raw_entries(store):
    import _vostrel

    kind = "leveldb" if "Shared" in store else None
    return [json.loads(line) for line in _vostrel.iter_chromium_entries(store, kind=kind)]


def test_an_unreadable_store_warns_and_the_rest_go_on(profile, tmp_path):
    missing = tmp_path / "gone"
    result = run_cli(missing, profile / "Session Storage", "--find", profile / "Local Extension Settings")
    assert result.returncode == 1
    assert result.stderr.decode().count("warning") == 1 and str(missing) in result.stderr.decode()
    kinds = [line["kind"] for line in lines_of(result.stdout)]
    assert kinds == sorted(kinds, reverse=True) and set(kinds) == {"sessionstorage", "extension_settings"}


def test_csv_of_chosen_types_reads_into_pandas(profile, tmp_path):
    pandas = pytest.importorskip("pandas")
    out = tmp_path / "profile.csv"
    result = run_cli("--find", profile, "--format", "csv", "--type", "item,setting,record",
                     "--state", "live", "-o", out)
    assert result.returncode == 0, result.stderr
    frame = pandas.read_csv(out, keep_default_na=False)
    assert tuple(frame.columns) == csv_fields()
    assert set(frame["type"]) == {"item", "setting", "record"} and set(frame["state"]) == {"live"}
    full = [line for line in lines_of(run_cli("--find", profile, "--state", "live").stdout)
            if line["type"] in ("item", "setting", "record")]
    assert len(frame) == len(full)
    for row, line in zip(frame.to_dict("records"), full):
        assert (row["store"], row["kind"], row["seq"], row["offset"]) == (
            line["store"], line["kind"], line["seq"], line["offset"])
        assert json.loads(row["key"]) == line["key"] and json.loads(row["value"]) == line["value"]
        assert row["origin"] == (line.get("origin") or "")
    with open(out, newline="", encoding="utf-8") as text:
        assert next(csv.reader(text)) == list(csv_fields())


def test_type_filter_on_json_lines_and_unknown_types(profile):
    lines = lines_of(run_cli("--type", "meta,version", profile / "Local Storage" / "leveldb").stdout)
    assert lines and {line["type"] for line in lines} == {"meta", "version"}
    assert "store" not in lines[0]  # one store: its lines as ever
    result = run_cli("--type", "item,bogus", profile / "Session Storage")
    assert result.returncode == 2 and b"'bogus'" in result.stderr and b"setting" in result.stderr


def test_many_stores_to_a_replaced_stdout(profile, capsys):
    from vostrel.cli import main

    assert main(["chromium", "--find", str(profile / "Local Extension Settings")]) == 0
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert {line["kind"] for line in lines} == {"extension_settings"}
    assert len(lines) == sum(len(_raw_entries(str(store)))
                             for store in (profile / "Local Extension Settings").iterdir())


def _blob_objects(store, blob_dir=None):
    """The external objects of the live blob entries, by blob number."""
    objects = {}
    for entry in chromium.iter_entries(str(store), blob_dir=None if blob_dir is None else str(blob_dir)):
        if entry["type"] == "blob_entry" and entry["state"] == "live":
            objects.update((obj["blob_number"], obj) for obj in entry["value"])
    return objects


def test_blob_files_found_beside_a_renamed_copy_or_where_told(tmp_path):
    import hashlib

    (source,) = (DATA / "IndexedDB").glob("*.indexeddb.leveldb")
    (blobs,) = (DATA / "IndexedDB").glob("*.indexeddb.blob")
    shutil.copytree(source, tmp_path / "case" / "db")
    shutil.copytree(blobs, tmp_path / "case" / blobs.name)
    objects = _blob_objects(tmp_path / "case" / "db")
    assert objects and all(obj["found"] for obj in objects.values())
    for obj in objects.values():
        data = Path(obj["path"]).read_bytes()
        assert obj["file_size"] == len(data) and obj["sha256"] == hashlib.sha256(data).hexdigest()
    # A copy away from its blob folder: told where it is, else no file named.
    shutil.copytree(source, tmp_path / "alone" / "db")
    told = _blob_objects(tmp_path / "alone" / "db", blob_dir=tmp_path / "case" / blobs.name)
    assert {n: o["sha256"] for n, o in told.items()} == {n: o["sha256"] for n, o in objects.items()}
    assert not any("path" in obj or "found" in obj for obj in _blob_objects(tmp_path / "alone" / "db").values())
    # A file with holes is reported, never read.
    victim = Path(objects[max(objects)]["path"])
    size = victim.stat().st_size
    with open(victim, "r+b") as out:
        out.truncate(0)
        out.truncate(size + (1 << 20))
    with open(victim, "rb") as f:
        if os.lseek(f.fileno(), 0, os.SEEK_HOLE) >= size:
            pytest.skip("this file system keeps no holes")
    sparse = _blob_objects(tmp_path / "case" / "db")[max(objects)]
    assert sparse["found"] and sparse["sparse"] is True and sparse["sha256"] is None
    assert sparse["file_size"] == size + (1 << 20)


def test_extract_blobs_copies_each_found_blob_once_under_its_hash(tmp_path):
    import hashlib
    import warnings

    import _vostrel

    (source,) = (DATA / "IndexedDB").glob("*.indexeddb.leveldb")
    (blobs,) = (DATA / "IndexedDB").glob("*.indexeddb.blob")
    shutil.copytree(source, tmp_path / "case" / "db")
    shutil.copytree(blobs, tmp_path / "case" / blobs.name)
    files = sorted(p for p in (tmp_path / "case" / blobs.name).rglob("*") if p.is_file())
    wanted = {hashlib.sha256(p.read_bytes()).hexdigest(): p.read_bytes() for p in files}
    out = tmp_path / "out"
    for jobs in ("1", "2"):  # the second run finds every copy there and keeps it
        result = run_cli("--extract-blobs", out, "--jobs", jobs, "--find", tmp_path / "case")
        assert (result.returncode, result.stderr) == (0, b"")
        assert {p.name: p.read_bytes() for p in out.iterdir()} == wanted  # no partial file left either
    # A blob file with holes is not read, so not copied: warned, the rest copied.
    victim = files[-1]
    size = victim.stat().st_size
    with open(victim, "r+b") as f:
        f.truncate(0)
        f.truncate(size + (1 << 20))
    result = run_cli("--extract-blobs", tmp_path / "out2", tmp_path / "case" / "db")
    assert result.returncode == 1
    assert f"{victim}: not copied to {tmp_path / 'out2'}: a file with holes is not read".encode() in result.stderr
    assert len(list((tmp_path / "out2").iterdir())) == len(wanted) - 1
    # A folder that cannot take the copies: each blob named in a warning.
    with warnings.catch_warnings(record=True) as caught, open(os.devnull, "wb") as sink:
        warnings.simplefilter("always")
        _vostrel.chromium_export(str(tmp_path / "case" / "db"), sink, extract_blobs=str(tmp_path / "missing"))
    reasons = dict(str(w.message).split(": not copied to ") for w in caught)
    assert sorted(reasons) == [str(p) for p in files]
    assert all(reasons[str(p)].endswith("No such file or directory (os error 2)") for p in files[:-1])


def _reference_rows(profile, types, states):
    """What the command wrote before its CSV and type filter were native: each
    entry read by Python's json module, filtered, and written by its csv
    module; the JSON columns by json.dumps."""
    import io

    columns = csv_fields()
    text = io.StringIO()
    rows = csv.writer(text, lineterminator="\n")
    rows.writerow(columns)
    for store in sorted(str(p) for p in profile.rglob("CURRENT")):
        store = os.path.dirname(store)
        for line in _raw_entries(store):
            if line["type"] not in types or line["state"] not in states:
                continue
            rows.writerow([store if name == "store" else
                           "" if name not in line else
                           json.dumps(line[name], ensure_ascii=False) if name in ("key", "value") else
                           "" if line[name] is None else str(line[name]) for name in columns])
    return text.getvalue().encode("utf-8", "backslashreplace")


def test_csv_and_type_filter_as_python_wrote_them(profile):
    types = "item,setting,record,registration,undecoded,meta,blob_entry"
    result = run_cli("--find", profile, "--format", "csv", "--type", types, "--state", "live,deleted")
    assert result.returncode == 0, result.stderr
    assert result.stdout == _reference_rows(profile, types.split(","), ("live", "deleted"))
    assert result.stdout.count(b"\n") > 60 and b'"{""a"": [2.5, 0, Infinity, 1e-07, 1e+16], ' \
        b'""s"": ""\xc3\xa9\\ud800\\t,""}"' in result.stdout
    # The type filter on JSON Lines keeps the lines whole.
    full = run_cli("--find", profile).stdout.splitlines(keepends=True)
    kept = run_cli("--find", profile, "--type", "registration,resource").stdout.splitlines(keepends=True)
    assert kept == [line for line in full if json.loads(line)["type"] in ("registration", "resource")]
    assert len(kept) == 12  # each registration twice: installed, then activated


def test_service_worker_database_as_chromium_wrote_it(tmp_path):
    """The registrations the pages made (benchmarks/make_chromium_profile.py),
    told by place and, moved elsewhere, by their keys."""
    expected = json.loads((DATA / "service_worker.json").read_text(encoding="utf-8"))
    source = DATA / "Service Worker" / "Database"
    shutil.copytree(source, tmp_path / "elsewhere")
    for store in (source, tmp_path / "elsewhere"):
        entries = list(chromium.iter_entries(str(store)))
        assert {entry["kind"] for entry in entries} == {"serviceworker"}
        assert not any("error" in entry for entry in entries)
        registrations = {entry["origin"]: entry for entry in entries if entry["type"] == "registration"}
        for page in expected:
            registration = registrations[page["origin"]]
            value = registration["value"]
            assert (value["scope_url"], value["script_url"]) == (page["scope"], page["script"])
            assert value["registration_id"] == registration["registration_id"]
            assert value["is_active"] is True and value["script_type"] == "CLASSIC"
            assert value["last_update_check_time"].year >= 2024
            resource, = (e for e in entries if e["type"] == "resource" and e["version_id"] == value["version_id"])
            assert resource["value"]["url"] == page["script"]
            assert resource["value"]["size_bytes"] == value["resources_total_size_bytes"] > 0
            assert len(resource["value"]["sha256_checksum"]) == 64
        by_type = {}
        for entry in entries:
            by_type.setdefault(entry["type"], []).append(entry)
        assert by_type["database_version"][0]["value"] == 2
        assert {e["origin"] for e in by_type["registration_origin"]} >= {p["origin"] for p in expected}
        assert {e["origin"] for e in by_type["unique_origin"]} >= {p["origin"] for p in expected}


def _plain_value(tmp_path, value: bytes):
    store = tmp_path / str(len(list(tmp_path.iterdir())))
    db = plyvel.DB(str(store), create_if_missing=True)
    db.put(b"k", value)
    db.close()
    (entry,) = chromium.iter_entries(str(store), kind="leveldb")
    return entry["value"]


@pytest.mark.parametrize("value, expected", [
    (b'[1, {"b": null}]', [1, {"b": None}]),
    # field 1 varint 150, field 2 a nested message {3: "hi"}, field 4 fixed32, field 5 fixed64
    (b"\x08\x96\x01\x12\x04\x1a\x02hi\x25\x01\x00\x00\x00\x29" + (2).to_bytes(8, "little"),
     {"$protobuf": {"1": 150, "2": {"3": "hi"}, "4": {"$fixed32": 1}, "5": {"$fixed64": 2}}}),
    # a repeated field; a length-delimited field that is neither text nor a message
    (b"\x08\x01\x08\x02\x12\x02\xff\xfe", {"$protobuf": {"1": [1, 2], "2": b"\xff\xfe"}}),
    (b"\x00\x01", "\\x00\\x01"),                # field number 0
    (b"\x12\x05ab", "\\x12\\x05ab"),            # runs past the end
    (b"\x08\x96", "\\x08\\x96"),                # a varint cut short
    (b"\x0b\x0c", "\\x0b\\x0c"),                # a group
    (b"hi", "hi"),                              # printable text stays text ("h" would start a field)
    (b"\xff" * 3, "\\xff\\xff\\xff"),
])
def test_plain_values_as_json_protobuf_or_bytes(tmp_path, value, expected):
    assert _plain_value(tmp_path, value) == expected


@pytest.mark.parametrize("key, value, expected", [
    (b"REG_USER_DATA:7\x00push", b'{"a": 1}', {"type": "user_data", "registration_id": 7, "name": "push",
                                               "value": {"a": 1}}),
    (b"REG_HAS_USER_DATA:push\x007", b"", {"type": "has_user_data", "registration_id": 7, "name": "push"}),
    (b"PRES:12", b"", {"type": "purgeable_resource", "resource_id": 12, "value": ""}),
    # a resource record with a field Chromium does not define (9: 5), packed used_features
    (b"RES:3\x004", b"\x08\x04\x12\x01u\x48\x05", {"type": "resource", "version_id": 3, "resource_id": 4,
                                                   "value": {"resource_id": 4, "url": "u",
                                                             "unknown_fields": {"9": 5}}}),
    (b"REG:https://a.example/\x001", b"\x08\x01\x6a\x03\x0f\x81\x01",
     {"type": "registration", "origin": "https://a.example", "value": {"registration_id": 1,
                                                                     "used_features": [15, 129]}}),
    (b"REG:https://a.example/\x00x", b"\x08\x01", {"type": "undecoded", "error": "registration_id is not a number"}),
    (b"RES:1\x002", b"\x10\x01", {"type": "undecoded", "error": "field url has the wrong wire type"}),
    (b"INITDATA_NEXT_VERSION_ID", b"ten", {"type": "undecoded", "error": "value is not a number"}),
])
def test_service_worker_records_by_hand(tmp_path, key, value, expected):
    store = tmp_path / "Service Worker" / "Database"
    store.parent.mkdir()
    db = plyvel.DB(str(store), create_if_missing=True)
    db.put(key, value)
    db.close()
    (entry,) = chromium.iter_entries(str(store))
    assert entry["kind"] == "serviceworker"
    assert {name: entry.get(name) for name in expected} == expected
