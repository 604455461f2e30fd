#pragma once

// Once a fault has reached the crash filter, the process belongs to that
// crash: it ends with the crash's exit code, and nothing the server does
// meanwhile may show the host another line or an orderly end. Every path
// that writes to the host or ends the process in order asks here first.

// Claims the crash for the calling thread: true for the first caller only.
// A later fault, on any thread, belongs to the crash already begun.
bool ClaimCrash();

// True once some thread has claimed the crash.
bool CrashBegun();

// Keeps the calling thread waiting until the crash ends the process.
[[noreturn]] void ParkForever();

// Parks the calling thread when a crash has begun; returns at once when not.
void StopIfCrashing();
