"""The type stub and the API reference: the committed files are what the
installed library carries, and they say what the written interface table says
and what the live classes do."""
import ast
import inspect
import os
import re

import pytest

import termloom
from test_interface import INTERFACE, SLOTS, M, cls_of, functions_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from gen_interface_files import FILES, generated

STUB = "src/termloom-stubs/__init__.pyi"
REFERENCE = "docs/api.md"
PUBLISHED = ["Server"]


def committed(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


@pytest.fixture(scope="module")
def regenerated():
    return generated(termloom.__file__)


@pytest.mark.parametrize("path", FILES.values())
def test_committed_file_is_what_the_library_carries(regenerated, path):
    assert committed(path) == regenerated[path], \
        f"{path} is out of date: run python tools/gen_interface_files.py with the new build installed"


def test_the_installed_stub_is_the_committed_one():
    installed = os.path.join(os.path.dirname(termloom.__file__), "termloom-stubs", "__init__.pyi")
    with open(installed, encoding="utf-8") as f:
        assert f.read() == committed(STUB)


# ---------------------------------------------------------------------------
# The stub, read as Python syntax.

@pytest.fixture(scope="module")
def stub():
    return ast.parse(committed(STUB))


def stub_classes(stub):
    return {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}


def annotated(params):
    """The parameters as a def statement writes them: ["keys: str", "enter: bool = False"], with
    "*" before the keyword-only ones."""
    written = []
    for p in params:
        if p.keyword_only and "*" not in written:
            written.append("*")
        written.append(p.name + ": " + p.annotation + ("" if p.default is None else " = " + p.default))
    return written


def definition(name, first, params, returns, decorators=()):
    """A def statement of the stub, as comparable text."""
    args = ", ".join([first] + annotated(params))
    return [*(f"@{d}" for d in decorators), f"def {name}({args}) -> {returns}"]


def expected_definitions(class_name):
    # The stub leaves __repr__ and __str__ to object, which has them.
    return [definition(f.name, f.first, f.params, f.result, f.decorators)
            for f in functions_of(class_name) if f.name not in SLOTS]


def found_definitions(class_node):
    found = []
    for node in class_node.body:
        assert isinstance(node, ast.FunctionDef), ast.dump(node)
        args = node.args
        assert not (args.posonlyargs or args.kwarg), node.name

        def written(arg, default):
            return (arg.arg + ("" if arg.annotation is None else ": " + ast.unparse(arg.annotation))
                    + ("" if default is None else " = " + ast.unparse(default)))

        defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
        params = [written(a, d) for a, d in zip(args.args, defaults)]
        if args.vararg:
            params.append(f"*{args.vararg.arg}: {ast.unparse(args.vararg.annotation)}")
        if args.kwonlyargs:
            params += ["*"] + [written(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
        found.append([f"@{ast.unparse(d)}" for d in node.decorator_list]
                     + [f"def {node.name}({', '.join(params)}) -> {ast.unparse(node.returns)}"])
    return found


def test_stub_module_level(stub):
    (names,) = [node.value for node in stub.body if isinstance(node, ast.Assign)
                and [ast.unparse(t) for t in node.targets] == ["__all__"]]
    assert ast.literal_eval(names) == PUBLISHED
    assert sorted(stub_classes(stub)) == sorted(INTERFACE)


@pytest.mark.parametrize("class_name", INTERFACE)
def test_stub_class_matches_the_interface_table(stub, class_name):
    node = stub_classes(stub)[class_name]
    decorators = [ast.unparse(d) for d in node.decorator_list]
    assert decorators == ["final"] + ([] if class_name in PUBLISHED else ["type_check_only"])
    assert node.bases == []
    assert found_definitions(node) == expected_definitions(class_name)


@pytest.mark.parametrize("class_name", INTERFACE)
def test_stub_class_matches_the_live_class(stub, class_name):
    cls = cls_of(class_name)
    defs = [n for n in stub_classes(stub)[class_name].body if n.name != "__new__"]
    defs = [n for n in defs if not n.name.startswith("__")]
    assert {n.name for n in defs} == {n for n in vars(cls) if not n.startswith("__")}
    for node in defs:
        if node.decorator_list:
            assert type(vars(cls)[node.name]).__name__ == "getset_descriptor", node.name
            continue
        live = inspect.signature(vars(cls)[node.name])
        vararg = [node.args.vararg.arg] if node.args.vararg else []
        keyword_only = [a.arg for a in node.args.kwonlyargs]
        assert [a.arg for a in node.args.args] + vararg + keyword_only == list(live.parameters), node.name
        assert keyword_only == [p.name for p in live.parameters.values() if p.kind is p.KEYWORD_ONLY], node.name
        defaults = [ast.literal_eval(d) for d in node.args.defaults + node.args.kw_defaults if d is not None]
        assert defaults == [p.default for p in live.parameters.values() if p.default is not p.empty], node.name


# ---------------------------------------------------------------------------
# The reference, read section by section.

@pytest.fixture(scope="module")
def reference_sections():
    """The text of each section, by its heading: "Pane", "Pane.capture"."""
    sections = {}
    for part in re.split(r"^(?=##)", committed(REFERENCE), flags=re.M):
        heading = re.match(r"##+ `?([\w.]+)`?\n", part)
        if heading:
            sections[heading.group(1)] = part
    return sections


def usage(member):
    if member.kind != M:
        return f"`{member.name} -> {member.result}`"
    return f"`{member.name}({', '.join(annotated(member.params))}) -> {member.result}`"


@pytest.mark.parametrize("class_name", INTERFACE)
def test_reference_describes_every_member(reference_sections, class_name):
    cls = INTERFACE[class_name]
    section = reference_sections[class_name]
    if cls.new is None:
        assert "No constructor" in section
    else:
        assert f"Constructor: `{class_name}({', '.join(annotated(cls.new))})`" in section
    documented = [key.split(".", 1)[1] for key in reference_sections if key.startswith(class_name + ".")]
    assert documented == [m.name for m in cls.members]
    for m in cls.members:
        text = reference_sections[f"{class_name}.{m.name}"]
        assert usage(m) in text, m.name
        if m.doc:
            assert f"```text\n{m.doc.rstrip(chr(10))}\n```" in text, m.name
        # Each keyword-only parameter is described beside the docstring, which stays as it is.
        for p in m.params:
            if p.keyword_only:
                assert f"`{p.name}`" in text.split("```")[-1], (m.name, p.name)


def raised(section, label):
    line = re.search(rf"^{label} (.*)\.$", section, flags=re.M)
    return re.findall(r"`(\w+)`", line.group(1)) if line else []


# What the binding conventions and the operations make each of these raise.
@pytest.mark.parametrize("member, label, expected", [
    ("Window.name", "Assigning or deleting raises:",
     ["RuntimeError", "ValueError", "TypeError", "UnicodeEncodeError", "AttributeError"]),
    ("Session.name", "Assigning or deleting raises:",
     ["RuntimeError", "TypeError", "UnicodeEncodeError", "AttributeError"]),
    ("Session.name", "Raises:", []),
    ("Pane.socket", "Raises:", []),
    ("Pane.last_command", "Raises:", []),
    ("Pane.resize", "Raises:", ["RuntimeError", "TypeError", "OverflowError", "UnicodeEncodeError"]),
    ("Pane.capture", "Raises:", ["RuntimeError", "TypeError", "OverflowError"]),
    ("Pane.kill", "Raises:", ["RuntimeError", "TypeError"]),
    # A server address of an unknown scheme is refused by the constructors.
    ("Server", "Raises:", ["ValueError", "TypeError", "UnicodeEncodeError"]),
    ("Window", "Raises:", ["ValueError", "TypeError", "OverflowError", "UnicodeEncodeError"]),
])
def test_reference_names_what_members_raise(reference_sections, member, label, expected):
    assert raised(reference_sections[member], label) == expected


def test_readme_links_the_reference():
    assert re.search(r"\]\(docs/api\.md\)", committed("README.md"))
