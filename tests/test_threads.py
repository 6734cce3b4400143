"""Other threads run while tmux runs; access across threads waits, on one thread it fails."""
import concurrent.futures
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import termloom
from conftest import interrupt_child, wait_for


class Ticker:
    """Counts while a call runs; a frozen interpreter counts nothing."""

    def __init__(self):
        self.ticks = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop.wait(0.01):
            self.ticks += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


@pytest.mark.parametrize("call", [
    lambda: termloom.Server().is_running,                  # a status run
    lambda: termloom.Server().sessions,                    # an output run
    lambda: termloom.Server().target_pane("x"),            # an output run that raises
])
def test_other_threads_run_while_tmux_runs(fake_tmux, call):
    fake_tmux.always(stdout="s\t0\t0\t%1\t\n", sleep=1.0)
    with Ticker() as ticker:
        call()
    assert ticker.ticks >= 20


def test_setter_of_another_thread_is_waited_for(fake_tmux, Session):
    """A read during another thread's rename sees the handle before or after, never fails."""
    session = Session("old")
    fake_tmux.respond(stdout="$1\n", sleep=0.6)  # the rename's look-up
    fake_tmux.respond(stdout="new\n")            # the rename
    renamer = threading.Thread(target=setattr, args=(session, "name", "new"))
    renamer.start()
    try:
        wait_for(lambda: fake_tmux.calls)  # the rename holds the handle now
        assert session.name == "new"       # waited for it, and saw it whole
        assert repr(session) == 'Session(name="new", socket=None)'
    finally:
        renamer.join()


def test_calls_of_another_thread_are_waited_for_by_a_setter(fake_tmux, Session):
    session = Session("old")
    fake_tmux.respond(stdout="$1|old|5|0|80|24|2\n", sleep=0.6)  # metadata() holds shared access
    fake_tmux.respond(stdout="$1\n")                                # then the rename's look-up
    fake_tmux.respond()                                             # and the rename
    results = []
    reader = threading.Thread(target=lambda: results.append(session.metadata().name))
    reader.start()
    try:
        wait_for(lambda: fake_tmux.calls)
        session.name = "new"
    finally:
        reader.join()
    assert results == ["old"] and session.name == "new"
    assert [call[1] for call in fake_tmux.calls] == ["list-sessions", "list-sessions", "rename-session"]


def test_many_threads_share_a_handle(fake_tmux, Session):
    session = Session("s")
    fake_tmux.always(stdout="$1|s|5|0|80|24|2\n", sleep=0.2)
    results = []
    threads = [threading.Thread(target=lambda: results.append(session.metadata().windows)) for _ in range(4)]
    with Ticker() as ticker:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert results == [2] * 4
    assert ticker.ticks > 0


WORKER = textwrap.dedent("""
    import os, signal, subprocess, sys, threading, time
    import termloom
    worker = threading.Thread(target=lambda: termloom.Server().is_running, daemon=True)
    worker.start()
    print("ready", flush=True)
    started = time.monotonic()
    try:
        while True:
            time.sleep(0.05)
    except KeyboardInterrupt:
        print("interrupted", round(time.monotonic() - started, 1), flush=True)
    out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(os.getpid())], capture_output=True, text=True)
    for pid in out.stdout.split():
        try:
            os.killpg(int(pid), signal.SIGKILL)  # the hung tmux of the worker
        except OSError:
            pass
""")


def test_ctrl_c_reaches_the_main_thread_while_a_worker_waits(fake_tmux):
    fake_tmux.always(sleep=30)
    line, seen = interrupt_child([sys.executable, "-c", WORKER], lambda: fake_tmux.calls)
    assert line.startswith("interrupted") and seen < 5, (line, seen)


AT_EXIT = textwrap.dedent("""
    import sys, threading, time
    import termloom
    session = termloom.Server().new_session("s")
    threading.Thread(target=lambda: termloom.Server().is_running, daemon=True).start()
    threading.Thread(target=lambda: session.metadata(), daemon=True).start()
    def runs():  # the fake tmux logs each run as it starts
        with open(sys.argv[1]) as f:
            return len(f.readlines())
    while runs() < 3:  # both threads wait for their tmux
        time.sleep(0.01)
    # Renaming waits for the metadata() call of the other thread to end.
    threading.Thread(target=lambda: setattr(session, "name", "x"), daemon=True).start()
    time.sleep(0.3)
    print("leaving", flush=True)
""")


def test_exit_while_daemon_threads_wait_for_tmux(fake_tmux, tmp_path):
    """The interpreter stops those threads where they are: no abort, no child left running."""
    fake_tmux.respond(stdout="s\n")  # new-session
    fake_tmux.always(sleep=30)
    calls = os.path.join(fake_tmux.state, "calls.jsonl")
    result = subprocess.run([sys.executable, "-c", AT_EXIT, calls], capture_output=True, text=True, timeout=20)
    assert (result.returncode, result.stdout) == (0, "leaving\n"), result.stderr
    assert len(fake_tmux.calls) == 3
    ps = subprocess.run(["ps", "-eo", "args="], capture_output=True, text=True).stdout
    assert fake_tmux.state not in ps  # no fake tmux of that run is still sleeping


