"""The interface records, read from the installed library file as an outside
tool reads them: by symbol name, without importing the module's code."""
import inspect
import json
import re
import struct
from collections import Counter

import pytest

import termloom
from test_interface import INTERFACE, cls_of, functions_of

from elf64 import SHF_WRITE, ElfFile

PREFIX = "PYO3_INTROSPECTION_1_"
U64 = 2**64


@pytest.fixture(scope="module")
def elf():
    return ElfFile(termloom.__file__)


@pytest.fixture(scope="module")
def exports(elf):
    """(symbol name, address, symbol size, record bytes) of every record symbol."""
    found = []
    for name, address, size in elf.dynamic_symbols():
        if name.startswith(PREFIX):
            (length,) = struct.unpack("<I", elf.read(address, 4))
            found.append((name, address, size, elf.read(address + 4, length)))
    return found


@pytest.fixture(scope="module")
def records(exports):
    return [json.loads(text.decode("utf-8")) for _, _, _, text in exports]


@pytest.fixture(scope="module")
def by_class(records):
    """Class name -> the function records whose parent is that class."""
    names = {r["id"]: r["name"] for r in records if r["type"] == "class"}
    grouped = {}
    for r in records:
        if r["type"] == "function":
            grouped.setdefault(names.get(r["parent"]), []).append(r)
    return grouped


def test_symbols_are_aligned_sized_and_read_only(elf, exports):
    assert exports
    for name, address, size, text in exports:
        number = name[len(PREFIX):]
        assert re.fullmatch(r"[1-9][0-9]*", number) and int(number) < U64, name
        assert address % 4 == 0, name
        assert size == 4 + len(text), name
        assert not elf.section_at(address, size)["flags"] & SHF_WRITE, name
        assert text.startswith(b"{") and text.endswith(b"}"), name


def test_counts(records, by_class):
    assert Counter(r["type"] for r in records) == {"module": 1, "class": 13, "function": 185}
    assert {name: len(functions) for name, functions in by_class.items()} == {
        "Pane": 37, "Window": 19, "Server": 19, "WindowMetadata": 9, "SessionMetadata": 9, "Session": 17,
        "LastCommand": 6, "Screen": 11, "Cell": 16, "CommandResult": 5, "Expectation": 5, "PaneMetadata": 24,
        "Connection": 8}


def test_ids_are_unique_numbers_and_parents_are_classes(records):
    ids = [r["id"] for r in records if r["type"] != "function"]
    assert len(set(ids)) == len(ids)
    assert all(re.fullmatch(r"0|[1-9][0-9]*", i) and int(i) < U64 for i in ids)
    class_ids = {r["id"] for r in records if r["type"] == "class"}
    assert all(r["parent"] in class_ids for r in records if r["type"] == "function")
    assert all("parent" not in r for r in records if r["type"] != "function")
    functions = [r for r in records if r["type"] == "function"]
    assert all(set(r) - {"decorators"} == {"type", "name", "parent", "arguments", "returns"}
               for r in functions)


def test_module_and_class_records(records):
    (module,) = [r for r in records if r["type"] == "module"]
    assert set(module) == {"type", "name", "id", "members", "incomplete"}
    assert (module["name"], module["members"], module["incomplete"]) == ("termloom", [], True)
    classes = [r for r in records if r["type"] == "class"]
    assert all(set(r) == {"type", "name", "id"} for r in classes)
    assert sorted(r["name"] for r in classes) == sorted(INTERFACE)


def arguments(first, params=()):
    result = {"posonlyargs": [{"name": first}]}
    named = [p for p in params if not p.name.startswith("*")]
    for key, keyword_only in (("args", False), ("kwonlyargs", True)):
        listed = [p for p in named if p.keyword_only == keyword_only]
        if listed:
            result[key] = [{"name": p.name, "annotation": p.annotation,
                            **({} if p.default is None else {"default": p.default})} for p in listed]
    for p in params:
        if p.name.startswith("*"):
            result["vararg"] = {"name": p.name[1:], "annotation": p.annotation}
    return result


def expected_functions(class_name):
    """The function records of a class, as the written interface table gives them."""
    expected = []
    for f in functions_of(class_name):
        record = {"type": "function", "name": f.name, "arguments": arguments(f.first, f.params),
                  "returns": f.returns}
        if f.decorators:
            record["decorators"] = list(f.decorators)
        expected.append(record)
    return expected


def without_parent(record):
    return {k: v for k, v in record.items() if k != "parent"}


def canonical(records):
    return sorted(json.dumps(r, sort_keys=True) for r in records)


@pytest.mark.parametrize("class_name", INTERFACE)
def test_function_records_match_the_interface_table(by_class, class_name):
    found = [without_parent(r) for r in by_class[class_name]]
    assert canonical(found) == canonical(expected_functions(class_name))


@pytest.mark.parametrize("class_name", INTERFACE)
def test_function_records_match_the_live_class(by_class, class_name):
    cls = cls_of(class_name)
    public = {r["name"] for r in by_class[class_name] if not r["name"].startswith("__")}
    assert public == {n for n in vars(cls) if not n.startswith("__")}
    for r in by_class[class_name]:
        args = r["arguments"].get("args", []) + r["arguments"].get("kwonlyargs", [])
        if r["name"] == "__new__":
            live = inspect.signature(cls)
            first = []
        elif "decorators" in r:
            assert type(vars(cls)[r["name"]]).__name__ == "getset_descriptor"
            continue
        else:
            live = inspect.signature(vars(cls)[r["name"]])
            first = ["self"]
        vararg = [r["arguments"]["vararg"]["name"]] if "vararg" in r["arguments"] else []
        assert [p.name for p in live.parameters.values()] == first + [a["name"] for a in args] + vararg, r["name"]
        defaults = {p.name: repr(p.default) for p in live.parameters.values() if p.default is not p.empty}
        assert defaults == {a["name"]: a["default"] for a in args if "default" in a}, r["name"]
