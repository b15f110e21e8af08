#pragma once
#include <windows.h>

namespace qv {

// Joins COM, takes the task allocator, registers the class object and starts the update
// clock. Either all of it is done or, on failure, nothing is left set.
bool startServer(const CLSID& clsid, DWORD period);
// Asks every client to shut down, waits for their workers and stops the clock.
void stopServer();
// The teardown that is safe when the library is unloaded (no waiting under the loader lock).
void unloadTeardown(bool processTerminating);

} // namespace qv
