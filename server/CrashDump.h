#pragma once

#include <windows.h>

#include "server/ServerState.h"

// The server's unhandled-exception filter: claims the crash (CrashGate.h),
// has the dump writer (DumpWriter.h) write a minidump of the process into
// serverState.dumpFolder, and ends the process with exit code 9. It never
// returns. A fault that reaches it while another is being written waits for
// that one to end the process: there is one dump, of the first fault.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* exception);

// Installs WriteCrashDump again; plug-ins may have installed their own.
void InstallCrashDumpFilter();

// Sets aside, while the heap is still sound, the buffer the dump writer
// builds the dump file name in. Call after serverState.dumpFolder and dumpPrefix
// are set. False when memory cannot be had; faults then leave no dump.
bool PrepareCrashDumpPath();

// Formats the dump file name for a fault at time into the buffer that
// PrepareCrashDumpPath set aside, and returns it; null when there is no
// buffer or the name does not fit. Allocates nothing.
const wchar_t* FormatCrashDumpPathAt(const SYSTEMTIME& time);

// The folder as a dump path of nameLength more characters uses it: a
// drive or UNC folder gets the long-path prefix ("\\?\", "\\?\UNC\") when
// the whole name would not fit in MAX_PATH, since CreateFileW refuses such
// names otherwise. Other folders, and shorter names, are kept unchanged.
CStringW DumpPathFolder(const wchar_t* folder, size_t nameLength);

// Writes "<folder>\<prefix>-YYYY-MM-DD-hh-mm-ss.mdmp" into path, which has
// room for capacity characters with the terminator; the folder is used
// unchanged. Allocates nothing and takes no lock, so it is safe at crash
// time. False when the name does not fit.
bool FormatCrashDumpPath(wchar_t* path, size_t capacity, const wchar_t* folder,
                         const wchar_t* prefix, const SYSTEMTIME& time);

constexpr UINT kCrashExitCode = 9;
