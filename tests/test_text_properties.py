"""The text layer against Python's own behaviour, on generated inputs.

Each helper is reached through a public operation that hands it tmux's
output (or the caller's text) with nothing else in between:

- lenient decoding: the error text of a refused `new_session`, kept whole;
- line splitting: `Server.sessions`, which keeps each listed name whole;
- trimming: `Server.current_socket`;
- the unsigned parse and field splitting: `Session.metadata()`;
- the quoted form: `repr` of a `Session`, which runs no tmux at all.

The outputs come from a scripted tmux written in sh: a run costs about a
millisecond, so a few hundred examples per property stay cheap.
"""
import os
import re
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import termloom

# Examples run against one fixture set-up (the scripted tmux answers every
# run the same way until told otherwise), and a run under the sanitizers is
# slower: no deadline. No example database is written into the checkout.
properties = settings(
    max_examples=200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

QUICK_TMUX = """#!/bin/sh
# Answers every run with the bytes in tmux.out and tmux.err and the code in tmux.code.
here=${0%/*}
cat "$here/tmux.out"
cat "$here/tmux.err" >&2
read code < "$here/tmux.code"
exit "$code"
"""


@pytest.fixture
def tmux_answers(fake_bin):
    """Sets what the scripted tmux prints and how it exits: answer(stdout, stderr, code)."""
    folder = fake_bin.path
    with open(os.path.join(folder, "tmux"), "w") as f:
        f.write(QUICK_TMUX)
    os.chmod(os.path.join(folder, "tmux"), 0o755)

    def answer(stdout=b"", stderr=b"", code=0):
        for name, data in (("out", stdout), ("err", stderr), ("code", b"%d\n" % code)):
            with open(os.path.join(folder, "tmux." + name), "wb") as f:
                f.write(data.encode() if isinstance(data, str) else data)

    answer()
    return answer


# Any character that can be written in UTF-8: no lone surrogates, which
# cannot reach the module from Python nor come out of the decoding.
any_char = st.characters(codec="utf-8")

# ---------------------------------------------------------------- decoding

@st.composite
def near_sequence(draw):
    """A lead byte and as many continuation bytes as it asks for, each near
    the edges of the ranges that UTF-8 allows there."""
    lead = draw(st.sampled_from([0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED,
                                 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFF]))
    wanted = 1 if lead < 0xE0 else 2 if lead < 0xF0 else 3
    continuation = st.one_of(st.sampled_from([0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0]),
                             st.integers(0x80, 0xBF))
    return bytes([lead, *draw(st.lists(continuation, min_size=wanted, max_size=wanted))])


def utf8_fragments():
    """Bytes near the edges of UTF-8: whole and cut-off encodings (surrogates
    included), near-sequences, stray bytes, and ASCII runs long enough for
    the word-at-a-time scan."""
    encoded = st.characters(exclude_categories=()).map(
        lambda ch: ch.encode("utf-8", "surrogatepass"))
    cut = encoded.flatmap(lambda b: st.integers(1, len(b)).map(lambda k: b[:k]))
    return st.one_of(
        encoded,
        cut,
        near_sequence(),
        near_sequence(),
        st.integers(0, 70).map(lambda n: b"a" * n),
        st.binary(min_size=1, max_size=8),
    )


any_bytes = st.one_of(
    st.binary(max_size=80),
    st.lists(utf8_fragments(), max_size=24).map(b"".join),
    st.lists(utf8_fragments(), max_size=24).map(b"".join),
)


@settings(properties, max_examples=300)
@given(stderr=any_bytes)
def test_decoding_replaces_like_python(tmux_answers, stderr):
    tmux_answers(stderr=stderr, code=1)
    with pytest.raises(RuntimeError) as error:
        termloom.Server().new_session("x")
    assert str(error.value) == "new session failed: " + stderr.decode("utf-8", "replace")


# ---------------------------------------------------------------- trimming

# Unicode's White_Space property. Python's str.strip() differs: it also
# removes U+001C to U+001F.
WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680,
                                *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F,
                                0x3000]))
# Characters next to white space in code or in meaning that are not white space.
NOT_WHITE_SPACE = ("\x00\x08\x0e\x1c\x1d\x1e\x1f\x21\x84\x86\x9f\xa1\u167f\u1681\u180e"
                   "\u1fff\u200b\u200c\u200d\u2027\u202a\u202e\u2030\u205e\u2060\u2fff"
                   "\u3001\ufeff\U00010085")


def reference_trim(text):
    return text.strip(WHITE_SPACE)


def text_around_white_space(exclude=""):
    chars = st.one_of(st.sampled_from(WHITE_SPACE), st.sampled_from(NOT_WHITE_SPACE),
                      any_char)
    return st.text(chars.filter(lambda ch: ch not in exclude), max_size=12)


