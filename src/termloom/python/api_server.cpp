// The class object of Server, built from its table.
#include "api_server.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Server>() {
    return class_object<Server, kServerInterface>();
}

}  // namespace termloom::py
