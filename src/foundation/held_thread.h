// A background thread that holds a reference to this module while it runs,
// so a host that unloads the DLL without Release cannot unmap the code under
// it; the reference is given back as the thread ends. The thread runs
// `run`; an exception ending it is swallowed.
#pragma once

#include <functional>
#include <string>

#include "foundation/handles.h"

// The thread's handle; not valid (and `name` logged as not started) when the
// module reference or the thread could not be had.
FileHandle StartHeldThread(std::function<void()> run, const wchar_t* name);
