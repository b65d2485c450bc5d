"""RawLevelDb: construction, argument checking, closed state, context manager,
the class's shape, and the guard against closing during use."""

import gc
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

from _vostrel import RawLevelDb
from conftest import as_tuple


@pytest.fixture
def db_path(small_db):
    return str(small_db.path)


@pytest.fixture
def db(db_path):
    instance = RawLevelDb(db_path)
    yield instance
    instance.close()


# --------------------------------------------------------------------------
# Construction


def test_constructor_by_position_and_by_keyword(db_path):
    by_position = RawLevelDb(db_path)
    by_keyword = RawLevelDb(in_dir=db_path)
    assert type(by_position) is RawLevelDb and type(by_keyword) is RawLevelDb
    assert [as_tuple(r) for r in by_position.iterate_records_raw()] == [
        as_tuple(r) for r in by_keyword.iterate_records_raw()]
    assert len(by_position.iterate_records_raw()) > 0


def test_str_subclass_is_accepted(db_path):
    class Text(str):
        pass

    db = RawLevelDb(Text(db_path))
    assert db.in_dir_path == db_path
    assert type(db.in_dir_path) is str
    assert len(db.iterate_records_raw()) > 0


@pytest.mark.parametrize("make, type_name", [
    (pathlib.Path, "PosixPath"),
    (lambda p: p.encode(), "bytes"),
    (lambda p: bytearray(p.encode()), "bytearray"),
    (lambda p: None, "NoneType"),
    (lambda p: 3, "int"),
    (lambda p: [p], "list"),
], ids=["Path", "bytes", "bytearray", "None", "int", "list"])
def test_in_dir_must_be_str(db_path, make, type_name):
    argument = make(db_path)
    for call in (lambda: RawLevelDb(argument), lambda: RawLevelDb(in_dir=argument)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == (
            f"argument 'in_dir': '{type_name}' object cannot be converted to 'PyString'")
    # The same path as a str works.
    RawLevelDb(db_path).close()


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        RawLevelDb("/tmp/\udcff-not-encodable")
    assert info.value.encoding == "utf-8"


def test_missing_path_is_not_a_directory(tmp_path):
    missing = str(tmp_path / "does" / "not" / "exist")
    with pytest.raises(ValueError) as info:
        RawLevelDb(missing)
    assert info.value.args == (f"Not a directory: {missing}",)


def test_regular_file_is_not_a_directory(tmp_path):
    path = tmp_path / "000001.log"
    path.write_bytes(b"")
    with pytest.raises(ValueError) as info:
        RawLevelDb(str(path))
    assert info.value.args == (f"Not a directory: {path}",)


def test_path_with_nul_never_opens_the_directory_before_it(tmp_path):
    # The system would see only the text before the NUL, an existing directory.
    path = str(tmp_path) + "\0/elsewhere"
    with pytest.raises(ValueError) as info:
        RawLevelDb(path)
    assert info.value.args == (f"Not a directory: {path}",)


def test_empty_string_is_not_a_directory():
    with pytest.raises(ValueError) as info:
        RawLevelDb("")
    assert info.value.args == ("Not a directory: ",)


def test_unlistable_directory_is_an_io_error():
    """Root lists any directory, so as root the open runs in a child that has
    given up root (as user nobody) and the directory lies where it can reach."""
    import tempfile

    from conftest import run_as_nobody

    root = tempfile.mkdtemp(prefix="vostrel-locked-", dir="/tmp")
    os.chmod(root, 0o755)
    locked = os.path.join(root, "locked")
    os.mkdir(locked, 0)

    def check():
        try:
            RawLevelDb(locked)
        except ValueError as error:
            print(error.args[0])

    try:
        result = run_as_nobody(check)
        assert result.returncode == 0, result.stderr
        message = result.stdout.strip()
        assert message.startswith("IO error: ")
        assert message.endswith(" (os error 13)")
    finally:
        os.chmod(locked, 0o700)
        os.rmdir(locked)
        os.rmdir(root)


def test_listing_failure_is_an_io_error(tmp_path):
    """With every descriptor in use the directory still passes the directory
    check, but its listing cannot be started."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import os, resource
        from _vostrel import RawLevelDb
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        held = []
        try:
            while True:
                held.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        try:
            RawLevelDb({str(tmp_path)!r})
        except ValueError as e:
            print(repr(e.args))
    """)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("('IO error: "), result.stdout
    assert result.stdout.endswith(" (os error 24)',)\n"), result.stdout


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("a", "b"), {}),
    (("a",), {"in_dir": "a"}),
    ((), {"path": "a"}),
    ((), {"in_dir": "a", "reverse": False}),
])
def test_constructor_argument_binding(args, kwargs):
    with pytest.raises(TypeError) as info:
        RawLevelDb(*args, **kwargs)
    assert "RawLevelDb.__new__()" in str(info.value)


# --------------------------------------------------------------------------
# iterate_records_raw arguments


def test_iterate_rejects_positional_arguments(db):
    for args in [(True,), (False,), (True, False)]:
        with pytest.raises(TypeError):
            db.iterate_records_raw(*args)


