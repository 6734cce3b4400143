"""The README's examples run as written, each on its own, against a private
server (the programs), or under pytest in a folder of their own (the tests)."""
import os
import subprocess
import sys

import pytest

from readme_blocks import is_test_module, python_blocks

BLOCKS = python_blocks()


def test_the_readme_has_its_examples():
    assert len(BLOCKS) >= 3
    assert any(is_test_module(block) for block in BLOCKS)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_an_example_runs_on_its_own(index, real_tmux, tmp_path, monkeypatch):
    block = BLOCKS[index]
    path = tmp_path / ("test_example.py" if is_test_module(block) else "example.py")
    path.write_text(block)
    # The session's shell is the one last_command reads.
    monkeypatch.setenv("SHELL", "/bin/bash")
    if is_test_module(block):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", path.name]
        (tmp_path / "pytest.ini").write_text("[pytest]\n")
    else:
        env = dict(os.environ)
        command = [sys.executable, path.name]
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    if is_test_module(block):
        assert "1 passed" in done.stdout
