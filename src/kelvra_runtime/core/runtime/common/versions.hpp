// What differs between the interpreter versions the modules are built for,
// in one place: the rest of the frame reads these names, never the version.
#pragma once

#include <Python.h>

namespace kr::host {

// The host's coroutines answer `cr_state` from 3.15 on, which that
// version's inspect.getcoroutinestate reads; 3.14's have no such attribute.
inline constexpr bool coroutines_have_state = PY_VERSION_HEX >= 0x030F0000;

}  // namespace kr::host
