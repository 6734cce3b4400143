// The class objects of Session and SessionMetadata, built from their tables.
#include "api_session.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<Session>() {
    return class_object<Session, kSessionInterface>();
}

template <>
PyTypeObject* python_type<SessionMetadata>() {
    return class_object<SessionMetadata, kSessionMetadataInterface>();
}

}  // namespace termloom::py
