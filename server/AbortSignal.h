#pragma once

#include <windows.h>

// The exception code an abort() is raised as; the crash filter sees it like
// any fault.
constexpr DWORD kAbortExceptionCode = 0xE0414254;  // 0xE0 and "ABT"

// Makes abort() in any module on the shared C runtime (msvcrt: its signal
// table is one for the process) a crash like a fault: its SIGABRT handler
// raises kAbortExceptionCode on the aborting thread, which reaches the
// server's crash filter, so the host gets exit code 9 and a dump rather than
// exit code 3 and none. This is how a plug-in's uncaught C++ throw ends on
// x86: GCC's 32-bit runtime unwinds with DWARF tables, not structured
// exceptions, and when no frame catches a throw it calls std::terminate,
// which aborts.
void TreatAbortAsCrash();
