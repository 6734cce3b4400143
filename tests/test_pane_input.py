"""Pane input and inspection: send_keys, clear, capture, is_alive, current command."""
import pytest

from conftest import wait_for, wait_for_prompt


def screen_lines(pane):
    return [line for line in (pane.capture() or "").splitlines() if line]


class TestAgainstRealTmux:
    def test_send_keys_and_capture(self, bash_pane):
        assert bash_pane.send_keys("echo 'a;b'  $((6*7))", enter=True) is True
        wait_for_prompt(bash_pane, above="a;b 42")  # the output and the whole prompt after it
        text = bash_pane.capture()
        assert text.startswith("$ echo 'a;b'  $((6*7))\na;b 42\n$") and text.endswith("\n")
        assert len(text.splitlines()) == 30  # the whole screen, blank lines included
        assert bash_pane.capture(trim=True) == "$ echo 'a;b'  $((6*7))\na;b 42\n$"

    @pytest.mark.parametrize("keys, typed", [
        ("x;", "x;"), ("-n", "-n"), ("--", "--"), ("#{pane_id}", "#{pane_id}"), ("", ""),
    ])
    def test_keys_are_typed_as_given(self, bash_pane, keys, typed):
        assert bash_pane.send_keys(keys) is True
        bash_pane.send_keys("|")  # a visible end, also when nothing was typed
        wait_for(lambda: screen_lines(bash_pane)[-1] == "$ " + typed + "|")

    def test_key_names_are_keys(self, bash_pane):
        bash_pane.send_keys("sleep 30", enter=True)
        wait_for(lambda: bash_pane.current_command == "sleep")
        bash_pane.send_keys("C-c")
        wait_for(lambda: bash_pane.current_command == "bash")

    def test_clear_first_and_clear(self, bash_pane):
        for i in range(40):
            bash_pane.send_keys(f"echo line{i}", enter=True)
        wait_for(lambda: "line39" in screen_lines(bash_pane))
        assert "line0" in bash_pane.capture(full=True)
        assert bash_pane.send_keys("echo fresh", enter=True, clear_first=True) is True
        wait_for(lambda: screen_lines(bash_pane)[:2] == ["$ echo fresh", "fresh"])
        assert bash_pane.clear is True
        assert "line0" not in bash_pane.capture(full=True)

    def test_scroll_back(self, bash_pane):
        bash_pane.send_keys("seq 1 100", enter=True)
        # The prompt after 100 scrolls the screen once more: wait for it too.
        wait_for_prompt(bash_pane, above="100")
        visible = bash_pane.capture(trim=True).splitlines()
        assert bash_pane.capture(trim=True, scroll_back=0).splitlines() == visible
        assert bash_pane.capture(trim=True, scroll_back=5).splitlines() == [
            str(n) for n in range(int(visible[0]) - 5, int(visible[0]))] + visible
        full = bash_pane.capture(full=True, scroll_back=1).splitlines()
        assert full[:2] == ["$ seq 1 100", "1"]

    def test_inspection(self, bash_pane):
        assert bash_pane.is_alive is True
        assert bash_pane.current_command == "bash"
        assert bash_pane.current_commandline == "bash --norc --noprofile"
        bash_pane.send_keys("sleep 30", enter=True)
        wait_for(lambda: bash_pane.current_command == "sleep")
        assert bash_pane.current_commandline == "bash --norc --noprofile"  # the first process

    def test_dead_pane_kept_open(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "s", "sleep 1")
        real_tmux.tmux("set-option", "-w", "-t", "=s:", "remain-on-exit", "on")
        pane = real_tmux.server.sessions[0].windows[0].panes[0]
        wait_for(lambda: pane.is_alive is False)

    def test_closed_pane(self, bash_pane):
        gone = bash_pane.split()
        gone.kill()
        assert gone.capture() is None
        assert gone.current_command is None and gone.current_commandline is None
        with pytest.raises(RuntimeError) as error:
            gone.is_alive  # display-message alone would answer for no pane at all
        assert str(error.value) == f"tmux display-message failed: can't find pane: {gone.pane_id}"
        for call, prefix in [(lambda: gone.send_keys("x"), "send keys failed: "),
                             (lambda: gone.send_keys("x", clear_first=True), "tmux clear failed: "),
                             (lambda: gone.clear, "tmux clear-history failed: ")]:
            with pytest.raises(RuntimeError) as error:
                call()
            assert str(error.value) == prefix + f"can't find pane: {gone.pane_id}"


