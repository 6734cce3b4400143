"""termloom's pytest fixtures, used by a test suite outside this checkout:
found through the entry point, isolated, and strict about what outlives a
test."""
import os
import subprocess
import sys
import textwrap

import pytest

OUTSIDE_TESTS = """
import os
import re
import subprocess

import pytest
import termloom_pytest

RELEASE = tuple(int(n) for n in re.search(r"(\\d+)\\.(\\d+)", subprocess.run(
    ["tmux", "-V"], capture_output=True, text=True).stdout).groups())

def test_server(tmux_server, tmp_path):
    folder = os.environ["TMUX_TMPDIR"]
    assert "TMUX" not in os.environ
    assert os.environ["HOME"].startswith(folder)
    assert not tmux_server.is_running
    session = tmux_server.new_session("mine")
    assert tmux_server.current_socket.startswith(folder) and len(tmux_server.current_socket) < 100
    assert [s.name for s in tmux_server.sessions] == ["mine"]
    with open({record!r}, "a") as f:
        f.write(tmux_server.current_socket + "\\n")

def test_session(tmux_session):
    window = tmux_session.windows[0].metadata
    assert (tmux_session.name, window.width, window.height) == ("test", 80, 24)

def test_pane(tmux_pane):
    assert tmux_pane.capture(trim=True) == "$"
    assert tmux_pane.current_command == "bash"
    tmux_pane.send_keys("echo $((6 * 7)); echo $HISTFILE", enter=True)
    import time
    deadline = time.monotonic() + 30
    while "42" not in tmux_pane.capture().splitlines():
        assert time.monotonic() < deadline, tmux_pane.capture()
        time.sleep(0.05)
    assert tmux_pane.capture(trim=True).splitlines() == [
        "$ echo $((6 * 7)); echo $HISTFILE", "42", "/dev/null", "$"]

def test_pane_history(tmux_pane):
    result = tmux_pane.run("seq 1 20000")
    assert result.output.split("\\n") == [str(n) for n in range(1, 20001)]
    assert tmux_pane.metadata().history_size >= 20000 - 24

@pytest.mark.parametrize("shell", ["bash", "zsh", "dash"])
def test_factory_shells(tmux_pane_factory, tmux_server, shell):
    pane = tmux_pane_factory(shell, width=100, height=30, history_limit=30000)
    assert pane.current_command == shell and pane.capture(trim=True) == "$"
    assert pane.run("echo $((6 * 7))").output == "42"
    shown = tmux_server.command("display-message", "-p", "-t", pane.pane_id,
                                "#{{window_width}}x#{{window_height}} #{{history_limit}}")
    assert shown == "100x30 30000\\n"
    # tmux's defaults for whatever the test makes itself
    assert tmux_server.show_option("history-limit") == "2000"
    assert tmux_server.show_option("exit-empty") == "on"

def test_factory_environment(tmux_pane_factory):
    if RELEASE < (3, 2):
        with pytest.raises(pytest.fail.Exception, match="environment needs tmux 3.2"):
            tmux_pane_factory(environment={{"TL_X": "a b;"}})
        return
    pane = tmux_pane_factory("dash", environment={{"TL_X": "a b;"}})
    assert pane.run('printf "%s\\\\n" "$TL_X"').output == "a b;"

def test_factory_command(tmux_pane_factory):
    first = tmux_pane_factory("printf 'ready\\\\n'; exec cat")
    second = tmux_pane_factory()
    assert [first.session_name, second.session_name] == ["pane-1", "pane-2"]
    first.wait_for("ready")
    assert second.current_command == "bash"
"""

LEAKING_TEST = """
import re
import time

def test_leaves_a_process({pane}, tmp_path):
    tmux_pane = {pane}{make}
    tmux_pane.send_keys({command!r}, enter=True)
    deadline = time.monotonic() + 30
    # A background job's line may follow the next prompt.
    while not (started := re.search(r"started:([0-9]+)", tmux_pane.capture())):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    pid = started[1]
    with open({record!r}, "w") as f:
        f.write(pid)
    # Until then, the end of the test could stop it before it leaks.
    while open(f"/proc/{{pid}}/cmdline", "rb").read() != b"sleep\\x00300\\x00":
        assert time.monotonic() < deadline
        time.sleep(0.05)
"""


def run_pytest(folder, *args):
    """pytest in `folder`, far from this checkout's conftest and settings."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    env.pop("TMUX", None)
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args],
                          cwd=folder, env=env, capture_output=True, text=True, timeout=300)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.fixture
def outside(tmp_path):
    folder = tmp_path / "elsewhere"
    folder.mkdir()
    (folder / "pytest.ini").write_text("[pytest]\n")  # the root here, not the checkout
    return folder


def test_the_fixtures_work_in_another_project(outside, tmp_path):
    record = tmp_path / "sockets"
    (outside / "test_outside.py").write_text(OUTSIDE_TESTS.format(record=str(record)))
    done = run_pytest(outside)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "9 passed" in done.stdout
    (socket,) = record.read_text().splitlines()
    # Killed after its test, and the private folder went with it.
    assert not os.path.exists(socket)
    assert not os.path.exists(os.path.dirname(socket))


# Found whatever their environment holds: by the pane's TMUX, as a child of
# the pane's shell, or as a member of its session once that shell is gone.
# Each says its pid once it is that process (setsid may fork first).
SETSID = "setsid sh -c 'echo started:$$; exec sleep 300' &"


@pytest.mark.parametrize("command, pane, make", [
    (SETSID, "tmux_pane", ""),
    ("env -i sleep 300 & disown; echo started:$!", "tmux_pane", ""),
    ("(env -i sleep 300 & echo started:$!)", "tmux_pane", ""),
    (SETSID, "tmux_pane_factory", "('zsh')"),
    ("(env -i sleep 300 & echo started:$!)", "tmux_pane_factory", "('dash')"),
])
def test_a_process_that_outlives_its_test_fails_it(outside, tmp_path, command, pane, make):
    record = tmp_path / "pid"
    (outside / "test_leak.py").write_text(LEAKING_TEST.format(record=str(record), command=command,
                                                              pane=pane, make=make))
    done = run_pytest(outside)
    assert done.returncode != 0
    assert "tmux processes outlived the test" in done.stdout
    assert "sleep 300" in done.stdout
    assert not alive(int(record.read_text()))  # and the fixture killed it


@pytest.mark.parametrize("fixture", ["tmux_isolated_env", "tmux_server", "tmux_session", "tmux_pane",
                                     "tmux_pane_factory"])
def test_without_tmux_the_fixtures_skip(outside, fixture):
    (outside / "test_skip.py").write_text(textwrap.dedent(f"""
        import os

        def test_it({fixture}):
            pass

        def setup_module():
            os.environ["PATH"] = os.path.join(os.path.dirname(__file__), "nothing")
    """))
    done = run_pytest(outside, "-rs")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "tmux is not installed" in done.stdout
