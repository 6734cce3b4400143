"""Pane.run against real shells: exact output and status, state that persists,
the history, time limits, and the shell or its output going away."""
import concurrent.futures
import re
import shutil
import subprocess
import threading
import time

import pytest

from conftest import BASH, wait_for, wait_for_prompt

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
                                           r"it goes on in pane %\d+; last screen:\n"):
        bash_pane.run("sleep 1; echo late", timeout=0.2)
    assert "\nlate\n" in bash_pane.wait_for("\nlate\n").text


def test_timeout_before_the_shell_read_its_line_leaves_the_command_to_run(bash_pane):
    # A DEBUG trap, run once, holds the shell for a second before it reads
    # the typed line's wrapper: the run's time is out before that.
    trap = "trap 'trap - DEBUG; sleep 1' DEBUG"
    bash_pane.send_text(trap, enter=True)
    wait_for_prompt(bash_pane, above="$ " + trap)
    with pytest.raises(TimeoutError, match="^\"echo late\" did not finish within 0.2 seconds"):
        bash_pane.run("echo late", timeout=0.2)
    assert "\nlate\n" in bash_pane.wait_for("\nlate\n").text
    assert bash_pane.run("echo next", timeout=30).output == "next"


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


@pytest.mark.parametrize("limit, lines", [(50, 500), (3000, 2000), (10, 20000)])
def test_output_longer_than_the_history(real_tmux, limit, lines):
    # The output comes from the pane's output stream: no history limit cuts it.
    real_tmux.tmux("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit", str(limit),
                   ";", "new-session", "-d", "-s", "h", SHELLS["dash"])
    pane = real_tmux.server.target_pane("=h:0.0")
    pane.wait_for("$")
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


@pytest.mark.parametrize("command", [
    "echo )", "if", "fi", "echo 'unterminated", "echo $(", "for", "case x in",
    "cat <<EOF\nno end", "echo ok\nfi\necho not reached",
])
def test_end_line_after_any_syntax_error(shell_pane, command):
    pane, _ = shell_pane
    result = pane.run(command, timeout=30)
    assert result.command == command
    if not command.startswith("cat"):  # an unended here-document ends at the end of the text
        assert result.status != 0
    assert pane.run("echo after").output == "after"


def test_signal_status_of_a_killed_command(shell_pane):
    pane, _ = shell_pane
    assert pane.run("sh -c 'kill -KILL $$'").status == 128 + 9


def test_half_typed_input_is_erased(shell_pane):
    pane, _ = shell_pane
    pane.send_text("ec")
    pane.wait_for("ec")
    assert (pane.run("echo hi", timeout=30).output, pane.run("echo $((1+1))").status) == ("hi", 0)


def test_half_typed_input_in_bash_vi_insert_mode(bash_pane):
    bash_pane.run("set -o vi")
    bash_pane.send_text("ec")
    bash_pane.wait_for("ec")
    assert bash_pane.run("echo hi", timeout=30).output == "hi"


@pytest.mark.parametrize("size", [5_000, 50_000])
def test_long_command_without_a_line_editor(plain_pane, size):
    command = "echo " + "x" * size
    assert plain_pane.run(command, timeout=60).output == "x" * size
    assert plain_pane.run("echo one").output == "one"


def test_here_document_longer_than_a_tmux_message(shell_pane):
    pane, _ = shell_pane
    body = [f"line {i} " + "y" * 60 for i in range(320)]  # about 22 KB
    result = pane.run("cat <<'EOF'\n" + "\n".join(body) + "\nEOF", timeout=60)
    assert (result.status, result.output) == (0, "\n".join(body))


def test_screen_and_timeout_show_a_short_typed_line(bash_pane):
    bash_pane.run("echo " + "z" * 400)
    longest = max(len(line) for line in bash_pane.screen().text.split("\n") if "z" not in line)
    assert longest < 60
    with pytest.raises(TimeoutError) as caught:
        bash_pane.run("sleep 2", timeout=0.3)
    assert "__tl" not in str(caught.value) and "printf" not in str(caught.value)


@pytest.mark.parametrize("clear", ["clear", "printf '\\033[H\\033[2J\\033[3J'", "tput clear"])
def test_command_that_clears_the_history(bash_pane, clear):
    bash_pane.run("seq 1 100")
    result = bash_pane.run(f"{clear}; echo hi")
    assert (result.status, result.output) == (0, "hi")