class TestArgumentVectors:
    def test_send_keys(self, fake_tmux, Pane):
        pane = Pane("s", 0, 0, "%3", "t", "/x")
        pane.send_keys("ls -l")
        pane.send_keys("ls", enter=True)
        pane.send_keys("-x;", clear_first=True)
        pane.send_keys("")
        tmux = ["tmux", "-S", "/x", "send-keys", "-t", "%3"]
        assert fake_tmux.calls == [tmux + ["ls -l"], tmux + ["ls", "Enter"], tmux + ["C-l"],
                                   tmux + ["--", "-x\\;"], tmux + [""]]

    def test_clear_first_failure_sends_nothing(self, fake_tmux, Pane):
        fake_tmux.respond(stderr="no\n", code=1)
        with pytest.raises(RuntimeError, match="^tmux clear failed: no$"):
            Pane("s", 0, 0, "%3", "t", None).send_keys("x", clear_first=True)
        assert len(fake_tmux.calls) == 1

    @pytest.mark.parametrize("kwargs, extra", [
        ({}, []),
        ({"scroll_back": 0}, ["-S", "-0"]),
        ({"scroll_back": 200}, ["-S", "-200"]),
        ({"scroll_back": 4294967295}, ["-S", "-4294967295"]),
        ({"full": True}, ["-S", "-"]),
        ({"full": True, "scroll_back": 10}, ["-S", "-"]),
        ({"trim": True, "scroll_back": None}, []),
    ])
    def test_capture_vectors(self, fake_tmux, Pane, kwargs, extra):
        Pane("s", 0, 0, "%3", "t", None).capture(**kwargs)
        assert fake_tmux.calls == [["tmux", "capture-pane", "-p", "-t", "%3"] + extra]

    @pytest.mark.parametrize("screen, trimmed", [
        ("\n\n  third  \n\n", "  third  "),
        ("\n \t\n\u3000\n", ""),
        ("", ""),
        ("a\n\n  \nb \n\n", "a\n\n  \nb "),
        ("a\r\nb\n", "a\nb"),
    ])
    def test_capture_trim(self, fake_tmux, Pane, screen, trimmed):
        fake_tmux.respond(stdout=screen).respond(stdout=screen)
        pane = Pane("s", 0, 0, "%3", "t", None)
        assert pane.capture() == screen
        assert pane.capture(trim=True) == trimmed

    def test_capture_none_on_failure(self, fake_tmux, Pane):
        fake_tmux.respond(stdout="x\n", code=1)
        assert Pane("s", 0, 0, "%3", "t", None).capture() is None

    @pytest.mark.parametrize("stdout, alive", [("0\n", True), (" 0 \n", True), ("1\n", False), ("", False),
                                               ("00\n", False)])
    def test_is_alive(self, fake_tmux, Pane, stdout, alive):
        fake_tmux.respond(stdout=stdout)
        assert Pane("s", 0, 0, "%3", "t", None).is_alive is alive
        assert fake_tmux.calls == [["tmux", "has-session", "-t", "%3", ";", "display-message", "-p",
                                    "-t", "%3", "#{pane_dead}"]]

    @pytest.mark.parametrize("stdout, code, command", [
        ("vim\n", 0, "vim"), (" \t\n", 0, None), ("", 0, None), ("vim\n", 1, None),
    ])
    def test_current_command(self, fake_tmux, Pane, stdout, code, command):
        fake_tmux.respond(stdout=stdout, code=code)
        assert Pane("s", 0, 0, "%3", "t", None).current_command == command
        assert fake_tmux.calls[0][-1] == "#{pane_current_command}"

    def test_current_commandline(self, fake_bin, Pane):
        tmux, ps = fake_bin.program("tmux"), fake_bin.program("ps")
        tmux.respond(stdout=" 4242 \n")
        ps.respond(stdout="  vim -R notes.txt \n")
        pane = Pane("s", 0, 0, "%3", "t", "/x")
        assert pane.current_commandline == "vim -R notes.txt"
        assert tmux.calls == [["tmux", "-S", "/x", "has-session", "-t", "%3", ";", "display-message",
                               "-p", "-t", "%3", "#{pane_pid}"]]
        assert ps.calls == [["ps", "-p", "4242", "-o", "args="]]

    @pytest.mark.parametrize("tmux_answer, ps_answer, ps_runs", [
        (dict(stdout="\n"), dict(stdout="x\n"), 0),
        (dict(stdout="1\n", code=1), dict(stdout="x\n"), 0),
        (dict(stdout="1\n"), dict(stdout="x\n", code=1), 1),
        (dict(stdout="1\n"), dict(stdout=" \n"), 1),
    ])
    def test_current_commandline_none(self, fake_bin, Pane, tmux_answer, ps_answer, ps_runs):
        tmux, ps = fake_bin.program("tmux"), fake_bin.program("ps")
        tmux.respond(**tmux_answer)
        ps.respond(**ps_answer)
        assert Pane("s", 0, 0, "%3", "t", None).current_commandline is None
        assert len(ps.calls) == ps_runs

    def test_no_tmux(self, no_tmux, Pane):
        pane = Pane("s", 0, 0, "%3", "t", None)
        assert (pane.capture(), pane.current_command, pane.current_commandline) == (None, None, None)
        for call in [lambda: pane.send_keys("x"), lambda: pane.clear, lambda: pane.is_alive]:
            with pytest.raises(RuntimeError, match=r"^failed to run tmux: No such file"):
                call()
