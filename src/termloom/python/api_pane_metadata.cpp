// The class object of PaneMetadata, built from its table.
#include "api_pane_metadata.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<PaneMetadata>() {
    return class_object<PaneMetadata, kPaneMetadataInterface>();
}

}  // namespace termloom::py
