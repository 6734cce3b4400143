"""The module object and the shape of its classes."""
import ctypes
import importlib
import sys

import pytest

import termloom


def test_namespace():
    assert termloom.__all__ == ["Server"]
    assert termloom.__doc__ == ""
    assert [n for n in dir(termloom) if not n.startswith("__")] == ["Server"]
    with pytest.raises(AttributeError):
        termloom.Session


def test_server_class_shape():
    Server = termloom.Server
    assert (Server.__module__, Server.__name__, Server.__qualname__) == ("builtins", "Server", "Server")
    assert Server.__doc__ == ""
    assert Server.__text_signature__ == "(socket=None)"
    assert Server.__base__ is object
    assert repr(Server("/s")).startswith("<builtins.Server object at 0x")


def test_server_members_docs():
    Server = termloom.Server
    assert Server.kill.__doc__ == "kill a tmux server"
    assert Server.kill.__text_signature__ == "($self)"
    assert Server.start.__doc__ == "start a tmux server if none is running\n"
    assert Server.has_session.__text_signature__ == "($self, name)"
    assert Server.new_session.__doc__ == "create a new session\n\nReturns:\n    Session"
    assert Server.is_running.__doc__ == "check if a tmux server is running\n\nReturns:\n    True if running, False if not"
    assert Server.sessions.__doc__ == "list sessions in this server\n\nReturns:\n    A list of Session in this server"
    assert Server.current_socket.__doc__.startswith("get the tmux socket path for this server\n")


def test_session_and_metadata_classes(Session, SessionMetadata):
    Metadata = SessionMetadata
    assert (Session.__module__, Session.__qualname__) == ("builtins", "Session")
    assert Session.__doc__ == "" and Session.__text_signature__ == "(name, socket=None)"
    assert Session.metadata.__text_signature__ == "($self)"
    assert Session.metadata.__doc__.endswith("Raises: RuntimeError on failure")
    assert Session.name.__doc__ == ""  # the setter's text is not the property's docstring
    assert Metadata.__doc__ is None
    assert [n for n in vars(Metadata) if not n.startswith("__")] == [
        "id", "name", "created", "attached", "width", "height", "windows"]
    with pytest.raises(TypeError):
        Metadata()


def test_field_properties_cannot_be_assigned(Session):
    with pytest.raises(AttributeError):
        Session("x").socket = "/other"


def test_second_initialisation_returns_the_same_module():
    first = sys.modules.pop("termloom")
    try:
        again = importlib.import_module("termloom")
        assert again is first
        assert again.__all__ == ["Server"]  # the initialiser did not run twice
        init = ctypes.PyDLL(first.__file__).PyInit_termloom
        init.restype = ctypes.py_object
        assert init() is first
    finally:
        sys.modules["termloom"] = first


def test_sub_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp in this build")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import termloom\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    testcapi.run_in_subinterp(code)
    result = out.read_text()
    assert result.startswith("ImportError: ") and "sub-interpreters" in result


def test_only_the_entry_point_and_the_records_are_exported():
    import re
    import shutil
    import subprocess
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", termloom.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines()]
    records = [n for n in names if re.fullmatch(r"PYO3_INTROSPECTION_1_[0-9]+", n)]
    assert sorted(set(names) - set(records)) == ["PyInit_termloom"]
    assert len(records) == len(set(records)) == 199
