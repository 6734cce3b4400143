// The class objects of Window and WindowMetadata, built from their tables.
#include "api_window.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Window>() {
    return class_object<Window, kWindowInterface>();
}

template <>
PyTypeObject* python_type<WindowMetadata>() {
    return class_object<WindowMetadata, kWindowMetadataInterface>();
}

}  // namespace termloom::py
