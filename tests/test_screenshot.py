"""Styled screens and their pictures: Pane.screen(styles=True), Screen.cells,
Screen.svg and Pane.screenshot against real tmux, the golden pictures of
each release, the pictures drawn by a real browser, and the exact command
line against the scripted tmux."""
import itertools
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from png_pixels import read_png
from termloom_pytest.snapshot import screen_record

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(HERE, "golden")
STATE = ("#{cursor_x} #{cursor_y} #{pane_width} #{pane_height} #{alternate_on} #{history_size} "
         "#{cursor_flag} #{pane_active}")
_names = itertools.count()


def release_name():
    line = subprocess.run([shutil.which("tmux"), "-V"], capture_output=True, text=True).stdout
    return line.split()[-1]


RELEASE = release_name() if shutil.which("tmux") else ""
BEFORE_3_2 = RELEASE[:3] in ("3.0", "3.1")
KEEPS_ERASED_END = not RELEASE.startswith("3.3")  # 3.3a drops cells erased after the last written one


def showing(real_tmux, output, width=64, height=16):
    """A pane of a new session whose program writes `output` then "END",
    once it is all on the screen."""
    name = f"p{next(_names)}"
    program = ("import os, sys, time; os.write(1, bytes.fromhex(sys.argv[1])); time.sleep(1000)")
    real_tmux.tmux("-f", "/dev/null", "new-session", "-d", "-s", name, "-x", str(width), "-y", str(height),
                   f"{sys.executable} -c '{program}' {(output + 'END').encode().hex()}")
    pane = real_tmux.server.target_pane(f"={name}:0.0")
    pane.wait_for("END")
    return pane


def golden_pane(real_tmux):
    name = f"g{next(_names)}"
    argument = " no-bright-bg" if BEFORE_3_2 else ""
    real_tmux.tmux("-f", "/dev/null", "new-session", "-d", "-s", name, "-x", "64", "-y", "16",
                   f"sh {os.path.join(GOLDEN, 'colours.sh')}{argument}")
    pane = real_tmux.server.target_pane(f"={name}:0.0")
    pane.wait_for("END")
    return pane


class TestGoldenPicture:
    def test_picture_is_the_golden_one(self, real_tmux):
        path = os.path.join(GOLDEN, f"screen-{RELEASE}.svg")
        screen = golden_pane(real_tmux).screen(styles=True)
        svg = screen.svg()
        if os.environ.get("TERMLOOM_UPDATE_GOLDEN"):
            with open(path, "w", encoding="utf-8") as f:
                f.write(svg)
        if not os.path.exists(path):
            pytest.skip(f"no golden picture for tmux {RELEASE}")
        with open(path, encoding="utf-8", newline="") as f:
            assert svg == f.read()

    def test_same_screen_same_bytes_and_valid_xml(self, real_tmux):
        pane = golden_pane(real_tmux)
        first, second = pane.screen(styles=True), pane.screen(styles=True)
        svg = first.svg(title="<tmux> & \"me\"")
        assert svg == second.svg(title="<tmux> & \"me\"") and first.svg() == second.svg()
        root = ElementTree.fromstring(svg)
        ns = "{http://www.w3.org/2000/svg}"
        assert root.tag == ns + "svg" and root.get("version") == "1.1"
        assert root.find(ns + "title").text == "<tmux> & \"me\""
        texts = "".join(t.text or "" for t in root.iter(ns + "text"))
        assert "<svg>" in texts and "& \"quotes\"" in texts
        assert not any(ord(c) < 0x20 and c != "\n" for c in svg)
        record = screen_record(svg)
        assert record["cursor"] == {"x": 3, "y": 14, "visible": True}
        assert (record["width"], record["height"]) == (64, 16)
        # The text is the same as screen() gives, from the same capture.
        assert first.text == pane.screen().text
        assert pane.screen(escapes=True, styles=True).text == pane.screen(escapes=True).text


def cell(screen, x, y=0):
    return screen.cells[y][x]


def attributes(c):
    return {name: getattr(c, name) for name in ("char", "width", "fg", "bg", "underline", "underline_colour",
                                                 "bold", "dim", "italic", "blink", "reverse", "hidden",
                                                 "strike", "overline")}


DEFAULT = {"width": 1, "fg": "default", "bg": "default", "underline": "none",
           "underline_colour": None if BEFORE_3_2 else "default", "bold": False, "dim": False,
           "italic": False, "blink": False, "reverse": False, "hidden": False, "strike": False, "overline": False}


