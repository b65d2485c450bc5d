"""vostrel.encodings: the escaped text form of bytes and its inverse."""

import random
import sys
import unicodedata

import pytest

from vostrel.encodings import escape, unescape


def reference_escape(data: bytes) -> str:
    """The escaped form as its description gives it, built on Python's own
    UTF-8 decoder and str.isprintable()."""
    out = []
    for ch in data.decode("utf-8", "surrogateescape"):
        if ch == "\\":
            out.append("\\\\")
        elif "\udc80" <= ch <= "\udcff":  # a byte that was not UTF-8
            out.append(f"\\x{ord(ch) - 0xdc00:02x}")
        elif ch.isprintable():
            out.append(ch)
        else:
            out.extend(f"\\x{b:02x}" for b in ch.encode("utf-8"))
    return "".join(out)


def test_every_byte_and_every_pair_of_bytes_round_trip():
    for first in range(256):
        single = bytes([first])
        assert escape(single) == reference_escape(single)
        assert unescape(escape(single)) == single
        for second in range(256):
            pair = bytes([first, second])
            text = escape(pair)
            assert text == reference_escape(pair), pair
            assert unescape(text) == pair, pair


def test_random_byte_strings_round_trip():
    rng = random.Random(5)
    pieces = [b"\\", b"\\x41", b"x", b"\xc3\xa9", b"\xe2\x80\x8b", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80", b"\n"]
    for _ in range(2000):
        data = b"".join(rng.choice(pieces) if rng.random() < 0.3 else bytes([rng.randrange(256)])
                        for _ in range(rng.randrange(40)))
        assert escape(data) == reference_escape(data), data
        assert unescape(escape(data)) == data, data


def test_every_character_is_itself_when_printable_else_its_utf8_bytes():
    # Every code point but the surrogates (which have no UTF-8 form), so every
    # general category: letters, marks, numbers, punctuation, symbols and the
    # space are printable; controls, formats, separators other than the
    # space, private use and unassigned code points are not.
    assert sys.version_info[:2] == (3, 11)  # the release the core's table was made from
    seen = set()
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp < 0xE000:
            continue
        ch = chr(cp)
        data = ch.encode("utf-8")
        expected = ch if ch.isprintable() and ch != "\\" else reference_escape(data)
        text = escape(data)
        if text != expected or unescape(text) != data:
            pytest.fail(f"U+{cp:04X}: {text!r} != {expected!r}")
        seen.add((unicodedata.category(ch), ch.isprintable()))
    assert len({category for category, _ in seen}) == 29  # all but Cs


@pytest.mark.parametrize("text, where", [
    ("\\", "a backslash not starting \\\\ or \\xNN at position 0"),
    ("ab\\", "position 2"),
    ("\\\\\\", "position 2"),
    ("\\x", "position 0"),
    ("\\x4", "position 0"),
    ("é\\x4g", "position 1"),
    ("\\xAB", "position 0"),
    ("\\X41", "position 0"),
    ("\\q", "position 0"),
    ("\\u00e9", "position 0"),
    ("ok\\x41", "an escape of bytes written otherwise at position 2"),
    ("\\x5c", "an escape of bytes written otherwise"),
    ("\\xc3\\xa9", "an escape of bytes written otherwise"),
    ("a\x00", "a character written as \\xNN at position 1"),
    ("\t", "a character written as \\xNN"),
    ("\u00a0", "a character written as \\xNN"),
    ("€\u200b", "a character written as \\xNN at position 1"),
])
def test_text_that_no_escaping_produces_is_refused(text, where):
    with pytest.raises(ValueError) as error:
        unescape(text)
    assert where in str(error.value)


def test_lone_surrogate_and_non_text_are_refused():
    with pytest.raises(ValueError):  # UnicodeEncodeError: no bytes have it
        unescape("\ud800")
    with pytest.raises(TypeError):
        unescape(b"abc")
    with pytest.raises(TypeError):
        escape("abc")
    assert escape(bytearray(b"a\\")) == escape(memoryview(b"a\\")) == "a\\\\"
