"""Session.new_window, Window.resize and Window.select_layout."""
import os

import pytest

from conftest import wait_for

LIST = "#{window_index}|#{window_name}"


def checksummed(cells):
    """A layout string: tmux's 16-bit checksum of the cells, then the cells."""
    total = 0
    for byte in cells.encode():
        total = ((total >> 1) + ((total & 1) << 15) + byte) & 0xFFFF
    return f"{total:04x},{cells}"


def current_window(real_tmux, session):
    return real_tmux.tmux("display-message", "-p", "-t", f"={session}:", "#{window_index}").strip()


class TestNewWindow:
    def test_next_free_index_not_current(self, real_tmux):
        session = real_tmux.server.new_session("s")
        first = session.new_window()
        second = session.new_window(name="two")
        # Unnamed windows take their program's name, which tmux may change meanwhile.
        assert [w.index for w in session.windows] == [0, 1, 2] and session.windows[2].name == "two"
        assert first.index == 1
        assert (second.session_name, second.index, second.socket) == ("s", 2, real_tmux.socket)
        assert current_window(real_tmux, "s") == "0"
        assert first.kill() is True
        assert session.new_window().index == 1  # the gap is free again
        real_tmux.tmux("set-option", "-g", "base-index", "5")
        assert session.new_window().index == 5

    @pytest.mark.parametrize("name", ["#{session_name}", "-n", "end;", "a|b", "tab\there", "é ", "##"])
    def test_names_as_tmux_stored_them(self, real_tmux, name):
        session = real_tmux.server.new_session("s")
        window = session.new_window(name=name)
        listed = real_tmux.tmux("list-windows", "-t", "=s", "-F", LIST).splitlines()[-1]
        assert listed == f"{window.index}|{window.name}" and window.name == name

    @pytest.mark.shared_files  # the folder is this machine's
    def test_command_and_directory(self, real_tmux):
        session = real_tmux.server.new_session("s")
        folder = os.path.join(real_tmux.folder, "d #{x} -")
        os.mkdir(folder)
        window = session.new_window(command="pwd; printf 'r%s\\n' $((6*7)); exec cat", directory=folder)
        pane = window.panes[0]
        wait_for(lambda: "r42" in (pane.capture() or ""))
        assert pane.capture().split("\n")[:2] == [folder, "r42"]
        assert window.name != "bash"  # tmux names it after the command

    def test_a_command_starting_with_a_dash(self, fake_tmux, Session):
        fake_tmux.respond(stdout="$2\n").respond(stdout="3|x\n")  # the session's look-up, new-window
        folder = os.path.join(fake_tmux.folder, "d#")
        os.mkdir(folder)
        window = Session("s", "/x").new_window(name="-w", command="-c", directory=folder)
        assert (window.index, window.name, window.session_name, window.socket) == (3, "x", "s", "/x")
        assert fake_tmux.calls == [
            ["tmux", "-S", "/x", "list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}"],
            ["tmux", "-S", "/x", "new-window", "-d", "-t", "$2:", "-P", "-F", LIST,
             "-n", "-w", "-c", folder.replace("#", "##"), "--", "-c"]]

    @pytest.mark.parametrize("missing", ["/no/such/folder", "relative-missing", ""])
    def test_a_missing_directory_is_refused_before_tmux_runs(self, fake_tmux, Session, missing):
        with pytest.raises(ValueError, match=f"^no such directory: \"{missing}\"$"):
            Session("s", "/x").new_window(directory=missing)
        assert fake_tmux.calls == []

    def test_a_file_is_no_directory(self, real_tmux):
        session = real_tmux.server.new_session("s")
        path = os.path.join(real_tmux.folder, "plain-file")
        open(path, "w").close()
        with pytest.raises(ValueError, match="plain-file"):
            session.new_window(directory=path)
        assert len(session.windows) == 1

    def test_failures(self, real_tmux, Session):
        with pytest.raises(RuntimeError) as error:
            Session("nope", real_tmux.socket).new_window()
        assert str(error.value).startswith("tmux new-window failed: ")
        real_tmux.server.new_session("s")
        with pytest.raises(RuntimeError) as error:
            Session("nope", real_tmux.socket).new_window()
        assert str(error.value) == "tmux new-window failed: can't find session: nope"
        assert real_tmux.session_names() == ["s"]

    @pytest.mark.parametrize("stdout", ["", "x|y\n", "7\n"])
    def test_unusable_output(self, fake_tmux, Session, stdout):
        fake_tmux.respond(stdout="$0\n").always(stdout=stdout)
        with pytest.raises(RuntimeError, match="^unexpected new-window output: "):
            Session("s").new_window()

    def test_unaddressable_session_runs_nothing(self, fake_tmux, Session):
        with pytest.raises(RuntimeError, match="^tmux new-window failed: can't find session: a:b$"):
            Session("a:b").new_window()
        assert fake_tmux.calls == []


