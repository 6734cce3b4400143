// The one place the CPython headers come in; everything here builds against
// the stable ABI of CPython 3.10 (the build defines Py_LIMITED_API).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
