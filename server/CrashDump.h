#pragma once

#include <windows.h>

#include "server/ServerState.h"

// The server's unhandled-exception filter: writes a minidump of the process
// into serverState.dumpFolder and ends the process with exit code 9. It
// returns (EXCEPTION_CONTINUE_SEARCH) only when DbgHelp or its
// MiniDumpWriteDump cannot be had.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* exception);

// Installs WriteCrashDump again; plug-ins may have installed their own.
void InstallCrashDumpFilter();

// Sets aside, while the heap is still sound, the buffer the filter builds
// the dump file name in. Call after serverState.dumpFolder and dumpPrefix
// are set. False when memory cannot be had; faults then leave no dump.
bool PrepareCrashDumpPath();

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