class TestResizeAndLayout:
    def test_resize_stays(self, real_tmux):
        session = real_tmux.server.new_session("s")
        window = session.windows[0]
        assert window.resize(100, 30) is True
        meta = window.metadata
        assert (meta.width, meta.height) == (100, 30)
        assert window.show_option("window-size") == "manual"
        # Linked into a smaller session, it keeps its size.
        real_tmux.tmux("new-session", "-d", "-s", "small", "-x", "50", "-y", "10")
        real_tmux.tmux("link-window", "-s", "=s:0", "-t", "=small:5")
        assert (window.metadata.width, window.metadata.height) == (100, 30)

    def test_layouts(self, real_tmux):
        session = real_tmux.server.new_session("s")
        window = session.windows[0]
        window.resize(120, 40)
        window.panes[0].split()
        window.panes[0].split()
        sizes = lambda: [(r.width, r.height) for r in window.pane_metadata()]
        assert window.select_layout("even-horizontal") is True
        assert {h for _, h in sizes()} == {40} and len({w for w, _ in sizes()}) <= 2
        wide = window.metadata.layout
        assert window.select_layout("even-vertical") is True
        assert {w for w, _ in sizes()} == {120}
        assert window.select_layout(wide) is True  # a layout string read back
        assert window.metadata.layout == wide

    def test_resize_refused(self, real_tmux):
        window = real_tmux.server.new_session("s").windows[0]
        with pytest.raises(RuntimeError, match="^tmux resize-window failed: width too small$"):
            window.resize(0, 3)

    # tmux 3.3a's server dies on some layouts: only a name or a layout string
    # that reads whole reaches it.
    @pytest.mark.parametrize("layout, reason", [
        ("bogus", "no checksum"), ("-x", "no checksum"), ("m", "no checksum"), ("even-h", "no checksum"),
        ("tiled ", "no checksum"), ("", "no checksum"), (",", "no checksum"), ("tiled;", "no checksum"),
        ("zzzz,80x24,0,0,1", "no checksum"), ("1234,80x24,0,0", "wrong checksum"),
        ("aB09,80x24,0,0,1", "wrong checksum"), ("1234 80x24,0,0,1", "after the checksum"),
        (checksummed("4294967295x24,0,0,1"), "width above 10000"),
        (checksummed("80x4294967295,0,0,1"), "height above 10000"),
        (checksummed("80x24,4294967295,0,1"), "x offset above 10000"),
        (checksummed("80x24,0,0,99999999999"), "pane id above 4294967295"),
        (checksummed("80x24,5,0,1"), "not at 0,0"), (checksummed("80x24,0,10000,1"), "not at 0,0"),
        (checksummed("80x24,0,0"), "pane id, \"{\" or \"[\" expected at end"),
        (checksummed("0x24,0,0,1"), "size 0"), (checksummed("80x-1,0,0,1"), "height expected"),
        (checksummed("80x24,0,0,1,"), "unexpected"), (checksummed("80x24,0,0,1x"), "unexpected"),
        (checksummed("80x24,0,0{40x24,0,0,1,39x24,41,0,2"), "\"}\" expected at end"),
        (checksummed("80x24,0,0{40x24,0,0,1,39x24,41,0,2]"), "\"}\" expected"),
        (checksummed("80x24,0,0{80x24,0,0,1}"), "a split with one cell"),
        (checksummed("80x24,0,0{40x24,0,0,1,41x24,41,0,2}"), "outside the cell"),
        (checksummed("80x24,0,0[80x12,0,0,1,80x13,0,13,2]"), "outside the cell"),
        (checksummed("80x24,0,0" + "[80x24,0,0" * 101 + ",1"), "nested too deep"),
    ])
    def test_layouts_refused_and_the_server_lives(self, real_tmux, layout, reason):
        window = real_tmux.server.new_session("s").windows[0]
        window.panes[0].split()
        with pytest.raises(ValueError) as error:
            window.select_layout(layout)
        assert str(error.value).startswith("invalid layout ") and reason in str(error.value)
        assert real_tmux.session_names() == ["s"]

    def test_nested_layout_strings_are_taken(self, real_tmux):
        window = real_tmux.server.new_session("s").windows[0]
        window.resize(81, 24)
        window.panes[0].split(horizontal=True)
        window.panes[1].split()
        ids = [r.pane_id.lstrip("%") for r in window.pane_metadata()]
        layout = checksummed("81x24,0,0[81x12,0,0{40x12,0,0,%s,40x12,41,0,%s},81x11,0,13,%s]" % tuple(ids))
        assert window.select_layout(layout) is True
        assert window.metadata.layout == layout

    @pytest.mark.parametrize("call", [lambda w: w.resize(80, 24), lambda w: w.select_layout("tiled")])
    def test_missing_window(self, real_tmux, Window, call):
        real_tmux.server.new_session("s")
        with pytest.raises(RuntimeError, match="can't find window: 4"):
            call(Window("s", 4, real_tmux.socket, "x"))
        with pytest.raises(RuntimeError, match="can't find session: a.b$"):
            call(Window("a.b", 0, real_tmux.socket, "x"))

    def test_commands(self, fake_tmux, Window):
        fake_tmux.always(stdout="$1\n@5\n")  # every look-up finds the window
        window = Window("s", 2, "/x", "n")
        window.resize(4294967295, 0)
        window.select_layout("main-vertical")
        window.select_layout(checksummed("80x24,0,0,1"))
        with pytest.raises(ValueError):
            window.select_layout("-tiled")
        x = ["tmux", "-S", "/x"]
        lookup = x + ["list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}", ";",
                      "list-windows", "-a", "-f", "#{&&:#{==:#{session_name},s},#{==:#{window_index},2}}",
                      "-F", "#{window_id}"]
        assert fake_tmux.calls == [
            lookup, x + ["resize-window", "-t", "@5", "-x", "4294967295", "-y", "0"],
            lookup, x + ["select-layout", "-t", "@5", "main-vertical"],
            lookup, x + ["select-layout", "-t", "@5", checksummed("80x24,0,0,1")],
        ]
