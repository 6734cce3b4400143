// The recorder that Pane.record starts: this interpreter, running the
// termloom_record file shipped beside the module.
#include "recorder_program.hpp"

#include "python.hpp"

namespace termloom::py {
namespace {

std::optional<std::string> text_attribute(PyObject* object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object, name);
    if (!value) return std::nullopt;
    std::optional<std::string> text;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (utf8 && size > 0) text.emplace(utf8, static_cast<std::size_t>(size));
    Py_DECREF(value);
    return text;
}

// Called by the operation without the interpreter lock; takes it for the look-up.
std::optional<std::vector<std::string>> recorder_command() {
    PyGILState_STATE state = PyGILState_Ensure();
    std::optional<std::vector<std::string>> command;
    PyObject* sys = PyImport_ImportModule("sys");
    PyObject* recorder = sys ? PyImport_ImportModule("termloom_record") : nullptr;
    auto executable = sys ? text_attribute(sys, "executable") : std::nullopt;
    auto file = recorder ? text_attribute(recorder, "__file__") : std::nullopt;
    // -I: the recorder needs nothing but the standard library, and no
    // startup file or environment variable of the user's may change it.
    if (executable && file) command = std::vector<std::string>{*executable, "-I", *file};
    Py_XDECREF(recorder);
    Py_XDECREF(sys);
    PyErr_Clear();  // reported as "no Python interpreter to run the recorder"
    PyGILState_Release(state);
    return command;
}

}  // namespace

void install_recorder_program() { pane_ops::set_recorder_program(&recorder_command); }

}  // namespace termloom::py
