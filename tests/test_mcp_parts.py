"""The parts of termloom-mcp that need no MCP connection (nor the SDK): the
pattern that skips an echo, cutting output to a limit, key names, ids,
marks, options."""
import random
import re
import sys

import pytest

from termloom_mcp import echo, keys, marks, objects, settings
from termloom_mcp.limits import keep_end

TYPED = ["printf hi; (exit 3)\n"]


def matches(pattern, text):
    """As termloom's wait matches: a str is looked for, a pattern searched."""
    return pattern in text if isinstance(pattern, str) else bool(pattern.search(text))


@pytest.mark.parametrize("written, pattern, found", [
    (" printf hi; (exit 3)\nhi\n$ ", "hi", True),
    (" printf h", "h", False),  # the echo is still arriving
    (" printf hi; (e", "hi", False),
    (" printf hi; (exit 3)", "exit", False),  # only the echo holds it
    (" prin\ntf hi; (exi\nt 3)\nhi", "hi", True),  # the echo wrapped
    ("\x1b[?2004lprintf\x1b[K hi; (exit 3)\r\nhi", "hi", True),  # control sequences in it
    ("hi\n", "hi", False),  # no echo yet
])
def test_a_pattern_matches_only_after_the_echo(written, pattern, found):
    assert matches(echo.after_echo(pattern, False, TYPED), written) is found


@pytest.mark.parametrize("typed, written, found", [
    (["echo a\necho b\n"], "echo a\n>>> echo b\nDONE", True),  # a continuation prompt between
    (["echo a\n", "echo b\n"], "echo a\nDONE\n$ echo b\n", False),  # after the last text typed
    (["echo a\n", "echo b\n"], "echo a\n$ echo b\nDONE", True),
    (["\t\n"], "DONE", True),  # nothing printable typed: nothing to skip
])
def test_every_text_typed_is_skipped_in_order(typed, written, found):
    assert matches(echo.after_echo("DONE", False, typed), written) is found


def test_the_callers_regular_expression_keeps_its_flags_and_groups():
    pattern = echo.after_echo(r"(?i)^(?P<word>done)=(?P=word)$", True, ["make"])
    assert pattern.search(" make\nDONE=DONE\n") and not pattern.search(" make\nDONE=x\n")
    assert echo.after_echo("a.c", False, ["x"]).search("x abc") is None  # a text is no pattern


def test_a_failing_search_is_one_pass():
    # Many pieces, each found often: without atomic pieces this search would try every placement.
    typed = ["\n".join(f"line {n} a" for n in range(300))]
    pattern = echo.after_echo("NEVER", False, typed)
    assert pattern.search("line 1 a\n" * 5000) is None


def test_long_texts_are_found_by_their_ends():
    words = random.Random(1).choices(["alpha", "beta", "gamma", "delta"], k=20_000)
    lines = [" ".join(words[i:i + 80]) for i in range(0, len(words), 80)]  # 250 long lines
    typed = ["\n".join(lines) + "\n"]
    pieces = echo.echo_pieces(typed)
    assert max(map(len, pieces)) == echo.MAX_PIECE_CHARACTERS
    assert sum(map(len, pieces)) <= echo.MAX_ECHO_CHARACTERS and lines[-1].endswith(pieces[-1])
    pattern = echo.after_echo("DONE", False, typed)
    shown = "\n".join(lines)  # as typed, and then the output
    assert pattern.search(shown + "\nDONE") and not pattern.search(shown[:-1] + "\nDONE")


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="3.11 has atomic groups")
def test_numbered_references_are_refused_on_3_10():
    with pytest.raises(ValueError, match="name them"):
        echo.after_echo(r"(a)\1", True, ["x"])


