"""Remote tmux hosts for the tests, started by the tests themselves.

- ``sshd``: a real OpenSSH server on 127.0.0.1 and a free port, with a
  throw-away host key and client key (keys only, no passwords, no other
  address), stopped after the session. Its sessions get a home of their own
  (an empty ~/.bashrc) and a TMUX_TMPDIR of their own, so neither the real
  home's start-up files nor the user's default tmux server is involved.
  Two more ports of the same server lead to faults: one whose shell prints
  a banner from its ~/.bashrc, one whose PATH has no tmux. The client side is
  an ssh_config (``ssh -F``), which TERMLOOM_SSH_COMMAND names; hosts "box",
  "banner" and "notmux" are aliases in it, "stranger" has an empty
  known-hosts file. ~/.ssh is never read nor written.
- ``docker_box``: a container without a container engine: a long-lived
  ``unshare --mount`` process whose mount namespace has a /tmp of its own
  (a tmpfs), entered by a test-only ``docker`` first on PATH (``nsenter``).
  A file the tests write in /tmp is not seen there, so nothing may rely on
  a file system shared with the tmux host.

TERMLOOM_TEST_ADDRESS_SCHEME=ssh (or docker) runs the real-tmux tests of a
selection of files against such a host (see conftest.py).
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

SSHD = shutil.which("sshd") or "/usr/sbin/sshd"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.02)


class Sshd:
    """The test sshd and the client configuration that reaches it."""

    def __init__(self, folder, tmux):
        self.folder = folder
        self.tmux_dir = os.path.dirname(tmux)
        self.ports = {"box": free_port(), "banner": free_port(), "notmux": free_port()}
        self.config = os.path.join(folder, "ssh_config")
        self.command = f"ssh -F {self.config}"
        self.address = "ssh://box"
        self.process = None
        self._write_files()

    def path(self, name):
        return os.path.join(self.folder, name)

    def _write_files(self):
        for key in ("host_key", "client_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.path(key)],
                           check=True, stdin=subprocess.DEVNULL)
        shutil.copy(self.path("client_key.pub"), self.path("authorized_keys"))
        homes = {"box": self.path("home"), "banner": self.path("banner-home"),
                 "notmux": self.path("home")}
        for home in set(homes.values()):
            os.makedirs(home, exist_ok=True)
        with open(os.path.join(homes["box"], ".bashrc"), "w"):
            pass
        with open(os.path.join(homes["banner"], ".bashrc"), "w") as f:
            f.write("echo 'Welcome to the test host'\n")
        tmpdir = self.path("tmux-tmpdir")
        os.makedirs(tmpdir, mode=0o700)
        # The tmux of the tests first; the shell's own tools after it.
        path = f"{self.tmux_dir}:/usr/local/bin:/usr/bin:/bin"
        with open(self.path("empty"), "w"):
            pass
        # A host without tmux: the shell's tools, and nothing else.
        os.makedirs(self.path("no-tmux-bin"))
        for tool in ["sh", "cat", "mkfifo", "rm", "mktemp", "uname", "test", "ps", "sleep", "ls"]:
            found = shutil.which(tool, path="/usr/bin:/bin")
            if found:
                os.symlink(found, os.path.join(self.path("no-tmux-bin"), tool))
        lines = ["ListenAddress 127.0.0.1"] + [f"Port {port}" for port in self.ports.values()] + [
            f"HostKey {self.path('host_key')}",
            f"PidFile {self.path('sshd.pid')}",
            f"AuthorizedKeysFile {self.path('authorized_keys')}",
            "PasswordAuthentication no",
            "KbdInteractiveAuthentication no",
            "PermitRootLogin prohibit-password",
            "UsePAM no",
            "StrictModes no",
            "MaxSessions 64",
            "MaxStartups 64",
            "LogLevel ERROR",
            f"SetEnv HOME={homes['box']} TMUX_TMPDIR={tmpdir} PATH={path} LANG=C.UTF-8",
            f"Match LocalPort {self.ports['banner']}",
            f"  SetEnv HOME={homes['banner']} TMUX_TMPDIR={tmpdir} PATH={path} LANG=C.UTF-8",
            f"Match LocalPort {self.ports['notmux']}",
            f"  SetEnv HOME={homes['notmux']} TMUX_TMPDIR={tmpdir} PATH={self.path('no-tmux-bin')}",
        ]
        with open(self.path("sshd_config"), "w") as f:
            f.write("\n".join(lines) + "\n")
        key = open(self.path("host_key.pub")).read().split()[:2]
        with open(self.path("known_hosts"), "w") as f:
            for port in self.ports.values():
                f.write(f"[127.0.0.1]:{port} {' '.join(key)}\n")
        client = []
        for alias, port in self.ports.items():
            client += [f"Host {alias}", f"  Port {port}"]
        client += ["Host stranger", f"  Port {self.ports['box']}",
                   f"  UserKnownHostsFile {self.path('empty')}",
                   "Host *", "  HostName 127.0.0.1", "  User root",
                   f"  IdentityFile {self.path('client_key')}", "  IdentitiesOnly yes",
                   f"  UserKnownHostsFile {self.path('known_hosts')}", "  GlobalKnownHostsFile /dev/null",
                   "  StrictHostKeyChecking yes", "  PasswordAuthentication no"]
        with open(self.config, "w") as f:
            f.write("\n".join(client) + "\n")

    def start(self):
        # sshd's own runtime folder, as its package makes it at boot.
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.process = subprocess.Popen([SSHD, "-D", "-e", "-f", self.path("sshd_config")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(self.path("sshd.log"), "wb"))

        def answers():
            if self.process.poll() is not None:
                raise AssertionError("sshd did not start: " + open(self.path("sshd.log")).read())
            done = subprocess.run(["ssh", "-F", self.config, "-o", "BatchMode=yes", "box", "true"],
                                  capture_output=True, stdin=subprocess.DEVNULL)
            return done.returncode == 0
        wait_until(answers)

    def session_processes(self):
        """The pids of sshd's per-connection processes (not the listener)."""
        listener = self.process.pid
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    parent = int(f.read().rsplit(b")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            if parent == listener:
                found.append(int(entry))
        return found

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pid in self.session_processes() if self.process else []:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


@pytest.fixture(scope="session")
def sshd():
    if not os.path.exists(SSHD) or shutil.which("ssh") is None:
        pytest.skip("OpenSSH (ssh and sshd) is not installed")
    if os.geteuid() != 0:
        pytest.skip("the test sshd runs as root")
    folder = tempfile.mkdtemp(prefix="tlsshd", dir="/tmp")
    tmux = os.environ.get("TERMLOOM_TEST_REAL_TMUX") or shutil.which("tmux") or "/usr/bin/tmux"
    server = Sshd(folder, tmux)
    server.start()
    old = os.environ.get("TERMLOOM_SSH_COMMAND")
    os.environ["TERMLOOM_SSH_COMMAND"] = server.command
    try:
        yield server
    finally:
        if old is None:
            os.environ.pop("TERMLOOM_SSH_COMMAND", None)
        else:
            os.environ["TERMLOOM_SSH_COMMAND"] = old
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


FAKE_DOCKER = """#!/bin/sh
# A test-only docker: `docker exec -i CONTAINER ARGV...` enters the mount
# namespace of the container's process. Nothing else.
[ "$1" = exec ] || {{ echo "fake docker: only exec" >&2; exit 125; }}
shift
[ "$1" = -i ] && shift
[ "$1" = {name} ] || {{ echo "Error response from daemon: No such container: $1" >&2; exit 1; }}
shift
exec nsenter --target {pid} --mount -- "$@"
"""


class DockerBox:
    """A container in all but name: a mount namespace with its own /tmp."""

    def __init__(self, folder):
        self.name = "tlbox"
        self.address = f"docker://{self.name}"
        self.bin = os.path.join(folder, "bin")
        os.makedirs(self.bin)
        ready = os.path.join(folder, "ready")
        # Commands entered there keep the caller's PATH: the tests' tmux.
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             f"mount -t tmpfs -o mode=1777 none /tmp && : > {ready}.ns && exec sleep infinity"],
            stdin=subprocess.DEVNULL, start_new_session=True)
        wait_until(lambda: os.path.exists(ready + ".ns") or self.process.poll() is not None)
        if self.process.poll() is not None:
            raise AssertionError("unshare --mount failed")
        script = os.path.join(self.bin, "docker")
        with open(script, "w") as f:
            f.write(FAKE_DOCKER.format(name=self.name, pid=self.process.pid))
        os.chmod(script, 0o755)

    def stop(self):
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()


@pytest.fixture(scope="session")
def docker_box():
    if shutil.which("unshare") is None or shutil.which("nsenter") is None or os.geteuid() != 0:
        pytest.skip("the test container needs unshare, nsenter and root")
    # Outside /tmp, so that the namespace sees the script's folder too.
    folder = tempfile.mkdtemp(prefix="tldock", dir="/var/tmp")
    box = DockerBox(folder)
    old_path = os.environ["PATH"]
    os.environ["PATH"] = box.bin + os.pathsep + old_path
    try:
        yield box
    finally:
        os.environ["PATH"] = old_path
        box.stop()
        shutil.rmtree(folder, ignore_errors=True)


__all__ = ["sshd", "docker_box", "Sshd", "DockerBox"]
