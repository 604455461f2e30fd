#include "host/engine/failures/HangDump.h"

#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

#include "host/engine/failures/Minidump.h"

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

using namespace minidump;

// i386 CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS.
constexpr uint32_t kX86ContextFlags = 0x10007;
constexpr uint32_t kX86CodeSegment = 0x23;
// A stack kept is at most this long, from its stack pointer up.
constexpr size_t kStackKept = 1024 * 1024;

void Put32(std::string* bytes, size_t at, uint32_t value) {
    memcpy(&(*bytes)[at], &value, 4);
}

// Where a stream of the given type is in the file, or 0.
size_t StreamAt(const std::string& bytes, uint32_t type, uint32_t* size) {
    Bytes in(bytes);
    uint32_t count = in.U32(8);
    size_t directory = in.U32(12);
    for (uint32_t i = 0; i < count && directory + i * 12ull + 12 <= bytes.size(); i++) {
        size_t entry = directory + i * 12ull;
        if (in.U32(entry) == type && in.U32(entry + 8) + uint64_t{in.U32(entry + 4)} <= bytes.size()) {
            *size = in.U32(entry + 4);
            return in.U32(entry + 8);
        }
    }
    return 0;
}

// Wine's x64 DbgHelp writes a dump of a 32-bit process as an x64 one: each
// thread's context in the x64 layout, holding its 32-bit registers, and as
// its stack the memory of a range that is not its 32-bit stack. Remade here
// into an x86 dump, as the x86 server's own dumps are: each context in the
// x86 layout, each stack read from the thread's stack pointer up to the
// end of the memory region holding it, with the threads suspended. Their
// contexts were taken by DbgHelp a moment before: a thread of a hung server
// that was not waiting may have moved on since. False when the file is not
// as DbgHelp writes it.
bool RemakeAsX86(HANDLE process, std::string* bytes) {
    Bytes in(*bytes);  // reads the file as it grows
    uint32_t size = 0;
    size_t system = StreamAt(*bytes, kSystemInfoStream, &size);
    if (!system || size < 2)
        return false;
    uint16_t architecture = 0;
    memcpy(&architecture, bytes->data() + system, 2);
    if (architecture != kArchitectureX64)
        return architecture == kArchitectureX86;
    size_t threads = StreamAt(*bytes, kThreadListStream, &size);
    if (!threads || size < 4 || 4 + uint64_t{in.U32(threads)} * kThreadSize > size)
        return false;
    uint32_t count = in.U32(threads);
    // Wine's contexts run in the 32-bit code segment. A 64-bit context of a
    // WOW64 thread, as Windows writes it, is of the 64-bit layer beneath
    // and holds no x86 registers: such a dump is left as it is.
    for (uint32_t t = 0; t < count; t++) {
        size_t record = threads + 4 + t * kThreadSize;
        size_t context = in.U32(record + 44);
        if (in.U32(record + 40) < kContextRip + 8 || context + kContextRip + 8 > bytes->size())
            return false;
        if ((in.U32(context + kContextSegments) & 0xFFFF) != kX86CodeSegment)
            return true;
    }
    std::vector<HANDLE> suspended;
    for (uint32_t t = 0; t < count; t++) {
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, in.U32(threads + 4 + t * kThreadSize));
        if (thread && SuspendThread(thread) != static_cast<DWORD>(-1))
            suspended.push_back(thread);
        else if (thread)
            CloseHandle(thread);
    }
    for (uint32_t t = 0; t < count; t++) {
        size_t record = threads + 4 + t * kThreadSize;
        size_t context = in.U32(record + 44);
        auto x64 = [&](size_t offset) { return in.U32(context + offset); };
        std::string x86(kContextX86Size, '\0');
        Put32(&x86, 0, kX86ContextFlags);
        // gs, fs, es, ds; edi, esi, ebx, edx, ecx, eax; ebp, eip, cs, eflags, esp, ss.
        Put32(&x86, kContextX86Gs, x64(kContextSegments + 8) & 0xFFFF);
        Put32(&x86, kContextX86Gs + 4, x64(kContextSegments + 6) & 0xFFFF);
        Put32(&x86, kContextX86Gs + 8, x64(kContextSegments + 4) & 0xFFFF);
        Put32(&x86, kContextX86Gs + 12, x64(kContextSegments + 2) & 0xFFFF);
        const int order[] = {7, 6, 3, 2, 1, 0};
        for (int i = 0; i < 6; i++)
            Put32(&x86, kContextX86Edi + i * 4, x64(kContextRax + order[i] * 8));
        Put32(&x86, kContextX86Ebp, x64(kContextRax + 5 * 8));
        Put32(&x86, kContextX86Eip, x64(kContextRip));
        Put32(&x86, kContextX86Cs, x64(kContextSegments) & 0xFFFF);
        Put32(&x86, kContextX86Cs + 4, x64(kContextSegments + 12));
        uint32_t esp = x64(kContextRax + 4 * 8);
        Put32(&x86, kContextX86Esp, esp);
        Put32(&x86, kContextX86Esp + 4, x64(kContextSegments + 10) & 0xFFFF);

        std::string stack;
        MEMORY_BASIC_INFORMATION region = {};
        if (esp && VirtualQueryEx(process, reinterpret_cast<void*>(uintptr_t{esp}), &region, sizeof region)) {
            uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
            stack.resize(std::min<size_t>(end - esp, kStackKept));
            SIZE_T got = 0;
            if (!ReadProcessMemory(process, reinterpret_cast<void*>(uintptr_t{esp}), &stack[0], stack.size(), &got))
                got = 0;
            stack.resize(got);
        }
        Put32(bytes, record + 40, kContextX86Size);
        Put32(bytes, record + 44, static_cast<uint32_t>(bytes->size()));
        *bytes += x86;
        // A stack that cannot be read is left out rather than DbgHelp's kept.
        uint64_t start = esp;
        memcpy(&(*bytes)[record + 24], &start, 8);
        Put32(bytes, record + 32, static_cast<uint32_t>(stack.size()));
        Put32(bytes, record + 36, static_cast<uint32_t>(bytes->size()));
        *bytes += stack;
    }
    for (HANDLE thread : suspended) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
    memcpy(&(*bytes)[system], &kArchitectureX86, 2);
    return true;
}

// Reads the whole of an open file, or rewrites it with bytes.
bool ReadWhole(HANDLE file, std::string* bytes) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 512ll * 1024 * 1024 ||
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    return bytes->empty() || (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) &&
                              got == bytes->size());
}
bool WriteWhole(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && SetEndOfFile(file);
}

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
    bool x86 = IsWow64Process(process, &wow64) && wow64;
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"ScanServer-%ls-%04u-%02u-%02u-%02u-%02u-%02u-hang", x86 ? L"x86" : L"x64", now.wYear,
             now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    std::wstring target = folder + L"\\" + name + L".mdmp";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int n = 2; n < 1000; n++) {
        file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
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
    std::string bytes;
    bool remade = !written || !x86 ||
                  (ReadWhole(file, &bytes) && RemakeAsX86(process, &bytes) && WriteWhole(file, bytes));
    CloseHandle(file);
    if (!written || !remade) {
        DeleteFileW(target.c_str());
        *error = written ? "the dump of the x86 server could not be made an x86 dump" : "MiniDumpWriteDump failed";
        return false;
    }
    *path = target;
    return true;
}

}  // namespace host