@pytest.mark.parametrize("seed", range(20))
def test_keep_end_keeps_an_exact_end(seed):
    rng = random.Random(seed)
    text = "".join(rng.choice(["a", "é", "中", "🙂", "\n", "line\n"]) for _ in range(rng.randrange(400)))
    limit = rng.randrange(1, 300)
    cut = keep_end(text, limit)
    data = text.encode()
    kept = cut.text.encode()
    assert len(kept) <= limit and data.endswith(kept)
    assert (cut.truncated, cut.dropped_bytes) == (len(kept) < len(data), len(data) - len(kept))
    assert cut.dropped_lines == data[:cut.dropped_bytes].count(b"\n")
    if cut.truncated:
        # At a line's start, or else inside a line (at a character's start, within a
        # character's width of the window) when no line starts early in the window.
        window = len(data) - limit
        at_line = data[cut.dropped_bytes - 1:cut.dropped_bytes] == b"\n"
        late = b"\n" not in data[max(window - 1, 0):window + limit // 4].rstrip(b"\n")[:-1] or \
            data.find(b"\n", window - 1) + 1 >= len(data)
        assert at_line or (late and cut.dropped_bytes - window < 4)


def test_keep_end_starts_at_a_line_when_one_starts_early():
    cut = keep_end("first line\nsecond\nthird\n", 15)
    assert (cut.text, cut.dropped_lines) == ("second\nthird\n", 1)
    assert keep_end("x" * 100 + "\nX", 10).text == "x" * 8 + "\nX"  # a late line start: cut inside


@pytest.mark.parametrize("key, good", [
    ("C-c", True), ("c-C", True), ("Escape", True), ("enter", True), ("M-x", True), ("S-F5", True),
    ("C-M-Up", True), ("^C", True), ("KPEnter", True), ("é", True), (";", True),
    ("hello", False), (":q", False), ("C-", False), ("", False), ("F13", False), ("Enter ", False),
])
def test_key_names(key, good):
    if good:
        assert keys.check_keys([key]) == [key]
    else:
        with pytest.raises(ValueError, match="not a key name"):
            keys.check_keys(["Up", key])


@pytest.mark.parametrize("text, kind", [("%3", "pane"), ("@0", "window"), ("$12", "session"),
                                        ("%", None), ("%3.1", None), ("main", None), ("=main", None),
                                        (" %3", None), ("%-1", None)])
def test_ids(text, kind):
    if kind:
        assert objects.kind_of(text) == kind
    else:
        with pytest.raises(ValueError, match="not an id"):
            objects.kind_of(text)


def test_marks_expire_and_belong_to_their_pane():
    table = marks.Marks(limit=2)
    first, second, third = (table.add("%1", object()) for _ in range(3))
    with pytest.raises(ValueError, match=f"mark {first} has expired"):
        table.get(first, "%1")
    with pytest.raises(ValueError, match="is a screen of pane %1, not %2"):
        table.get(second, "%2")
    with pytest.raises(ValueError, match="no mark 'm99'"):
        table.get("m99", "%1")
    table.input_sent("%1", "ls\n")
    table.input_sent("%2", "other")
    table.input_sent("%1", None)
    assert (table.get(third, "%1").typed, table.get(third, "%1").inputs) == (["ls\n"], 2)
    for _ in range(marks.MAX_INPUTS_PER_MARK):
        table.input_sent("%1", None)
    with pytest.raises(ValueError, match="followed by more than"):
        table.get(third, "%1")


@pytest.mark.parametrize("argument, address", [
    ("8000", ("127.0.0.1", 8000)), ("localhost:0", ("localhost", 0)), ("[::1]:9", ("::1", 9)),
    ("0.0.0.0:80", ("0.0.0.0", 80)),
])
def test_http_addresses(argument, address):
    assert settings.parse(["--http", argument]).http == address


@pytest.mark.parametrize("arguments", [["--http", "host"], ["--http", "h:99999"],
                                       ["--max-output", "0"], ["--read-only", "--allow-raw"]])
def test_bad_options_are_refused(arguments, capsys):
    with pytest.raises(SystemExit):
        settings.parse(arguments)
    assert "termloom-mcp: error:" in capsys.readouterr().err


@pytest.mark.parametrize("host, loopback", [("127.0.0.1", True), ("127.1.2.3", True), ("::1", True),
                                            ("localhost", True), ("0.0.0.0", False), ("10.0.0.1", False),
                                            ("example.org", False)])
def test_loopback(host, loopback):
    assert settings.is_loopback(host) is loopback


def test_the_echo_pattern_is_a_compiled_pattern_termloom_takes():
    assert isinstance(echo.after_echo("x", False, ["y"]), re.Pattern)
    assert echo.after_echo("x", False, []) == "x"
