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
import termloom_pytest

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
"""

LEAKING_TEST = """
import time

def test_leaves_a_process(tmux_pane, tmp_path):
    tmux_pane.send_keys({command!r}, enter=True)
    deadline = time.monotonic() + 30
    while not (started := [l for l in tmux_pane.capture().splitlines() if l.startswith("started:")]):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    pid = started[0].removeprefix("started:")
    with open({record!r}, "w") as f:
        f.write(pid)
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
    assert "3 passed" in done.stdout
    (socket,) = record.read_text().splitlines()
    # Killed after its test, and the private folder went with it.
    assert not os.path.exists(socket)
    assert not os.path.exists(os.path.dirname(socket))


# Found whatever their environment holds: by the pane's TMUX, as a child of
# the pane's shell, or as a member of its session once that shell is gone.
@pytest.mark.parametrize("command", [
    "setsid sleep 300 & echo started:$!", "env -i sleep 300 & disown; echo started:$!",
    "(env -i sleep 300 & echo started:$!)",
])
def test_a_process_that_outlives_its_test_fails_it(outside, tmp_path, command):
    record = tmp_path / "pid"
    (outside / "test_leak.py").write_text(LEAKING_TEST.format(record=str(record), command=command))
    done = run_pytest(outside)
    assert done.returncode != 0
    assert "tmux processes outlived the test" in done.stdout
    assert "sleep 300" in done.stdout
    assert not alive(int(record.read_text()))  # and the fixture killed it


@pytest.mark.parametrize("fixture", ["tmux_isolated_env", "tmux_server", "tmux_session", "tmux_pane"])
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
