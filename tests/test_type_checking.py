"""Type checkers and the installed stub: mypy's stubtest finds it true to the
module, and mypy --strict accepts a typed program and rejects mistakes."""
import os
import re
import subprocess
import sys

import pytest

from readme_blocks import python_blocks

PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typecheck")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs a mypy tool with this Python, so that it finds the installed stub.
    The runs share one cache, outside the checkout."""
    folder = tmp_path_factory.mktemp("mypy")

    def run(*args):
        return subprocess.run([sys.executable, "-m", *args], cwd=folder, capture_output=True, text=True)
    return run


def test_stubtest_finds_the_stub_true_to_the_module(mypy):
    result = mypy("mypy.stubtest", "termloom")
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_typed_program_passes_strict_checking(mypy):
    result = mypy("mypy", "--strict", os.path.join(PROGRAMS, "user_program.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mistakes_are_reported_on_their_lines(mypy):
    path = os.path.join(PROGRAMS, "wrong_program.py")
    with open(path) as f:
        expected = {(number, match.group(1)) for number, line in enumerate(f, 1)
                    if (match := re.search(r"# error: ([\w-]+)$", line))}
    assert expected
    result = mypy("mypy", "--strict", path)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {(int(m.group(1)), m.group(2))
                for m in re.finditer(r"^.*wrong_program\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert reported == expected, result.stdout


@pytest.mark.parametrize("index", range(len(python_blocks())))
def test_the_readme_examples_pass_strict_checking(mypy, index, tmp_path):
    path = tmp_path / f"readme_example_{index}.py"
    path.write_text(python_blocks()[index])
    result = mypy("mypy", "--strict", str(path))
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_pytest_plugin_passes_strict_checking(mypy):
    result = mypy("mypy", "--strict", "-p", "termloom_pytest")
    assert result.returncode == 0, result.stdout + result.stderr
