"""screen_snapshot: syrupy's snapshot storing styled screens as SVG pictures,
run on a generated test file by pytest in a subprocess."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("syrupy")

TEST_FILE = '''
import os, re

def test_screen(tmux_pane, screen_snapshot):
    word = os.environ["SHOT_WORD"]
    tmux_pane.send_text("printf '\\\\033[1;32m%s\\\\033[0m\\\\n' " + word, enter=True)
    tmux_pane.wait_for(re.compile("^" + word + " *\\n\\\\$ ", re.M))  # and the whole prompt after it
    assert tmux_pane.screen(styles=True) == screen_snapshot
'''


def run_pytest(folder, word, *options):
    env = dict(os.environ, SHOT_WORD=word)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *options,
                           "test_shot.py"], cwd=folder, env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, done.stdout + done.stderr


def test_fails_on_a_changed_cell_and_passes_after_update(tmp_path):
    (tmp_path / "test_shot.py").write_text(TEST_FILE)
    code, out = run_pytest(tmp_path, "alpha", "--snapshot-update")
    assert code == 0, out
    stored = tmp_path / "__snapshots__" / "test_shot" / "test_screen.svg"
    picture = stored.read_text()
    assert "alpha" in picture and '"attributes":["bold"]' in picture
    # Another font and another grid draw the same cells: still a match.
    stored.write_text(picture.replace("font-size:15px", "font-size:20px").replace("'DejaVu Sans Mono',", ""))
    code, out = run_pytest(tmp_path, "alpha")
    assert code == 0, out
    code, out = run_pytest(tmp_path, "alphb")
    assert code == 1 and "1 failed" in out and "alphb" in out, out
    code, out = run_pytest(tmp_path, "alphb", "--snapshot-update")
    assert code == 0, out
    code, out = run_pytest(tmp_path, "alphb")
    assert code == 0, out


def test_the_plugin_does_not_import_syrupy():
    done = subprocess.run([sys.executable, "-c", "import sys, termloom_pytest; print('syrupy' in sys.modules)"],
                          capture_output=True, text=True)
    assert done.stdout.strip() == "False", done.stderr