@pytest.mark.parametrize("output, x, y, expected", [
    ("\x1b[1;31mR", 0, 0, {"char": "R", "fg": "red", "bold": True}),
    ("\x1b[38;5;196;48;2;1;2;3mX", 0, 0, {"char": "X", "fg": "colour196", "bg": "#010203"}),
    ("\x1b[97;40mX", 0, 0, {"char": "X", "fg": "bright-white", "bg": "black"}),
    ("\x1b[4:3;58;5;21mX", 0, 0, {"char": "X", "underline": "curly",
                                 "underline_colour": None if BEFORE_3_2 else "colour21"}),
    ("\x1b[2;3;5;7;8;9;53mX", 0, 0, {"char": "X", "dim": True, "italic": True, "blink": True, "reverse": True,
                                     "hidden": True, "strike": True, "overline": True}),
    ("\x1b[1mA\x1b[22mB", 1, 0, {"char": "B"}),
    ("\x1b[32mA\r\nB", 0, 1, {"char": "B", "fg": "green"}),  # the style carries over to the next line
    ("\u4e2dx", 0, 0, {"char": "\u4e2d", "width": 2}),
    ("\u4e2dx", 1, 0, {"char": "", "width": 0}),
    ("\u4e2dx", 2, 0, {"char": "x"}),
    ("e\u0301x", 0, 0, {"char": "e\u0301"}),
    ("e\u0301x", 1, 0, {"char": "x"}),
    ("\x1b(0lq\x1b(Bq", 1, 0, {"char": "\u2500"}),
    ("\x1b(0lq\x1b(Bq", 2, 0, {"char": "q"}),
    ("\x1b[44mab\x1b[K\x1b[0m\r\n", 5, 0, {"char": " ", "bg": "blue" if KEEPS_ERASED_END else "default"}),
])
def test_cells(real_tmux, output, x, y, expected):
    screen = showing(real_tmux, output).screen(styles=True)
    assert len(screen.cells) == screen.height and all(len(row) == screen.width for row in screen.cells)
    assert attributes(cell(screen, x, y)) == {**DEFAULT, **expected}


def test_line_drawing_keeps_its_letters_in_the_text(real_tmux):
    screen = showing(real_tmux, "\x1b(0lqk\x1b(B\r\n").screen(styles=True)
    assert screen.text.split("\n")[0] == "lqk"
    assert "".join(c.char for c in screen.cells[0][:3]) == "\u250c\u2500\u2510"


def test_bright_backgrounds(real_tmux):
    pane = showing(real_tmux, "\x1b[101mX\x1b[0m")
    if BEFORE_3_2:
        with pytest.raises(RuntimeError, match="without naming it"):
            pane.screen(styles=True)
    else:
        assert cell(pane.screen(styles=True), 0).bg == "bright-red"


# Each printed before "|": tmux's cursor after it tells where tmux put the
# "|", which the cells must put in the same column.
@pytest.mark.parametrize("sequence", [
    "\u4e2d\u6587", "\U0001f600", "e\u0301\u0308", "\U0001f1eb\U0001f1f7", "\U0001f44d\U0001f3fd",
    "\U0001f468\u200d\U0001f469\u200d\U0001f467", "\u2764\ufe0f", "#\ufe0f\u20e3", "\u263a\U0001f3fd",
    "a\u200db", "\U0001f3f3\ufe0f\u200d\U0001f308", "\u1100\u1161\u11a8", "x\u200b",
])
def test_widths_agree_with_tmux(real_tmux, sequence):
    name = f"w{next(_names)}"
    program = "import os, sys, time; os.write(1, bytes.fromhex(sys.argv[1])); time.sleep(1000)"
    real_tmux.tmux("-f", "/dev/null", "new-session", "-d", "-s", name, "-x", "40", "-y", "3",
                   f"{sys.executable} -c '{program}' {(sequence + '|').encode().hex()}")
    pane = real_tmux.server.target_pane(f"={name}:0.0")
    pane.wait_for("|")
    screen = pane.screen(styles=True)
    bar = [c.char for c in screen.cells[0]].index("|")
    assert (screen.cursor_x, screen.cursor_y) == (bar + 1, 0)
    assert sum(c.width for c in screen.cells[0][:bar]) == bar


def test_a_character_the_tables_do_not_know_is_an_error(real_tmux):
    pane = showing(real_tmux, "a\U0001fae8b ")  # unassigned in Unicode 15.0
    if RELEASE.startswith("3.3"):  # which drops it from the screen
        assert "".join(c.char for c in pane.screen(styles=True).cells[0][:4]) == "ab E"
        return
    with pytest.raises(RuntimeError, match=r"^cannot tell how wide tmux makes U\+1FAE8: the C library's"):
        pane.screen(styles=True)