def test_iterate_rejects_unknown_keywords(db):
    with pytest.raises(TypeError):
        db.iterate_records_raw(backwards=True)
    with pytest.raises(TypeError):
        db.iterate_records_raw(reverse=True, extra=1)


@pytest.mark.parametrize("value, type_name", [
    (1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float"), ([], "list"),
])
def test_reverse_must_be_bool(db, value, type_name):
    with pytest.raises(TypeError) as info:
        db.iterate_records_raw(reverse=value)
    assert str(info.value) == f"argument 'reverse': '{type_name}' object cannot be converted to 'PyBool'"


def test_reverse_true_and_false(db):
    forward = [as_tuple(r) for r in db.iterate_records_raw()]
    assert [as_tuple(r) for r in db.iterate_records_raw(reverse=False)] == forward
    backward = [as_tuple(r) for r in db.iterate_records_raw(reverse=True)]
    assert sorted(backward) == sorted(forward)
    assert backward != forward  # one table and one log file


def test_numpy_bool_is_accepted(db):
    numpy = pytest.importorskip("numpy")
    forward = [as_tuple(r) for r in db.iterate_records_raw()]
    backward = [as_tuple(r) for r in db.iterate_records_raw(reverse=True)]
    assert [as_tuple(r) for r in db.iterate_records_raw(reverse=numpy.bool_(True))] == backward
    assert [as_tuple(r) for r in db.iterate_records_raw(reverse=numpy.bool_(False))] == forward


def test_reverse_is_checked_before_the_closed_state(db):
    db.close()
    with pytest.raises(TypeError):
        db.iterate_records_raw(reverse=1)
    with pytest.raises(RuntimeError):
        db.iterate_records_raw(reverse=True)


# --------------------------------------------------------------------------
# in_dir_path


@pytest.mark.parametrize("suffix", ["", "/", "//", "/./"])
def test_in_dir_path_is_exactly_the_argument(db_path, suffix):
    in_dir = db_path + suffix
    db = RawLevelDb(in_dir)
    assert db.in_dir_path == in_dir
    db.close()


def test_in_dir_path_keeps_relative_and_non_ascii_paths(small_db, tmp_path, monkeypatch):
    shutil.copytree(small_db.path, tmp_path / "бд ü")
    monkeypatch.chdir(tmp_path)
    for in_dir in ["бд ü", "./бд ü", "бд ü/", "../" + tmp_path.name + "/бд ü"]:
        with RawLevelDb(in_dir) as db:
            assert db.in_dir_path == in_dir


def test_in_dir_path_is_read_only(db, db_path):
    with pytest.raises(AttributeError):
        db.in_dir_path = "/elsewhere"
    with pytest.raises(AttributeError):
        del db.in_dir_path
    assert db.in_dir_path == db_path


# --------------------------------------------------------------------------
# Closed state and the context manager


def test_closed_state(db):
    assert db.close() is None
    for use in (lambda: db.iterate_records_raw(), lambda: db.iterate_records_raw(reverse=False),
                lambda: db.in_dir_path):
        with pytest.raises(RuntimeError) as info:
            use()
        assert info.value.args == ("Database is closed",)
    assert db.close() is None
    assert db.close() is None
    assert db.__enter__() is db
    assert db.__exit__(None, None, None) is False
    with pytest.raises(RuntimeError):
        db.in_dir_path


def test_open_state_enter_and_exit(db_path):
    db = RawLevelDb(db_path)
    assert db.__enter__() is db
    assert db.in_dir_path == db_path
    assert db.__exit__(None, None, None) is False
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        db.iterate_records_raw()


def test_with_binds_the_same_object_and_closes(db_path):
    db = RawLevelDb(db_path)
    with db as bound:
        assert bound is db
        assert len(bound.iterate_records_raw()) > 0
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        db.iterate_records_raw()


def test_exception_in_with_propagates_after_closing(db_path):
    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with RawLevelDb(db_path) as db:
            raise Boom()
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        db.in_dir_path


def test_with_on_a_closed_instance(db):
    db.close()
    with db as bound:
        assert bound is db
        with pytest.raises(RuntimeError):
            bound.iterate_records_raw()


def test_exit_argument_binding(db):
    with pytest.raises(TypeError):
        db.__exit__()
    with pytest.raises(TypeError):
        db.__exit__(None, None)
    with pytest.raises(TypeError):
        db.__exit__(None, None, None, None)
    with pytest.raises(TypeError):
        db.__exit__(None, None, None, exc_type=None)
    # Failed binding closes nothing.
    assert len(db.iterate_records_raw()) > 0
    assert db.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is False
    with pytest.raises(RuntimeError):
        db.in_dir_path


def test_exit_accepts_any_values(db):
    error = KeyError("x")
    assert db.__exit__(KeyError, error, error.__traceback__) is False
    assert db.__exit__(1, "two", [3]) is False


def test_methods_without_arguments_reject_arguments(db):
    with pytest.raises(TypeError):
        db.close(None)
    with pytest.raises(TypeError):
        db.close(force=True)
    with pytest.raises(TypeError):
        db.__enter__(None)
    assert len(db.iterate_records_raw()) > 0


def test_destroying_an_open_instance(db_path):
    db = RawLevelDb(db_path)
    records = db.iterate_records_raw()
    del db
    gc.collect()
    assert len(records) > 0 and all(r.key is not None for r in records)


# --------------------------------------------------------------------------
# The class's shape


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (RawLevelDb,), {})
    with pytest.raises(TypeError):
        class Sub(RawLevelDb):  # noqa: F841
            pass


