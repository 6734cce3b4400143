"""Running tmux: argument vectors, start failures, decoding, streams, Ctrl-C."""
import os
import pty
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import termloom
from conftest import interrupt_child


@pytest.mark.parametrize("socket, prefix", [
    (None, ["tmux"]),
    ("/tmp/x y/s", ["tmux", "-S", "/tmp/x y/s"]),
    ("", ["tmux", "-S", ""]),
])
def test_socket_pair_follows_the_program_name(fake_tmux, socket, prefix):
    fake_tmux.always(code=0)
    server = termloom.Server(socket)
    server.is_running
    server.start()
    server.kill()
    # Without a socket path, kill asks for the default one in the same run.
    killed = ["kill-server"] if socket is not None else ["display-message", "-p", "#{socket_path}", ";",
                                                          "kill-server"]
    started = ["start-server", ";", "if-shell", "-F", "#{?session_id,0,1}", "set-option -s exit-empty off"]
    assert fake_tmux.calls == [prefix + ["list-sessions"], prefix + started, prefix + killed]


@pytest.mark.parametrize("name", ["a b", "it's", 'say "hi"', "x;y", "$HOME", "`id`", "*", "中文"])
def test_caller_text_is_one_argument(fake_tmux, name):
    termloom.Server().has_session(name)
    assert fake_tmux.calls == [["tmux", "list-sessions", "-f", "#{==:#{session_name}," + name + "}",
                                "-F", "#{session_id}"]]


def test_exit_code_decides_status_runs(fake_tmux):
    fake_tmux.respond(stdout="x" * 10000, code=1).respond(stderr="noise", code=0)
    server = termloom.Server("/s")
    assert server.is_running is False  # however much it printed
    assert server.is_running is True


def test_status_runs_without_tmux_are_false(no_tmux):
    server = termloom.Server("/s")
    assert (server.is_running, server.start(), server.kill(), server.has_session("a")) == (False,) * 4


def test_every_operation_without_tmux(no_tmux, fake_tmux_free_session):
    server, session = termloom.Server("/s"), fake_tmux_free_session
    assert server.sessions == [] and termloom.Server().current_socket is None
    assert server.current_socket == "/s"
    assert session.kill() is False
    for call, message in [
        (lambda: server.new_session("w"), "Failed to run tmux: "),
        (session.metadata, "failed to run tmux: "),
        (lambda: setattr(session, "name", "x"), "failed to run tmux: "),
    ]:
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value) == message + "No such file or directory (os error 2)"
    assert session.name == "work"


def test_not_executable_is_a_start_failure(fake_bin, monkeypatch):
    monkeypatch.setenv("PATH", fake_bin.path)  # else the search goes on to a real tmux
    path = os.path.join(fake_bin.path, "tmux")
    with open(path, "w") as f:
        f.write("#!/bin/sh\n")
    os.chmod(path, 0o644)
    with pytest.raises(RuntimeError, match=r"^Failed to run tmux: Permission denied \(os error 13\)$"):
        termloom.Server().new_session("w")


@pytest.mark.parametrize("call", [
    lambda: termloom.Server().new_session("a\0b"),
    lambda: termloom.Server("/s\0x").new_session("a"),
])
def test_nul_in_an_argument_starts_nothing(fake_tmux, call):
    with pytest.raises(RuntimeError, match="^Failed to run tmux: nul byte found in provided data$"):
        call()
    assert termloom.Server().has_session("a\0b") is False
    assert fake_tmux.calls == []


def test_output_is_decoded_leniently(fake_tmux):
    raw = b"ok\xff\xfeend\n\xe2\x82\nA\xf0\x9f\x98\n\xed\xa0\x80x\n"
    fake_tmux.respond(stdout=raw)
    names = [s.name for s in termloom.Server().sessions]
    assert names == raw.decode("utf-8", "replace").splitlines()


def test_random_bytes_decode_like_python(fake_tmux):
    import random
    rng = random.Random(7)
    alphabet = [bytes([b]) for b in range(0x21, 0x7f)] + [bytes([b]) for b in range(0x80, 0x100)] + [
        "é".encode(), "中".encode(), "😀".encode()]
    lines = [b"".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 12))) for _ in range(2000)]
    fake_tmux.respond(stdout=b"\n".join(lines))
    names = [s.name for s in termloom.Server().sessions]
    expected = [line.decode("utf-8", "replace") for line in lines]
    white = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
    assert names == [e.strip(white) for e in expected if e.strip(white)]


def test_both_streams_large(fake_tmux):
    """Both pipes are drained together: a child filling one cannot stall."""
    fake_tmux.respond(stdout="work\n")  # new-session
    session = termloom.Server().new_session("work")
    fake_tmux.respond(stdout=b"$0|work|1|0|80|24|1\n" * 50000, stderr=b"e" * 3_000_000, code=0)
    assert session.metadata().windows == 1


