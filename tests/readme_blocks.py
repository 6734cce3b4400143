"""The python blocks of the checkout's README, in order."""
import os
import re

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def python_blocks():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```python\n(.*?)^```$", text, re.S | re.M)


def is_test_module(block):
    """A block that is a pytest module rather than a program."""
    return re.search(r"^def test_", block, re.M) is not None
