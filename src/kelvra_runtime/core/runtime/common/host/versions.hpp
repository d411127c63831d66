// What differs between the interpreter versions the modules are built for,
// in one place: the rest of the frame reads these names, never the version.
#pragma once

// Refused before anything else reads the host's headers: see below.
#include <pyconfig.h>

// The frame reads and writes objects' inline values without the per-object
// locks that a free-threaded build needs, and the modules declare no
// Py_mod_gil slot, so such a host would turn the GIL back on at import.
#ifdef Py_GIL_DISABLED
#error "free-threaded CPython (Py_GIL_DISABLED) is not supported yet: build for the interpreter with the GIL"
#endif

#include <Python.h>

// The host versions whose private layouts common/host/ knows, each pinned
// in layout.hpp: built for one of them, the modules read those layouts
// directly once the running interpreter proves to be the build's
// (layout.cpp).  Built for another, they keep to the general protocol.
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
#define KR_HOST_LAYOUT_KNOWN 1
#endif

namespace kr::host {

// The host's coroutines answer `cr_state` from 3.15 on, which that
// version's inspect.getcoroutinestate reads; 3.14's have no such attribute.
inline constexpr bool coroutines_have_state = PY_VERSION_HEX >= 0x030F0000;

}  // namespace kr::host
