"""Text shown to the caller: the quoted form, trimming, the Unicode tables."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("text, quoted", [
    ("plain text", '"plain text"'),
    ("\\ \" \t \r \n \0", '"\\\\ \\" \\t \\r \\n \\0"'),
    ("it's", '"it\'s"'),
    ("\x01\x1f\x7f\x85", '"\\u{1}\\u{1f}\\u{7f}\\u{85}"'),
    ("\u00a0\u2028\u2029\u3000", '"\\u{a0}\\u{2028}\\u{2029}\\u{3000}"'),   # Zs, Zl, Zp
    ("\u200b\u200d\ufeff\u00ad", '"\\u{200b}\\u{200d}\\u{feff}\\u{ad}"'),   # Cf
    ("e\u0301 \u20dd", '"e\\u{301} \\u{20dd}"'),                            # Grapheme_Extend
    ("\ue000\U000f0000", '"\\u{e000}\\u{f0000}"'),                          # Co
    ("\u0378\uffff\U000e0080", '"\\u{378}\\u{ffff}\\u{e0080}"'),            # Cn
    ("é 中 🎉 Ω ☃", '"é 中 🎉 Ω ☃"'),
    ("\U0001fae8", '"\U0001fae8"'),  # assigned in Unicode 15 (shaking face)
])
def test_quoted_form(fake_tmux_free_session, text, quoted):
    Session = type(fake_tmux_free_session)
    assert repr(Session(text)) == f"Session(name={quoted}, socket=None)"


@pytest.mark.parametrize("line, name", [
    ("\u3000\u00a0 a b \u2009\u0085", "a b"),
    ("\u200bx\u200b", "\u200bx\u200b"),   # zero width space is not white space
    ("\x1c\x0bx\x0c", "\x1c\x0bx"),       # \x1c is not White_Space, so \x0b stays inside
])
def test_trimming_uses_unicode_white_space(fake_tmux, line, name):
    import termloom
    fake_tmux.respond(stdout=(line + "\n").encode())
    assert termloom.Server().current_socket == name


def test_unicode_tables_match_the_generator():
    if not os.path.exists("/usr/share/unicode/UnicodeData.txt"):
        pytest.skip("Debian's unicode-data is not installed")
    result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_unicode_tables.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
