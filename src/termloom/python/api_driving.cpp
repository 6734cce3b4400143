// The class objects of Screen, Cell, CommandResult and Expectation, built from their tables.
#include "api_driving.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Screen>() {
    return class_object<Screen, kScreenInterface>();
}

template <>
PyTypeObject* python_type<Cell>() {
    return class_object<Cell, kCellInterface>();
}

template <>
PyTypeObject* python_type<CommandResult>() {
    return class_object<CommandResult, kCommandResultInterface>();
}

template <>
PyTypeObject* python_type<Expectation>() {
    return class_object<Expectation, kExpectationInterface>();
}

}  // namespace termloom::py
