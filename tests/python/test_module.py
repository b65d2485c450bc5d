"""The extension module itself: its contents and its one-time initialisation."""

import subprocess
import sys
import textwrap
import types

import _vostrel


CLASSES = ["KeyState", "FileType", "Record", "RawLevelDb"]
FUNCTIONS = ["data_file_type", "data_files", "stats_stores", "read_manifest", "inspect_file",
             "decompress_snappy", "escape", "unescape", "read_file", "data_file_columns",
             "partition_columns", "export_stores", "export_files", "chromium_export", "chromium_export_stores",
             "iter_chromium_entries",
             "detect_chromium_kind", "chromium_value_json", "chromium_entry_types", "chromium_csv_columns"]


def test_all_lists_exactly_the_four_classes_in_order():
    # The functions serve the vostrel package: module attributes, not star-exports.
    assert _vostrel.__all__ == CLASSES
    assert type(_vostrel.__all__) is list


def test_public_names_are_exactly_the_classes_and_functions():
    public = [name for name in vars(_vostrel) if not name.startswith("_")]
    assert sorted(public) == sorted(CLASSES + FUNCTIONS)
    for name in CLASSES:
        assert isinstance(getattr(_vostrel, name), type)
    for name in FUNCTIONS:
        assert isinstance(getattr(_vostrel, name), types.BuiltinFunctionType)
    # Nothing hides behind underscore names.
    dunder = {name for name in vars(_vostrel) if name.startswith("_")}
    assert dunder <= {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                      "__all__"}


def test_module_docstring_is_empty():
    assert not _vostrel.__doc__
    assert _vostrel.__name__ == "_vostrel"


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_second_initialisation_in_one_process_fails():
    result = run_python("""
        import importlib, sys
        import _vostrel
        first = _vostrel
        del sys.modules["_vostrel"]
        try:
            importlib.import_module("_vostrel")
        except ImportError as e:
            print("ImportError", type(e).__name__)
        else:
            print("imported twice")
        # The first module object is untouched and still usable.
        assert first.KeyState.Live == 1
        assert first.__all__[:4] == ["KeyState", "FileType", "Record", "RawLevelDb"]
        print("first ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0].startswith("ImportError"), result.stdout
    assert "first ok" in result.stdout


def test_import_in_a_fresh_interpreter_has_no_side_output():
    result = run_python("import _vostrel; print(sorted(_vostrel.__all__))")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == str(sorted(CLASSES)) + "\n"