def test_a_rename_gets_its_turn_among_readers(fake_tmux, Pane):
    """Readers in a loop always overlap; a waiting rename goes before new ones."""
    fake_tmux.always(sleep=0.05)
    pane = Pane("s", 0, 0, "%1", "old", None)
    stop = threading.Event()

    def read():
        while not stop.is_set():
            pane.capture()

    readers = [threading.Thread(target=read) for _ in range(16)]
    renamer = threading.Thread(target=setattr, args=(pane, "title", "new"))
    for reader in readers:
        reader.start()
    try:
        wait_for(lambda: len(fake_tmux.calls) >= 32, timeout=60)
        renamer.start()
        renamer.join(timeout=60)
        renamed_while_reading = not renamer.is_alive()
    finally:
        stop.set()
        for reader in readers:
            reader.join()
        if renamer.is_alive() or renamer.ident:
            renamer.join()
    assert renamed_while_reading and pane.title == "new"
    assert ["select-pane", "-T", "new", "-t", "%1"] in [call[1:] for call in fake_tmux.calls]


FORK_LOOP = textwrap.dedent("""
    import os, sys, threading, time
    import termloom
    server = termloom.Server(sys.argv[1])
    session = server.sessions[0]
    window = session.windows[0]
    pane = window.panes[0]
    stop = threading.Event()

    def hammer():
        while not stop.is_set():
            window.panes
            pane.is_alive

    threads = [threading.Thread(target=hammer) for _ in range(12)]
    for thread in threads:
        thread.start()
    hung = failed = 0
    for _ in range(int(sys.argv[2])):
        pid = os.fork()
        if pid == 0:
            # The locks, and the handles the parent's threads were using.
            pane.title = "child"
            os._exit(0 if session.windows and server.is_running else 1)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                failed += status != 0
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                hung += 1
                break
            time.sleep(0.005)
        if hung:
            break
    stop.set()
    for thread in threads:
        thread.join()
    print("hung", hung, "failed", failed, flush=True)
""")


# GCC 12's AddressSanitizer does not take its allocator's lock across fork:
# a child forked while another thread allocates hangs inside ASan's malloc
# (seen in gdb: __sanitizer::SizeClassAllocator64::GetFromAllocator).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator is not fork-safe")
def test_fork_while_threads_run_tmux(real_tmux):
    real_tmux.server.new_session("s")
    result = subprocess.run([sys.executable, "-c", FORK_LOOP, real_tmux.socket, "60"],
                            capture_output=True, text=True, timeout=300)
    assert result.stdout == "hung 0 failed 0\n", result.stderr


FORKED_EXIT = textwrap.dedent("""
    import os, sys, threading
    import termloom
    results = []
    worker = threading.Thread(target=lambda: results.append(termloom.Server().is_running))
    worker.start()
    while not os.path.exists(sys.argv[1]):  # its tmux runs now
        pass
    pid = os.fork()
    if pid == 0:
        sys.exit(0)  # the interpreter's exit handlers run in the child
    os.waitpid(pid, 0)
    worker.join()
    print(results, flush=True)
""")


def test_a_forked_childs_exit_leaves_the_parents_tmux_alone(fake_tmux):
    fake_tmux.always(sleep=1.0)
    calls = os.path.join(fake_tmux.state, "calls.jsonl")
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", FORKED_EXIT, calls],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout == "[True]\n", result.stderr


def inotify_instances():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:inotify"
        except OSError:  # closed meanwhile
            pass
    return count


def test_threads_that_waited_hold_few_inotify_instances(bash_pane):
    """Waits share a few idle instances: a pool of threads that each waited
    once does not keep one per thread (128 per user by default)."""
    with concurrent.futures.ThreadPoolExecutor(32) as pool:
        waits = [pool.submit(bash_pane.wait_for, "ping-42", 30) for _ in range(32)]
        wait_for(lambda: inotify_instances() >= 32)  # every one of them waiting
        bash_pane.send_text("echo ping-$((6 * 7))", enter=True)
        for wait in waits:
            assert "ping-42" in wait.result().text
        held = inotify_instances()  # the pool's threads are all still there
        for wait in [pool.submit(bash_pane.wait_for, "ping-42", 30) for _ in range(64)]:
            wait.result()
        held_after_more = inotify_instances()
    assert held <= 4 and held_after_more <= 4


FORKED_WAIT = textwrap.dedent("""
    import os, sys
    import termloom

    def inotify_instances():
        count = 0
        for fd in os.listdir("/proc/self/fd"):
            try:
                count += os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:inotify"
            except OSError:
                pass
        return count

    pane = termloom.Server(sys.argv[1]).target_pane(sys.argv[2])
    pane.wait_for("$")  # leaves its instance idle
    held = inotify_instances()
    pid = os.fork()
    if pid == 0:
        inherited = inotify_instances()
        pane.wait_for("$")
        os._exit(10 + inherited)
    _, status = os.waitpid(pid, 0)
    pane.wait_for("$")
    print(held, os.waitstatus_to_exitcode(status) - 10, inotify_instances(), flush=True)
""")


def test_a_forked_child_waits_with_instances_of_its_own(bash_pane, real_tmux):
    """The parent's idle instance would share its watches and events."""
    result = subprocess.run([sys.executable, "-c", FORKED_WAIT, real_tmux.socket, bash_pane.pane_id],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout == "1 0 1\n", result.stderr