def test_default_colours_and_hidden_cursor(real_tmux):
    pane = showing(real_tmux, "\x1b[?25lx")
    real_tmux.tmux("set-option", "-p", "-t", pane.pane_id, "window-style", "bg=colour23,fg=red")
    real_tmux.tmux("set-option", "-w", "-t", pane.pane_id, "window-active-style", "bg=#102030")
    svg = pane.screen(styles=True).svg()
    record = screen_record(svg)
    assert (record["foreground"], record["background"]) == ("red", "#102030")
    assert record["cursor"]["visible"] is False
    assert '<rect width="592" height="304" fill="#102030"/>' in svg


def test_without_styles(real_tmux):
    screen = showing(real_tmux, "x").screen()
    assert screen.cells is None
    with pytest.raises(RuntimeError, match=r"^this Screen has no cells to draw: take it with screen\(styles=True\)$"):
        screen.svg()


class TestScreenshot:
    def test_writes_the_picture_of_the_screen_it_returns(self, real_tmux):
        pane = showing(real_tmux, "\x1b[31mshot")
        path = os.path.join(real_tmux.folder, "shot.svg")
        screen = pane.screenshot(path, title="a title")
        with open(path, encoding="utf-8") as f:
            assert f.read() == screen.svg(title="a title")
        assert screen.cells[0][0].fg == "red"

    def test_unwritable_path(self, real_tmux):
        pane = showing(real_tmux, "x")
        path = os.path.join(real_tmux.folder, "missing", "shot.svg")
        with pytest.raises(RuntimeError, match=rf'^cannot write the screenshot to "{path}": No such file or directory$'):
            pane.screenshot(path)

    @pytest.mark.parametrize("kwargs, message", [
        ({"path": "x.svg", "title": "a\nb"}, r'^title: "\\n" cannot be written in an SVG document$'),
        ({"path": "x.svg", "title": "\x85"}, r'^title: "\\u\{85\}" cannot be written in an SVG document$'),
        ({"path": "a\0b"}, r'^path: NUL \("\\0"\) cannot be in a file name$'),
    ])
    def test_bad_arguments_run_nothing(self, fake_tmux, Pane, kwargs, message):
        with pytest.raises(ValueError, match=message):
            Pane("s", 0, 0, "%3", "t", None).screenshot(**kwargs)
        assert fake_tmux.calls == []


def test_argv(fake_tmux, Pane):
    fake_tmux.respond(stdout="\x1b[31mab\n0 0 2 1 0 0 1 1\ndefault\nfg=blue\n")
    screen = Pane("s", 0, 0, "%3", "t", "/sock").screen(styles=True)
    target = ["-t", "%3"]
    assert fake_tmux.calls == [["tmux", "-S", "/sock", "capture-pane", "-p", "-e", "-N", *target, ";",
                                "display-message", "-p", *target, STATE, ";",
                                "display-message", "-p", *target, "#{E:window-style}", ";",
                                "display-message", "-p", *target, "#{E:window-active-style}"]]
    assert (screen.text, screen.cells[0][1].fg) == ("ab", "red")
    assert screen_record(screen.svg())["foreground"] == "blue"


def chromium():
    program = shutil.which("chromium") or shutil.which("chromium-browser")
    if program is None:
        pytest.skip("chromium is not installed (scripts/test.sh installs Debian's package)")
    return program


