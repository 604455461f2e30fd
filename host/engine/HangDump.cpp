#include "host/engine/HangDump.h"

#include <dbghelp.h>

#include <cwchar>
#include <mutex>

namespace host {

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
using SymInitializeWFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using SymCleanupFn = BOOL(WINAPI*)(HANDLE);

// DbgHelp's functions may not be called from two threads at once.
std::mutex dbghelpLock;

}  // namespace

bool WriteHangDump(HANDLE process, DWORD processId, const std::wstring& folder, std::wstring* path,
                   std::string* error) {
    std::lock_guard<std::mutex> lock(dbghelpLock);
    // Loaded once and kept for the life of the process.
    static HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    auto writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(dbghelp ? GetProcAddress(dbghelp, "MiniDumpWriteDump") : nullptr));
    auto initialize = reinterpret_cast<SymInitializeWFn>(
        reinterpret_cast<void*>(dbghelp ? GetProcAddress(dbghelp, "SymInitializeW") : nullptr));
    auto cleanup = reinterpret_cast<SymCleanupFn>(
        reinterpret_cast<void*>(dbghelp ? GetProcAddress(dbghelp, "SymCleanup") : nullptr));
    if (!writeDump) {
        *error = "DbgHelp's MiniDumpWriteDump is not available";
        return false;
    }

    // Named for the server's architecture, as its own dumps are: a 32-bit
    // process runs under WOW64 on a 64-bit system (and under Wine).
    BOOL wow64 = FALSE;
    const wchar_t* platform = IsWow64Process(process, &wow64) && wow64 ? L"x86" : L"x64";
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"ScanServer-%ls-%04u-%02u-%02u-%02u-%02u-%02u-hang", platform, now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    std::wstring target = folder + L"\\" + name + L".mdmp";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int n = 2; n < 1000; n++) {
        file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            break;
        target = folder + L"\\" + name + L"-" + std::to_wstring(n) + L".mdmp";
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot create the hang dump (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // Registering the process with DbgHelp without loading its modules'
    // symbols keeps Wine's MiniDumpWriteDump from reading every module's
    // unwind data eight bytes at a time: seconds become milliseconds, and
    // the dump still lists every module and every thread with its stack.
    bool registered = initialize && initialize(process, nullptr, FALSE);
    BOOL written = writeDump(process, processId, file, MiniDumpNormal, nullptr, nullptr, nullptr);
    if (registered && cleanup)
        cleanup(process);
    CloseHandle(file);
    if (!written) {
        DeleteFileW(target.c_str());
        *error = "MiniDumpWriteDump failed";
        return false;
    }
    *path = target;
    return true;
}

}  // namespace host
