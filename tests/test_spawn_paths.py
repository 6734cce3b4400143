"""Both ways of starting tmux (posix_spawn, and the fork used before glibc
2.34) give it the same: descriptors 0-2 only, even while another thread opens
inheritable ones, its own process group, clean signals, exec errors. And the
module asks glibc for nothing newer than 2.28."""
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import termloom
from elf64 import ElfFile

# Records what tmux got: its signal state, read by the shell itself (Python
# would ignore SIGPIPE first), then its descriptors and process group (the
# shell's own script descriptor is close-on-exec).
FAKE_TMUX = """\
#!/bin/sh
while read -r key value; do
    case $key in SigBlk:|SigIgn:) echo "$key $value" ;; esac
done < /proc/self/status >> '{record}'
exec '{python}' -S '{script}'
"""
RECORD_START = """\
import json, os
fds = os.listdir("/proc/self/fd")
fds = sorted(int(fd) for fd in fds if os.path.exists("/proc/self/fd/" + fd))
with open({record!r}, "a") as f:
    f.write(json.dumps({{"fds": fds, "leads_group": os.getpgrp() == os.getpid()}}) + "\\n")
"""

# Runs in a fresh interpreter, as the start path is chosen once per process.
HOST = textwrap.dedent("""
    import os, signal, sys, threading, termloom
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])
    stop = threading.Event()
    def open_inheritable():
        while not stop.is_set():
            r, w = os.pipe()
            os.set_inheritable(r, True)
            os.set_inheritable(w, True)
            os.close(r)
            os.close(w)
    opener = threading.Thread(target=open_inheritable)
    opener.start()
    try:
        server = termloom.Server()
        for _ in range(int(sys.argv[1])):
            server.is_running
    finally:
        stop.set()
        opener.join()
""")

PATHS = [pytest.param({}, id="posix_spawn"),
         pytest.param({"TERMLOOM_TEST_FORK_SPAWN": "1"}, id="fork")]


def bit(sig):
    return 1 << (sig - 1)


def run_host(env_extra, runs=20):
    env = dict(os.environ, **env_extra)
    return subprocess.run([sys.executable, "-c", HOST, str(runs)], env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("env_extra", PATHS)
def test_tmux_gets_a_clean_start_while_a_thread_opens_descriptors(env_extra, fake_bin, tmp_path):
    record = tmp_path / "record"
    tmux = os.path.join(fake_bin.path, "tmux")
    script = tmp_path / "record_start.py"
    script.write_text(RECORD_START.format(record=str(record)))
    with open(tmux, "w") as f:
        f.write(FAKE_TMUX.format(python=sys.executable, record=record, script=script))
    os.chmod(tmux, 0o755)
    done = run_host(env_extra)
    assert done.returncode == 0, done.stderr
    lines = record.read_text().splitlines()
    assert len(lines) == 3 * 20
    for blocked, ignored, started in zip(lines[0::3], lines[1::3], lines[2::3]):
        assert int(blocked.split()[1], 16) == 0
        assert int(ignored.split()[1], 16) & (bit(signal.SIGPIPE) | bit(signal.SIGXFSZ)) == 0
        assert json.loads(started) == {"fds": [0, 1, 2], "leads_group": True}


@pytest.mark.parametrize("env_extra", PATHS)
@pytest.mark.parametrize("mode, error", [(0o644, "Permission denied"), (None, "No such file")])
def test_exec_errors_are_reported(env_extra, mode, error, fake_bin, tmp_path):
    if mode is not None:
        tmux = os.path.join(fake_bin.path, "tmux")
        with open(tmux, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(tmux, mode)
    code = textwrap.dedent("""
        import glob, os, termloom
        try:
            termloom.Server().new_session("x")
        except RuntimeError as e:
            print(e)
        def parent_of(stat):
            try:  # other processes come and go meanwhile
                with open(stat) as f:
                    return f.read().rsplit(")", 1)[1].split()[1]
            except (FileNotFoundError, ProcessLookupError):
                return None
        children = [p for p in glob.glob("/proc/[0-9]*/stat") if parent_of(p) == str(os.getpid())]
        print("children:", len(children))
    """)
    env = dict(os.environ, PATH=fake_bin.path, **env_extra)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    message, children = done.stdout.splitlines()
    assert error in message
    assert children == "children: 0"  # the child that failed to exec was reaped


def glibc_version(name):
    return tuple(int(part) for part in name.removeprefix("GLIBC_").split("."))


def test_the_module_needs_no_glibc_newer_than_2_28():
    needed = ElfFile(termloom.__file__).required_versions()
    glibc = [v for versions in needed.values() for v in versions if v.startswith("GLIBC_")]
    assert glibc, needed
    too_new = [v for v in glibc if glibc_version(v) > (2, 28)]
    assert too_new == []