def render(svg, folder):
    """The picture as a PNG drawn by headless Chromium, at its own size."""
    program = chromium()
    root = ElementTree.fromstring(svg)
    width, height = root.get("width"), root.get("height")
    source, png = os.path.join(folder, "picture.svg"), os.path.join(folder, "picture.png")
    with open(source, "w", encoding="utf-8") as f:
        f.write(svg)
    try:
        done = subprocess.run([program, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
                               f"--user-data-dir={os.path.join(folder, 'chromium')}",
                               "--force-device-scale-factor=1", f"--screenshot={png}",
                               f"--window-size={width},{height}", "file://" + source],
                              capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pytest.skip("chromium did not draw the picture within 120 s")
    if done.returncode != 0 or not os.path.exists(png):
        pytest.skip(f"chromium could not draw the picture: {done.stderr.strip()[-300:]}")
    return read_png(png)


def centre(x, y):
    """The pixel at the centre of cell x, y (9x18 cells, an 8-pixel margin)."""
    return 8 + x * 9 + 4, 8 + y * 18 + 9


XTERM = [(0, 0, 0), (205, 0, 0), (0, 205, 0), (205, 205, 0), (0, 0, 238), (205, 0, 205), (0, 205, 205),
         (229, 229, 229)]


def test_browser_draws_the_colours_of_the_cells(real_tmux):
    screen = golden_pane(real_tmux).screen(styles=True)
    picture = render(screen.svg(), real_tmux.folder)
    samples = {(2 * i, 3): XTERM[i] for i in range(8)}                       # SGR 40-47
    samples.update({(8, 5): (0, 95, 0), (10, 5): (175, 95, 0), (12, 5): (88, 88, 88)})  # 256 colours
    samples.update({(7, 6): (16, 32, 48), (9, 6): (200, 100, 50)})           # 24-bit
    samples.update({(7, 7): (0, 205, 0)})                                     # reverse: green behind
    samples.update({(6, 8): (0, 0, 238), (9, 8): (0, 0, 238)})                # both halves of wide cells
    samples.update({(40, 10): (0, 0, 238) if KEEPS_ERASED_END else (0, 0, 0)})
    samples.update({(40, 12): (0, 0, 0)})
    if not BEFORE_3_2:
        samples.update({(2 * i, 4): colour for i, colour in enumerate(
            [(127, 127, 127), (255, 0, 0), (0, 255, 0), (255, 255, 0), (92, 92, 255), (255, 0, 255),
             (0, 255, 255), (255, 255, 255)])})
    seen = {cell: picture.pixel(*centre(*cell)) for cell in samples}
    assert seen == samples
    # The wide character's glyph (green on blue) reaches into both its columns.
    for column in (6, 7):
        left, top = 8 + column * 9, 8 + 8 * 18
        inked = [picture.pixel(x, y) for x in range(left, left + 9) for y in range(top + 2, top + 16)]
        assert any(g > 100 and g > b for _, g, b in inked), column


def styled(fake_tmux, Pane, capture, release="3.3a", width=8):
    """The styled screen of a one-line pane whose capture tmux `release` prints as `capture`."""
    fake_tmux.version(f"tmux {release}")
    fake_tmux.respond(stdout=f"{capture}\n0 0 {width} 1 0 0 1 1\ndefault\ndefault\n")
    return Pane("s", 0, 0, "%3", "t", None).screen(styles=True)


@pytest.mark.parametrize("capture, release, x, expected", [
    ("\x1b[38:2::1:2:3mX", "3.3a", 0, {"fg": "#010203"}),
    ("\x1b[48:5:200;4:5mX", "3.3a", 0, {"bg": "colour200", "underline": "dashed"}),
    ("\x1b[5:3mX", "3.3a", 0, {"overline": True, "blink": False}),
    ("\x1b]8;;http://x/\x1b\\L\x1b]8;;\x1b\\M", "3.5a", 1, {"char": "M"}),
    ("\U0001f1eb\U0001f1f7", "3.5a", 0, {"char": "\U0001f1eb\U0001f1f7", "width": 2}),
    ("\U0001f1eb\U0001f1f7", "3.3a", 1, {"char": "\U0001f1f7", "width": 1}),
    ("\u2764\ufe0f", "3.5a", 0, {"char": "\u2764\ufe0f", "width": 2}),
    ("\u2764\ufe0f", "3.3a", 0, {"char": "\u2764\ufe0f", "width": 1}),
    ("\U0001f468\u200d\U0001f469", "3.3a", 0, {"char": "\U0001f468\u200d\U0001f469", "width": 2}),
    ("\U0001f468\u200d\U0001f469", "3.1c", 2, {"char": "\U0001f469", "width": 2}),
    ("\x1b[31ma\x1b[32m\u0301", "3.3a", 1, {"char": "\u0301", "fg": "green"}),  # an escape starts a cell
])
def test_capture_forms(fake_tmux, Pane, capture, release, x, expected):
    found = attributes(styled(fake_tmux, Pane, capture, release).cells[0][x])
    assert {k: found[k] for k in expected} == expected


@pytest.mark.parametrize("capture, message", [
    ("\x1b[mX", "^tmux wrote a background colour without naming it"),
    ("\x1b[77mX", r'^tmux printed an SGR code termloom does not know: "77"$'),
    ("\x1b[38;5mX", r'^tmux printed a colour termloom cannot read: "38;5"$'),
    ("abcdefghi", "^line 0 of the screen takes 9 columns of a pane 8 wide"),
    ("a\x07", r'^tmux printed a control character in the screen: "\\u\{7\}"$'),
])
def test_capture_that_cannot_be_read(fake_tmux, Pane, capture, message):
    with pytest.raises(RuntimeError, match=message):
        styled(fake_tmux, Pane, capture)
