"""Random calls of every member, and a long mixed run: only documented errors, nothing leaks."""
import gc
import os
import random
import resource
import sys

import pytest

import termloom
from conftest import unpublished_classes
from test_safety import MEMBERS

# Answers with whatever the test put in the environment for this call.
FAST_TMUX = """#!/bin/sh
case "$*" in
    *send-keys*) ;;  # what LastCommand.read types: no answer is on the screen yet
    *) printf '%b' "$TL_STDOUT" ;;
esac
printf '%b' "$TL_STDERR" >&2
exit "${TL_CODE:-0}"
"""

DOCUMENTED = (TypeError, OverflowError, ValueError, RuntimeError, UnicodeEncodeError)


@pytest.fixture
def fast_tmux(fake_bin, monkeypatch):
    for name in ["tmux", "ps"]:
        path = os.path.join(fake_bin.path, name)
        with open(path, "w") as f:
            f.write(FAST_TMUX)
        os.chmod(path, 0o755)

    def answer(stdout="", stderr="", code=0):
        monkeypatch.setenv("TL_STDOUT", stdout.replace("\\", "\\\\"))
        monkeypatch.setenv("TL_STDERR", stderr.replace("\\", "\\\\"))
        monkeypatch.setenv("TL_CODE", str(code))
    answer()
    return answer


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("no index")  # an exception the module only passes on


def values(rng):
    """A value of any sort an argument might be given."""
    text = "".join(rng.choice("ab|:.;#-\t\n %$\\\0é中\udc80") for _ in range(rng.randrange(6)))
    pool = [text, text, "", "-x;", "left", "up", 0, 1, -1, 2 ** 32 - 1, 2 ** 32, 2 ** 64, True, False,
            None, 1.5, b"bytes", [], object(), Index(rng.randrange(-2, 5)), type("bool_", (), {
                "__module__": "numpy", "__bool__": lambda self: True})()]
    return rng.choice(pool)


def tmux_answer(rng):
    lines = ["0|a|1|L|80|24|*", "s\t1\t2\t%3\tt", "$1|s|5|0|80|24|2", "x", "", "__TERMLOOM__ls", "1|%2|t",
             "4294967296|a", "\xff", "0"]
    stdout = "\n".join(rng.choice(lines) for _ in range(rng.randrange(3))) + rng.choice(["", "\n"])
    return dict(stdout=stdout, stderr=rng.choice(["", "boom\n"]), code=rng.choice([0, 0, 1]))


def any_object(rng, name):
    cls = termloom.Server if name == "Server" else unpublished_classes()[name]
    valid = {"Server": ("/s",), "Session": ("s",), "Window": ("s", 0, None, "n"),
             "Pane": ("s", 0, 0, "%1", "t", None)}
    if name in valid:
        args = valid[name] if rng.random() < 0.7 else tuple(values(rng) for _ in range(rng.randrange(7)))
        return cls(*args)
    return unpublished_classes()["Pane"]("s", 0, 0, "%1", "t", None).last_command  # LastCommand


def test_random_calls_raise_only_documented_errors(fast_tmux):
    rng = random.Random(20261208)
    names = ["Server", "Session", "Window", "Pane", "LastCommand"]
    completed = refused = 0
    for _ in range(20000):
        name = rng.choice(names)
        try:
            obj = any_object(rng, name)
        except DOCUMENTED:
            continue
        member = rng.choice(list(MEMBERS[name]) + ["__repr__"])
        answer = tmux_answer(rng)
        if member == "read":  # an answer, or it waits its two seconds for one
            answer["stdout"] = "__TERMLOOM__" + answer["stdout"]
        fast_tmux(**answer)
        args = [values(rng) for _ in range(rng.randrange(4))]
        kwargs = {rng.choice(["keys", "enter", "trim", "full", "scroll_back", "command", "keep", "kill",
                              "respawn", "horizontal", "direction", "amount", "name", "target", "x"]):
                  values(rng) for _ in range(rng.randrange(3))}
        try:
            attribute = getattr(obj, member)
            if callable(attribute):
                attribute(*args, **kwargs)
            elif args and name in ("Session", "Window", "Pane") and member in ("name", "title"):
                setattr(obj, member, args[0])
            completed += 1
        except DOCUMENTED:
            refused += 1
    assert completed > 2000 and refused > 2000  # both outcomes were well exercised


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def children_states():
    states = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                states.append(fields[0])
    return states


def mixed_operations(rng, count, Pane, Window, Session):
    server = termloom.Server("/s")
    pane = Pane("s", 0, 0, "%1", "t", "/s")
    window = Window("s", 0, "/s", "n")
    session = Session("s", "/s")
    calls = [lambda: server.sessions, lambda: server.is_running, lambda: server.has_session("s"),
             lambda: session.windows, lambda: window.panes, lambda: window.next, lambda: pane.capture(),
             lambda: pane.send_keys("x", enter=True), lambda: pane.current_commandline,
             lambda: server.target_pane("s:0.0"), lambda: session.metadata(), lambda: window.metadata,
             lambda: repr(pane), lambda: pane.split(command="x"), lambda: pane.last_command.run()]
    for _ in range(count):
        try:
            rng.choice(calls)()
        except RuntimeError:
            pass


def test_a_long_mixed_run_leaks_nothing(fast_tmux, Pane, Window, Session):
    fast_tmux(stdout="s\\t1\\t2\\t%3\\tt\\n1|%2|t\\n")
    rng = random.Random(7)
    mixed_operations(rng, 500, Pane, Window, Session)  # warm up caches and the allocator
    gc.collect()
    fds, rss = sorted(os.listdir("/proc/self/fd")), rss_bytes()
    mixed_operations(rng, 3000, Pane, Window, Session)
    gc.collect()
    assert sorted(os.listdir("/proc/self/fd")) == fds
    assert rss_bytes() - rss < 4 * 1024 * 1024
    assert children_states() == []  # every child reaped: no zombie, none running