def test_lines_end_at_line_feeds(fake_tmux):
    fake_tmux.respond(stdout=b"a\r\nb\rc\n\n  \nd")
    assert [s.name for s in termloom.Server().sessions] == ["a", "b\rc", "  ", "d"]


CHILD = textwrap.dedent("""
    import os, sys
    import termloom
    sock = sys.argv[1]
    closed = [int(fd) for fd in sys.argv[2].split(",")]
    log = os.open(sys.argv[3], os.O_WRONLY | os.O_CREAT)
    for fd in closed:
        os.close(fd)
    server = termloom.Server(sock)
    results = [server.new_session("closed") is not None, server.is_running,
               [s.name for s in server.sessions], server.has_session("closed"), server.kill()]
    os.write(log, repr(results).encode())
""")


@pytest.mark.parametrize("closed", ["0", "1,2", "0,1,2"])
def test_runs_work_with_standard_descriptors_closed(real_tmux, tmp_path, closed):
    log = tmp_path / "log"
    subprocess.run([sys.executable, "-c", CHILD, real_tmux.socket, closed, str(log)],
                   check=True, timeout=30, stdin=subprocess.DEVNULL)
    assert log.read_text() == "[True, True, ['closed'], True, True]"


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def test_no_descriptor_leaks(fake_tmux):
    fake_tmux.always(stdout="a\n", stderr="b\n")
    server = termloom.Server("/s")
    server.sessions  # warm up anything lazily opened
    before = open_descriptors()
    for _ in range(5):
        server.is_running
        server.sessions
        server.new_session("x")
    fake_tmux.always(code=1, stderr="no\n")
    with pytest.raises(RuntimeError):
        server.new_session("x")
    assert open_descriptors() == before


def test_no_descriptor_leaks_on_start_failure(no_tmux):
    server = termloom.Server("/s")
    before = open_descriptors()
    for _ in range(5):
        with pytest.raises(RuntimeError):
            server.new_session("x")
        server.sessions
    assert open_descriptors() == before


def children_of(pid):
    out = subprocess.run(["ps", "-o", "pid=,stat=,args=", "--ppid", str(pid)],
                         capture_output=True, text=True).stdout
    return [line.split(None, 2) for line in out.splitlines()]


INTERRUPTED = textwrap.dedent("""
    import os, sys, time, subprocess
    import termloom
    print("ready", flush=True)
    started = time.monotonic()
    try:
        termloom.Server("/s").{call}
        print("returned", flush=True)
    except KeyboardInterrupt:
        took = time.monotonic() - started
        kids = subprocess.run(["ps", "-o", "pid=,stat=", "--ppid", str(os.getpid())],
                              capture_output=True, text=True).stdout.split()
        print("interrupted", round(took, 1), "children:", len(kids) // 2 - 1, flush=True)
""")


@pytest.mark.parametrize("call", ["is_running", "new_session('w')", "sessions"])
def test_ctrl_c_ends_a_stuck_call(fake_tmux, call):
    fake_tmux.always(sleep=60)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED.format(call=call)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + 10
        while not fake_tmux.calls and time.monotonic() < deadline:
            time.sleep(0.02)
        assert fake_tmux.calls, "the fake tmux never started"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
    # Only the ps run that counts children remains: the stuck tmux was killed and reaped.
    assert out.startswith("interrupted") and out.endswith("children: 0\n"), out


def install_script(fake_bin, text):
    """Puts an executable script first on PATH as tmux."""
    path = os.path.join(fake_bin.path, "tmux")
    with open(path, "w") as f:
        f.write(textwrap.dedent(text).lstrip())
    os.chmod(path, 0o755)


def process_state(pid):
    """The state letter of a process (R, S, Z, ...), or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return None


def ends_soon(pid, within=2.0):
    # A killed process reparented to an init that doesn't reap stays a zombie.
    deadline = time.monotonic() + within
    while process_state(pid) not in (None, "Z", "X"):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


SIGNALLED = textwrap.dedent("""
    import os, signal, subprocess, threading
    import termloom
    if {elsewhere}:
        # Blocked here, SIGINT is taken by a thread that only sleeps: it sets
        # Python's flag without cutting short any system call of the run.
        threading.Thread(target=threading.Event().wait, daemon=True).start()
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])
    print("ready", flush=True)
    try:
        termloom.Server().{call}
        print("returned", flush=True)
    except KeyboardInterrupt:
        kids = subprocess.run(["ps", "-o", "pid=", "--ppid", str(os.getpid())],
                              capture_output=True, text=True).stdout.split()
        print("interrupted, children:", len(kids) - 1, flush=True)