@settings(properties, max_examples=150)
@given(lines=st.lists(text_around_white_space(exclude="\n"), max_size=8),
       final_newline=st.booleans())
def test_session_names_are_kept_whole(tmux_answers, lines, final_newline):
    """Only the line ending goes: a line feed, and a carriage return before it."""
    tmux_answers(stdout="\n".join(lines) + ("\n" if final_newline else ""))
    names = [s.name for s in termloom.Server().sessions]
    ended = [i < len(lines) - 1 or final_newline for i in range(len(lines))]
    expected = [line[:-1] if end and line.endswith("\r") else line for line, end in zip(lines, ended)]
    assert names == [name for name in expected if name]


@settings(properties, max_examples=60)
@given(output=text_around_white_space())
def test_current_socket_is_trimmed_by_white_space(tmux_answers, output):
    tmux_answers(stdout=output)
    assert termloom.Server().current_socket == (reference_trim(output) or None)


# ---------------------------------------------------------------- unsigned parse

EMPTY = "cannot parse integer from empty string"
INVALID = "invalid digit found in string"
TOO_LARGE = "number too large to fit in target type"
U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1


def reference_parse(text, limit):
    """The parsed value, or the failure message: read from the left, the first
    failing position decides."""
    if not text:
        return EMPTY
    body = text[1:] if text[0] == "+" else text
    digits = 0
    while digits < len(body) and body[digits] in "0123456789":  # ASCII only
        digits += 1
    if any(int(body[:end]) > limit for end in range(1, digits + 1)):
        return TOO_LARGE  # the overflow comes before any bad character
    if digits == 0 or digits < len(body):
        return INVALID
    return int(body)


ODD_CHARS = st.one_of(st.sampled_from("+- x.,_\t\u00a0\u0660\u0663\uff11\u00b2e"),
                      any_char.filter(lambda ch: ch not in "|\n"))
NEAR_LIMITS = [0, 9, U32_MAX, U32_MAX + 1, U64_MAX, U64_MAX + 1, 10**20]


@st.composite
def number_texts(draw):
    """Texts for the parse: mostly numbers, near the two limits too, some
    with a stray character put in, some not numbers at all."""
    kind = draw(st.sampled_from(["number"] * 6 + ["sign", "mutated", "mutated", "odd"]))
    if kind == "odd":
        return draw(st.one_of(st.sampled_from(["", "+", "-", " "]), st.text(ODD_CHARS, max_size=6)))
    digits = draw(st.one_of(
        st.sampled_from(NEAR_LIMITS).flatmap(lambda n: st.integers(max(0, n - 2), n + 2)).map(str),
        st.integers(0, 2**70).map(str),
        st.text("0123456789", min_size=1, max_size=24),
    ))
    zeros = draw(st.sampled_from(["", "", "0", "0000000000000000000000"]))
    sign = draw(st.sampled_from(["-", "++", "+-", " "] if kind == "sign" else ["", "+"]))
    text = sign + zeros + digits
    if kind == "mutated":  # one character put in, or put in place of another
        at = draw(st.one_of(st.just(len(text)), st.integers(0, len(text))))
        text = text[:at] + draw(ODD_CHARS) + text[at + draw(st.integers(0, 1)):]
    return text


def optional_size(text):
    value = reference_parse(reference_trim(text), U32_MAX)
    return None if isinstance(value, str) else value


def quoted(Session, text):
    """The quoted form of a text, as a Session's repr writes it."""
    shown = repr(Session(text))
    assert shown.startswith("Session(name=") and shown.endswith(", socket=None)")
    return shown[len("Session(name="):-len(", socket=None)")]


@properties
@given(created=number_texts(), attached=st.sampled_from(["0", "1", "", "00", "2"]),
       width=number_texts(), height=number_texts(), windows=number_texts())
def test_metadata_fields_parse_like_the_reference(tmux_answers, Session, created, attached,
                                                  width, height, windows):
    # The line is trimmed as a whole and then cut at "|": the windows field
    # loses its trailing white space, created reaches the parse untouched,
    # width and height are trimmed on their own and read as unknown on failure.
    line = "|".join(["$7", "work", created, attached, width, height, windows])
    tmux_answers(stdout=("$1|other|x|0|||x\n" + line + "\n").encode())
    windows_seen = windows.rstrip(WHITE_SPACE)
    created_value = reference_parse(created, U64_MAX)
    windows_value = reference_parse(windows_seen, U32_MAX)
    if isinstance(created_value, str):
        expected = f"bad session_created {quoted(Session, created)}: {created_value}"
    elif isinstance(windows_value, str):
        expected = f"bad session_windows {quoted(Session, windows_seen)}: {windows_value}"
    else:
        expected = ("$7", "work", created_value, attached != "0", optional_size(width),
                    optional_size(height), windows_value)

    try:
        meta = Session("work").metadata()
    except RuntimeError as error:
        outcome = str(error)
    else:
        outcome = (meta.id, meta.name, meta.created, meta.attached, meta.width, meta.height,
                   meta.windows)
    assert outcome == expected


