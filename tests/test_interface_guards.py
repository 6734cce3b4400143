"""Mistakes in an interface table do not compile.

Each snippet declares a small table the way the api_*.cpp files do and is
compiled on its own; the well-formed one must compile, each mistake must be
refused with the reason it breaks.
"""
import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = os.path.join(ROOT, "src", "termloom")

PRELUDE = """
#include "ops/pane.hpp"
#include "ops/session.hpp"
#include "ops/window.hpp"
#include "python/class_builder.hpp"
namespace termloom {
Result<bool> poke(Session& session);              // an operation that may change its handle
Result<void> rename_pane(const Pane& pane, std::string title);
}
namespace termloom::py {
"""

SNIPPETS = {
    "well_formed": ("""
        constexpr std::array kTable = {
            constructor<&session_ops::make>(arg("name"), arg("socket", "None")),
            settable<&Session::name, &session_ops::rename>("name", arg("new_name")),
            method<&session_ops::kill>("kill", "doc"),
            representation<&session_ops::repr>(),
        };
        PyTypeObject* build() { return class_object<Session, kTable>(); }
    """, None),
    "member_of_another_class": ("""
        constexpr std::array kTable = {
            field<&Session::socket>("socket"),
            representation<&window_ops::repr>(),
        };
        PyTypeObject* build() { return class_object<Session, kTable>(); }
    """, "every member of a class's table must be its own"),
    "constructor_of_another_class": ("""
        constexpr std::array kTable = {
            constructor<&window_ops::make>(arg("session_name"), arg("index"), arg("socket"), arg("name")),
        };
        PyTypeObject* build() { return class_object<Session, kTable>(); }
    """, "every member of a class's table must be its own"),
    "settable_across_classes": ("""
        constexpr Member m = settable<&Session::name, &window_ops::rename>("name", arg("new_name"));
    """, "a settable's field and its rename must belong to the same class"),
    "rename_that_cannot_store": ("""
        constexpr Member m = settable<&Pane::title, &rename_pane>("title", arg("title"));
    """, "a rename takes the handle as T&"),
    "method_over_a_mutating_operation": ("""
        constexpr Member m = method<&session_ops::rename>("rename", "doc", arg("new_name"));
    """, "a method runs under shared access"),
    "computed_over_a_mutating_operation": ("""
        constexpr Member m = computed<&poke>("poke", "doc");
    """, "a computed property runs under shared access"),
    "pointer_result": ("""
        PyObject* convert() { return to_python("text"); }
    """, "deleted function"),
}


@pytest.fixture(scope="module")
def compiler():
    cxx = shutil.which(os.environ.get("CXX", "g++"))
    include = sysconfig.get_paths()["include"]
    if cxx is None or not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("no C++ compiler or Python headers")
    return [cxx, "-std=c++23", "-fsyntax-only", "-DPy_LIMITED_API=0x030A0000", "-I", include, "-I", SOURCES,
            "-x", "c++", "-"]


@pytest.mark.parametrize("name", SNIPPETS)
def test_table_mistakes_do_not_compile(compiler, name):
    body, reason = SNIPPETS[name]
    result = subprocess.run(compiler, input=PRELUDE + body + "}\n", capture_output=True, text=True)
    if reason is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert reason in result.stderr, result.stderr
