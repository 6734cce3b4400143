// Tells Pane.record which program records: this interpreter and the
// recorder file shipped with the module.
#pragma once

#include "../ops/pane.hpp"

namespace termloom::py {

void install_recorder_program();

}  // namespace termloom::py
