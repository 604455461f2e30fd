#pragma once

#include <windows.h>

// Seen under Wine 8 (x64): once a plug-in has broken the loader's list of
// modules, the dispatcher faults looking up the unwind data of the faulting
// frame, and again on each fault that follows, each nested below the last,
// and no filter ever runs. The recursion ends when the thread's stack does:
// a thread of the plug-in's own ends without a word (Wine ends it), and on
// the main thread the next fault's frame lands on the guard page the server
// plants (FilterStack.h), so that Wine's signal handler itself faults and
// Linux ends the whole process, with exit code 0 and no dump. Each nested
// fault still passes the vectored handlers; the x86 dispatcher walks its
// handler chain instead and is not affected.
//
// A vectored handler that runs first on every thread stops it at the first
// nested fault: a hard fault in ntdll.dll while the same thread's previous
// hard fault is still being dispatched hands that previous fault to the
// crash filter (WriteCrashDump), on the same thread, whose stack is still
// whole.

// Adds the handler ahead of every other vectored handler, and sets aside
// the per-thread slots it keeps the fault being dispatched in. False when
// the system refused either; faults are then dispatched as before.
bool WatchForNestedFaults();

// True for the exceptions that mean a thread's code went wrong (access
// violations, illegal instructions, stack overflow, heap corruption...),
// false for those raised on purpose (C++ throws, debug output, thread names).
bool IsHardFault(DWORD code);
