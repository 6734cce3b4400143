"""Writes the files generated from termloom's class tables: the type stub
src/termloom-stubs/__init__.pyi and the API reference docs/api.md.

The library carries both texts, computed from the tables when it was
compiled, in sections of its file; they are read from the file, which is not
imported.

    python tools/gen_interface_files.py [--check] [LIBRARY]

LIBRARY is the built termloom.abi3.so; by default, the termloom that this
Python imports. With --check nothing is written, and the exit status is 1 when
a committed file differs from what the library says.
"""
import argparse
import importlib.util
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from elf64 import ElfFile  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Section of the library -> the file, relative to the checkout, made from it.
FILES = {
    ".termloom.stub": "src/termloom-stubs/__init__.pyi",
    ".termloom.reference": "docs/api.md",
}


def installed_library():
    module = importlib.util.find_spec("termloom")
    if module is None or module.origin is None:
        raise SystemExit("termloom is not installed for this Python; name the library file")
    return module.origin


def generated(library):
    """Path relative to the checkout -> the text that the library carries for it."""
    elf = ElfFile(library)
    texts = {}
    for section, path in FILES.items():
        data = elf.section(section)
        texts[path] = data[:data.index(b"\0")].decode("utf-8")  # the text ends at its NUL
    return texts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("library", nargs="?", help="the built library (default: the installed one)")
    parser.add_argument("--check", action="store_true", help="only compare with the committed files")
    args = parser.parse_args()
    stale = []
    for path, text in generated(args.library or installed_library()).items():
        target = os.path.join(ROOT, path)
        current = open(target, encoding="utf-8").read() if os.path.exists(target) else None
        if current == text:
            continue
        stale.append(path)
        if not args.check:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as f:
                f.write(text)
    verb = "differs from the library" if args.check else "written"
    for path in stale:
        print(f"{path}: {verb}")
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
