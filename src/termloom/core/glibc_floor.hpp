// The module runs on glibc 2.28 and later, whatever glibc it was built on.
//
// It refers to no glibc symbol version newer than 2.28. The few newer
// functions the static C++ runtime calls are linked through wrappers in
// glibc_floor.cpp (the link's --wrap list in CMakeLists.txt), and code here
// that wants a newer function looks it up at run time with
// newer_glibc_function and keeps a fallback for when it is missing.
#pragma once

namespace termloom {

// The function `name` of the running C library, or nullptr when it has none.
void* newer_glibc_function(const char* name);

}  // namespace termloom