""")


def interrupt(call, started, elsewhere=False):
    """Runs a Server call in a fresh Python, sends it SIGINT once `started()`
    holds, and returns its report and the seconds from the signal to it."""
    return interrupt_child([sys.executable, "-c", SIGNALLED.format(call=call, elsewhere=elsewhere)],
                           started)


@pytest.mark.parametrize("call, stream", [("sessions", 1), ("new_session('w')", 2)])
def test_ctrl_c_ends_a_call_while_tmux_keeps_writing(fake_bin, tmp_path, call, stream):
    started = tmp_path / "started"
    install_script(fake_bin, f"""
        #!{sys.executable} -S
        import os, time
        open({str(started)!r}, "w").close()
        end = time.monotonic() + 5
        while time.monotonic() < end:
            os.write({stream}, b"line\\n")
            time.sleep(0.01)
    """)
    report, took = interrupt(call, started.exists, elsewhere=True)
    assert report == "interrupted, children: 0\n"
    assert took < 4  # not when the stream ends, 5 s after the start


@pytest.mark.parametrize("call", ["is_running", "sessions"])
def test_ctrl_c_ends_what_tmux_started(fake_bin, tmp_path, call):
    pid_file = tmp_path / "pid"
    # A wrapper whose own child writes its pid, then sleeps.
    install_script(fake_bin, f"""
        #!/bin/sh
        sh -c 'echo $$ > "$0.new" && mv "$0.new" "$0" && exec sleep 30' {pid_file}
    """)
    report, _ = interrupt(call, pid_file.exists)
    grandchild = int(pid_file.read_text())
    try:
        assert report == "interrupted, children: 0\n"
        assert ends_soon(grandchild), "the wrapper's child was left running"
    finally:
        if not ends_soon(grandchild, within=0):
            os.kill(grandchild, signal.SIGKILL)


ON_A_TERMINAL = textwrap.dedent("""
    import fcntl, sys, termios
    import termloom
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)  # our terminal now, with us in the foreground
    server = termloom.Server(sys.argv[1])
    print([server.new_session("a").name, server.new_session("b").name, server.start(),
           server.is_running, server.has_session("a"), server.sessions[0].kill(), server.kill()])
""")


def test_status_runs_with_the_controlling_terminal_as_input(real_tmux):
    # tmux runs in a background process group: were it to read or set up the
    # terminal it inherits as input, it would be stopped and the run would hang.
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-c", ON_A_TERMINAL, real_tmux.socket],
                              stdin=follower, capture_output=True, text=True,
                              start_new_session=True, timeout=20)
    finally:
        os.close(leader)
        os.close(follower)
    assert done.stdout == "['a', 'b', True, True, True, True, True]\n", done.stderr


OUT_OF_MEMORY = textwrap.dedent("""
    import os, resource
    import termloom
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
    try:
        termloom.Server().sessions
        print("returned")
    except MemoryError:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        try:
            print("left behind:", os.waitpid(-1, os.WNOHANG))
        except ChildProcessError:
            print("no children")
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer ends a process that runs out of memory instead of raising")
def test_a_failed_read_leaves_no_child(fake_bin):
    install_script(fake_bin, """
        #!/bin/sh
        exec head -c 4000000000 /dev/zero
    """)
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True,
                          text=True, timeout=60)
    assert done.stdout == "no children\n", done.stderr


LOST = (r"^could not read the exit status of tmux: No child processes \(os error 10\); "
        r"it was reaped elsewhere \(is SIGCHLD ignored\?\)$")


@pytest.mark.parametrize("call", [
    lambda server: server.is_running,
    lambda server: server.has_session("a"),
    lambda server: server.sessions,
    lambda server: server.new_session("b"),
    lambda server: server.kill(),
    lambda server: termloom.Server().current_socket,
])
def test_an_exit_status_reaped_elsewhere_is_an_error(real_tmux, call):
    real_tmux.tmux("new-session", "-d", "-s", "a")
    # The kernel then reaps every child itself, before anyone can wait for it.
    previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    try:
        with pytest.raises(RuntimeError, match=LOST):
            call(real_tmux.server)
    finally:
        signal.signal(signal.SIGCHLD, previous)


def test_tmux_gets_only_the_standard_descriptors(fake_bin, tmp_path):
    seen = tmp_path / "fds"
    install_script(fake_bin, f"""
        #!{sys.executable} -S
        import os
        fds = os.listdir("/proc/self/fd")
        # The listing's own descriptor is closed by now.
        line = " ".join(sorted(fd for fd in fds if os.path.exists("/proc/self/fd/" + fd)))
        with open({str(seen)!r}, "a") as f:
            f.write(line + "\\n")
        print("x")  # the name of a new session
    """)
    r, w = os.pipe()
    os.set_inheritable(w, True)
    try:
        server = termloom.Server()
        server.is_running
        server.sessions
        server.new_session("x")
    finally:
        os.close(r)
        os.close(w)
    assert seen.read_text().splitlines() == ["0 1 2"] * 3


def test_a_server_keeps_no_descriptor_of_the_host(real_tmux):
    r, w = os.pipe()
    os.set_inheritable(w, True)
    try:
        try:
            real_tmux.server.new_session("x")  # starts the server
        finally:
            os.close(w)
        readable, _, _ = select.select([r], [], [], 5)
        assert readable and os.read(r, 1) == b"", "someone still holds the write end"
    finally:
        os.close(r)