@pytest.mark.parametrize("move", ["printf '\\033[H'", "tput cup 2 0", "printf '\\033[1;5r\\033[H'"])
def test_cursor_moved_above_older_text(shell_pane, move):
    pane, _ = shell_pane
    pane.run("seq 1000 1040")  # old text on every row
    result = pane.run(f"{move}; echo hi", timeout=10)
    assert result.status == 0
    assert result.output.split("\n")[-1].startswith("hi")  # echo leaves the rest of the row
    assert pane.run("printf '\\033[r'; echo next").output.split("\n")[-1] == "next"


def test_two_threads_take_turns(shell_pane):
    pane, _ = shell_pane
    def job(i):
        return [pane.run(f"echo {i}-{k}; sleep 0.05; echo done", timeout=60).output for k in range(5)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(job, [1, 2]))
    assert results == [[f"{i}-{k}\ndone" for k in range(5)] for i in (1, 2)]


def test_turn_waits_within_the_timeout(bash_pane):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        other = pool.submit(bash_pane.run, "sleep 60")
        wait_for(lambda: bash_pane.current_command == "sleep")  # the other run has its turn
        with pytest.raises(TimeoutError, match=r"^\"true\" did not start within 0.3 seconds: another run "
                                               r"on pane %\d+ went on$"):
            bash_pane.run("true", timeout=0.3)
        # Told by the other run, not by a clock: the wait ended while it went on.
        assert not other.done()
        bash_pane.send_keys("C-c")
        assert other.result(timeout=30).status == 128 + 2


def test_process_replaced_during_a_run(bash_pane):
    def replace():
        wait_for(lambda: bash_pane.current_command == "sleep")  # the run is under way
        bash_pane.respawn(kill=True)
    other = threading.Thread(target=replace)
    other.start()
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"exited while running \"sleep 30\"$"):
        bash_pane.run("sleep 30")
    assert time.monotonic() - started < 5
    other.join()


def test_copy_mode_is_left_first(real_tmux, bash_pane):
    real_tmux.tmux("copy-mode", "-t", bash_pane.pane_id)
    assert bash_pane.run("echo hi", timeout=30).output == "hi"


@pytest.mark.parametrize("program, name, leave, ready", [("cat", "cat", "C-c", None),
                                                         ("sleep 30", "sleep", "C-c", None),
                                                         ("python3 -q", "python3", "C-d", ">>> ")])
def test_not_a_shell_in_the_foreground(bash_pane, program, name, leave, ready):
    bash_pane.send_text(program + "\n")
    wait_for(lambda: bash_pane.current_command == name)
    if ready:  # its prompt: it reads its terminal now, and takes the key that ends it
        bash_pane.wait_for(ready, timeout=30)
    with pytest.raises(RuntimeError, match=f"^pane {bash_pane.pane_id} is running {name}, not a shell at its prompt$"):
        bash_pane.run("echo hi", timeout=5)
    bash_pane.send_keys(leave)
    wait_for(lambda: bash_pane.current_command == "bash")
    assert bash_pane.run("echo back", timeout=30).output == "back"


@pytest.mark.parametrize("flags", ["-x", "-v", "-xv"])
def test_traces_of_our_own_lines_stay_out(shell_pane, flags):
    pane, shell = shell_pane
    pane.run(f"set {flags}")
    result = pane.run("echo hi", timeout=30)
    assert result.status == 0
    assert "hi" in result.output.split("\n")
    assert "tl" not in result.output and "printf" not in result.output and ". /" not in result.output
    # zsh, ksh93, mksh and posh trace where our lines' traces cannot be
    # kept out: there the command runs untraced.
    traced = "x" in flags and shell in ("bash", "dash", "busybox")
    assert pane.run("case $- in *x*) echo on;; *) echo off;; esac", timeout=30).output.split("\n")[-1] == (
        "on" if traced else "off")
    pane.run("set +xv")
    assert pane.run("echo plain").output == "plain"


def test_functions_and_aliases_of_the_names_we_use(shell_pane):
    pane, shell = shell_pane
    names = ["printf", "print", "set", "unset", "command", "builtin", "."]
    pane.run("; ".join(f"alias {n}='sleep 100' 2>/dev/null" for n in names) + "; :", timeout=20)
    if shell != "posh":  # posh refuses to define functions of these names
        pane.run("printf() { sleep 100; }; set() { sleep 100; }; unset() { sleep 100; }", timeout=20)
    assert pane.run("echo hi", timeout=20).output == "hi"
