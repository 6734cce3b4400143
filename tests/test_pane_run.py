"""Pane.run against real shells: exact output and status, state that persists,
the history, time limits, and the shell or its output going away."""
import concurrent.futures
import re
import shutil
import subprocess
import threading
import time

import pytest

from conftest import BASH

ENV = "env -i PATH=/usr/bin:/bin HOME=/tmp TERM=screen PS1='$ '"
SHELLS = {
    "bash": BASH,
    "dash": f"{ENV} dash",
    # zsh's line editor reads bytes above 127 as characters of the locale.
    "zsh": f"{ENV} LANG=C.UTF-8 zsh -f",
    "ksh": f"{ENV} ksh",
    "mksh": f"{ENV} mksh",
    "busybox": f"{ENV} busybox sh",
    "posh": f"{ENV} posh",
}
# mksh and posh keep their own prompt for root.
PROMPT = re.compile(r"^[$#]", re.M)
# How each is started with -c, for the expected results.
SHELL_ARGV = {"busybox": ["busybox", "sh"]}
# Shells that read the terminal's line as it is, without a line editor.
NO_EDITOR = {"dash": SHELLS["dash"], "bash --noediting": BASH + " --noediting", "posh": SHELLS["posh"]}

# Commands whose output in a pane is what the same shell prints when it runs
# them with -c: no tabs or carriage returns, which the terminal would redraw.
COMMANDS = [
    "true", "false", "(exit 255)",
    "printf 'a\\nb'", "printf 'a\\n\\n'", "printf ''", "printf 'no final line feed'",
    "echo 'x;y' && echo z # a comment",
    "cat <<'EOF'\nhere $doc\nEOF",
    "for i in 1 2 3\ndo echo line $i\ndone",
    "printf '%0300d\\n' 0",
    "printf 'tl0000000000000000+\\ntl0000000000000000=0\\n'",
    "echo é€😀", "echo \"$(echo sub)\"", "echo out; echo err >&2", "seq 1 200",
]


