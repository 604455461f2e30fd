#pragma once

#include <windows.h>

// The whole life of the server process after its entry point: start-up,
// the request loop or the window loop, and the orderly shut-down. Returns
// the exit code.
int RunServer(HINSTANCE instance);
