#pragma once

#include <windows.h>

#include <string>

namespace host {

// Writes a minidump of a hung server, every thread with its stack, into
// folder, named as the server names its own dumps with "-hang" added:
// "ScanServer-x64-2026-12-07-11-39-48-hang.mdmp", "ScanServer-x86-..." for
// an x86 server, which is an x86 dump (a number added when that name is
// taken). The path in *path; false with *error when it fails.
bool WriteHangDump(HANDLE process, DWORD processId, const std::wstring& folder, std::wstring* path,
                   std::string* error);

}  // namespace host