def expected(shell, command):
    """(output, status) as run() gives them: what `shell -c` prints, without
    the line feed that ends its last line."""
    done = subprocess.run([*SHELL_ARGV.get(shell, [shell]), "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env={"PATH": "/usr/bin:/bin"})
    out = done.stdout.decode()
    return out[:-1] if out.endswith("\n") else out, done.returncode if done.returncode >= 0 else 128 - done.returncode


def start_shell(real_tmux, name, command):
    if shutil.which(name.split()[0]) is None:
        pytest.skip(f"{name} is not installed")
    real_tmux.tmux("new-session", "-d", "-s", "sh", "-x", "120", "-y", "30", command)
    real_tmux.tmux("new-session", "-d", "-s", "keep")  # the server outlives the shell
    pane = real_tmux.server.target_pane("=sh:0.0")
    pane.wait_for(PROMPT)
    return pane


@pytest.fixture(params=list(SHELLS))
def shell_pane(request, real_tmux):
    return start_shell(real_tmux, request.param, SHELLS[request.param]), request.param


@pytest.fixture(params=list(NO_EDITOR))
def plain_pane(request, real_tmux):
    return start_shell(real_tmux, request.param, NO_EDITOR[request.param])


def test_output_and_status(shell_pane):
    pane, shell = shell_pane
    for command in COMMANDS:
        result = pane.run(command, timeout=30)
        assert (result.output, result.status) == expected(shell, command), command
        assert result.command == command


def test_signal_status(shell_pane):
    pane, _ = shell_pane
    assert pane.run("sh -c 'kill -TERM $$'").status == 128 + 15


def test_state_persists(shell_pane):
    shell_pane, _ = shell_pane
    assert shell_pane.run("cd /tmp && X=5 && f() { echo \"f$1\"; }").status == 0
    assert shell_pane.run("echo \"$(pwd) $X $(f 1)\"").output == "/tmp 5 f1"
    assert shell_pane.run("echo \"[${__tl_run-}]\"").output == "[]"  # no bookkeeping of ours stays


def test_repr(shell_pane):
    shell_pane, _ = shell_pane
    assert repr(shell_pane.run("echo 'a\"b'; exit_with() { return $1; }; exit_with 3")) == (
        'CommandResult(command="echo \'a\\"b\'; exit_with() { return $1; }; exit_with 3", status=3, '
        'output="a\\"b")')


def test_history_keeps_the_callers_command(bash_pane):
    bash_pane.run("echo one")
    assert bash_pane.last_command.read() == "echo one"
    bash_pane.run("echo 'two'\necho three")
    listed = bash_pane.run("fc -ln -2 -2").output  # the entry before its own
    assert [line.strip() for line in listed.split("\n")] == ["echo 'two'", "echo three"]


def test_syntax_error_is_the_commands_failure(shell_pane):
    # dash would abandon the rest of the typed line: its end line too.
    pane, shell = shell_pane
    result = pane.run("echo )", timeout=30)
    # zsh gives a parse error in a sourced file status 126.
    assert result.status == (126 if shell == "zsh" else expected(shell, "echo )")[1]) != 0
    assert "error" in result.output.lower()
    assert pane.run("echo after").output == "after"


def test_timeout_leaves_the_command_running(bash_pane):
    with pytest.raises(TimeoutError, match=r"^\"sleep 1; echo late\" did not finish within 0.2 seconds; "
                                           r"last screen:\n"):
        bash_pane.run("sleep 1; echo late", timeout=0.2)
    assert "\nlate\n" in bash_pane.wait_for("\nlate\n").text


def test_shell_exiting_is_an_error_at_once(shell_pane):
    shell_pane, _ = shell_pane
    with pytest.raises(RuntimeError, match=f"^pane {shell_pane.pane_id} exited while running \"exit 3\"$"):
        shell_pane.run("exit 3", timeout=60)


def test_last_shell_exiting_with_its_server(real_tmux):
    real_tmux.tmux("new-session", "-d", "-s", "only", SHELLS["dash"])
    pane = real_tmux.server.target_pane("=only:0.0")
    pane.wait_for("$")
    with pytest.raises(RuntimeError, match="exited while running"):
        pane.run("exit", timeout=60)


@pytest.mark.parametrize("limit, lines, lost", [(50, 500, True), (3000, 2000, False)])
def test_output_longer_than_the_history(real_tmux, limit, lines, lost):
    # The limit holds for panes made after it is set.
    real_tmux.tmux("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit", str(limit),
                   ";", "new-session", "-d", "-s", "h", SHELLS["dash"])
    pane = real_tmux.server.target_pane("=h:0.0")
    pane.wait_for("$")
    if lost:
        with pytest.raises(RuntimeError, match=r"^output lost: \"seq 1 500\" printed more than the pane's "
                                               r"history holds \(exit status 0\)"):
            pane.run(f"seq 1 {lines}")
    else:
        assert pane.run(f"seq 1 {lines}").output == "\n".join(str(n) for n in range(1, lines + 1))
    assert pane.run("echo next").output == "next"


def test_output_when_the_history_is_full(real_tmux):
    # A full history stops growing (tmux drops old lines), so its size no
    # longer tells how far back the output began.
    real_tmux.tmux("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit", "100",
                   ";", "new-session", "-d", "-s", "h", "-x", "80", "-y", "24", SHELLS["dash"])
    pane = real_tmux.server.target_pane("=h:0.0")
    pane.wait_for("$")
    for lines in [90, 90, 60, 70, 50]:
        assert pane.run(f"seq 1 {lines}").output == "\n".join(str(n) for n in range(1, lines + 1))


def test_bad_timeout_runs_nothing(fake_tmux, Pane):
    with pytest.raises(ValueError, match="seconds must be zero or more"):
        Pane("s", 0, 0, "%1", "t", None).run("true", timeout=-0.5)
    assert fake_tmux.calls == []
