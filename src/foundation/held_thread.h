// A background thread that holds a reference to this module while it runs,
// so a host that unloads the DLL without Release cannot unmap the code under
// it; the reference is given back as the thread ends. The thread runs
// `run(generation)`; an exception ending it is swallowed.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/handles.h"

using HeldThreadMain = void (*)(std::uint64_t generation);

// The thread's handle; not valid (and `name` logged as not started) when the
// module reference or the thread could not be had.
FileHandle StartHeldThread(HeldThreadMain run, std::uint64_t generation, const wchar_t* name);