def test_no_dict_no_new_attributes_no_weakref(db):
    assert not hasattr(db, "__dict__")
    with pytest.raises(AttributeError):
        db.extra = 1
    with pytest.raises(AttributeError):
        db.close = None
    with pytest.raises(TypeError):
        weakref.ref(db)
    assert RawLevelDb.__bases__ == (object,)


def test_uses_the_special_methods_of_object(db):
    for name in ("__repr__", "__str__", "__eq__", "__ne__", "__lt__", "__hash__", "__len__",
                 "__iter__", "__bool__", "__call__", "__del__", "__getattr__"):
        assert name not in vars(RawLevelDb), name
    assert db == db and db != RawLevelDb(str(db.in_dir_path))
    assert hash(db) == object.__hash__(db)


def test_signatures(db):
    assert RawLevelDb.__text_signature__ == "(in_dir)"
    assert str(inspect.signature(RawLevelDb)) == "(in_dir)"
    assert not RawLevelDb.__doc__
    expected = {
        "iterate_records_raw": "(*, reverse=False)",
        "carve_records": "(*, reverse=False)",
        "iter_records": "(*, reverse=False)",
        "export": "(file, *, format='jsonl', encoding='escaped', states=None, reverse=False, "
                  "progress=None, threads=None, store=None, header=True, carve=False, status=False, "
                  "latest=False, positions=False)",
        "file_stats": "()",
        "close": "()",
        "__enter__": "()",
        "__exit__": "(_exc_type, _exc_val, _exc_tb)",
    }
    for name, signature in expected.items():
        assert str(inspect.signature(getattr(db, name))) == signature, name
        method = vars(RawLevelDb)[name]
        assert method.__text_signature__ == "($self" + (", " + signature[1:] if signature != "()"
                                                        else ")"), name
        assert not method.__doc__, name
    assert not vars(RawLevelDb)["in_dir_path"].__doc__


def test_public_members():
    public = sorted(name for name in vars(RawLevelDb) if not name.startswith("_"))
    assert public == ["carvable_files", "carve_records", "close", "current_ordinals", "export", "file_stats",
                      "in_dir_path", "iter_records", "iterate_records_raw", "latest", "positions", "skipped_files",
                      "statuses"]
    assert "__enter__" in vars(RawLevelDb) and "__exit__" in vars(RawLevelDb)


# --------------------------------------------------------------------------
# The access guard


def test_close_during_iteration_is_refused(db_path):
    """iterate_records_raw holds shared access while it builds the result list.
    Python code can only run inside that window through the garbage collector:
    allocating the result list counts towards a collection when it does not
    come from the interpreter's free list of lists, so the free list is drained
    first and the threshold set to one allocation. A collection callback then
    tries to close the instance from within the call: it must fail with
    "Already borrowed" and the iteration must complete. A collection that runs
    before the guard is taken may close the instance; the call then reports the
    closed state, which is also consistent."""
    import gc as collector

    outcomes = []
    state = {"db": None, "active": False}

    def callback(phase, info):
        if phase == "start" and state["active"]:
            state["active"] = False
            try:
                state["db"].close()
            except RuntimeError as e:
                outcomes.append(("refused", e.args))
            else:
                outcomes.append(("closed", None))

    expected = len(RawLevelDb(db_path).iterate_records_raw())
    old_threshold = collector.get_threshold()
    was_enabled = collector.isenabled()
    collector.callbacks.append(callback)
    refused = 0
    try:
        collector.enable()
        for _ in range(20):
            state["db"] = RawLevelDb(db_path)
            outcomes.clear()
            drain_list_free_list = [[] for _ in range(200)]
            collector.set_threshold(1)
            state["active"] = True
            try:
                result = state["db"].iterate_records_raw()
            except RuntimeError as e:
                result = e
            finally:
                state["active"] = False
                collector.set_threshold(*old_threshold)
                del drain_list_free_list
            if not outcomes:
                continue
            (kind, args), = outcomes
            if kind == "refused":
                assert args == ("Already borrowed",)
                assert isinstance(result, list) and len(result) == expected
                refused += 1
                # The instance is still open and usable.
                assert state["db"].in_dir_path == db_path
            else:
                # Closed before the guard was taken: the call saw a closed instance.
                assert isinstance(result, RuntimeError), "closed while records were being built"
                assert result.args == ("Database is closed",)
            state["db"].close()
    finally:
        collector.callbacks.remove(callback)
        collector.set_threshold(*old_threshold)
        if not was_enabled:
            collector.disable()
    if refused == 0:
        pytest.skip("the collector never ran inside the guarded part of the call")