# ---------------------------------------------------------------- quoted form

SHORT_ESCAPES = {"\\": "\\", '"': '"', "t": "\t", "r": "\r", "n": "\n", "0": "\0"}
TOKEN = re.compile(r'\\u\{[0-9a-f]+\}|\\.|[^\\"]', re.DOTALL)


def read_back(form):
    """The characters of a quoted form, and how each was written: "plain",
    "short" (a backslash and a letter) or "hex" (a backslash and u{...})."""
    assert form[0] == '"' and form[-1] == '"', form
    tokens = TOKEN.findall(form, 1, len(form) - 1)
    assert "".join(tokens) == form[1:-1], f"unreadable quoted form {form!r}"
    hows = ["plain" if len(t) == 1 else "hex" if len(t) > 2 else "short" for t in tokens]
    assert not any(t.startswith("\\u{0") for t in tokens), "leading zeros in a \\u{...}"
    assert {t[1] for t in tokens if len(t) == 2} <= SHORT_ESCAPES.keys(), form
    chars = [t if how == "plain" else chr(int(t[3:-1], 16)) if how == "hex" else SHORT_ESCAPES[t[1]]
             for t, how in zip(tokens, hows)]
    return chars, hows


MODULE_UNICODE = (15, 0, 0)  # the version of the module's generated tables
PYTHON_UNICODE = tuple(map(int, unicodedata.unidata_version.split(".")))

ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs",
                      "Mn", "Me"}  # Mn and Me: Grapheme_Extend
# Some characters of these categories have Grapheme_Extend too (through
# Other_Grapheme_Extend, which unicodedata does not report): either way is fine.
UNTOLD_CATEGORIES = {"Mc", "Lm", "Sk"}
if PYTHON_UNICODE != MODULE_UNICODE:
    # Combining marks move between Mn and Mc from one version to the next
    # (U+1734 went from Mn to Mc in Unicode 14.0).
    UNTOLD_CATEGORIES.add("Mn")


def category_in_module_tables(ch):
    """The general category of `ch` in the module's Unicode version as far as
    this Python can tell it, or None when it cannot."""
    now = unicodedata.category(ch)
    if PYTHON_UNICODE == MODULE_UNICODE:
        return now
    if now == "Cn":
        # Assignments are never taken back: unassigned in a later version
        # means unassigned in ours; noncharacters are never assigned.
        noncharacter = 0xFDD0 <= ord(ch) <= 0xFDEF or ord(ch) & 0xFFFE == 0xFFFE
        return now if PYTHON_UNICODE > MODULE_UNICODE or noncharacter else None
    # Otherwise a category that Unicode 3.2 already gave the character is
    # taken to hold in ours too.
    return now if unicodedata.ucd_3_2_0.category(ch) == now else None


def expected_writing(ch):
    """"short", "hex", "plain", or None when Python cannot tell."""
    if ch in "\\\"\t\r\n\0":
        return "short"
    if ch == " ":
        return "plain"
    category = category_in_module_tables(ch)
    if category is None or category in UNTOLD_CATEGORIES:
        return None
    return "hex" if category in ESCAPED_CATEGORIES else "plain"


def check_quoted_form(form, text):
    chars, hows = read_back(form)
    assert "".join(chars) == text  # nothing lost, added or reordered
    wrong = [(ch, how) for ch, how in zip(chars, hows) if expected_writing(ch) not in (None, how)]
    assert not wrong, [(f"U+{ord(ch):04X}", unicodedata.category(ch), how)
                       for ch, how in wrong[:20]]


@settings(properties, max_examples=300)
@given(name=st.text(any_char), socket=st.text(any_char, max_size=8))
def test_quoted_form_reads_back(Session, name, socket):
    shown = repr(Session(name, socket))
    m = re.fullmatch(r'Session\(name=(".*"), socket=Some\((".*")\)\)', shown, re.DOTALL)
    assert m, shown
    check_quoted_form(m.group(1), name)
    check_quoted_form(m.group(2), socket)


def test_quoted_form_of_every_character(Session):
    # Every code point but the surrogates, in one text.
    text = "".join(map(chr, [*range(0xD800), *range(0xE000, 0x110000)]))
    form = quoted(Session, text)
    check_quoted_form(form, text)
