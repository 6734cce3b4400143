// The class object of Connection, built from its table.
#include "api_connection.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Connection>() {
    return class_object<Connection, kConnectionInterface>();
}

}  // namespace termloom::py
