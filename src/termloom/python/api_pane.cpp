// The class object of Pane, built from its table.
#include "api_pane.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Pane>() {
    return class_object<Pane, kPaneInterface>();
}

}  // namespace termloom::py
