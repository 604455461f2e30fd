#pragma once

#include <cstddef>

// Stack kept back for the crash filter on every thread of the process, so
// that a fault that has used up a thread's stack still reaches the filter.
constexpr size_t kFilterStackBytes = 32 * 1024;

// Keeps bytes of the calling thread's stack back for the exception that
// reports a stack overflow, and for the filters it runs. The server calls it
// for the main thread; a TLS callback calls it for every thread started
// later, plug-ins' threads included, except those whose whole stack is too
// small to spare it. False when the system refuses the guarantee.
bool ReserveFilterStack(size_t bytes);
