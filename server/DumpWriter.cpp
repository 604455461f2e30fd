#include "server/DumpWriter.h"

#include <dbghelp.h>

#include "server/CrashDump.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
using SymInitializeWFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);

// A writer that has not ended the process after this long is stuck (a lock
// held by a thread it waits for); the faulting thread then ends it without
// the dump.
constexpr DWORD kLongestDumpMs = 30000;

// DbgHelp needs little stack. Wine 8 gives a thread at least 1 MiB whatever
// is asked.
constexpr SIZE_T kWriterStackBytes = 256 * 1024;

// The fault as the faulting thread hands it over; written once, before
// faultReported is set.
struct Fault {
    DWORD threadId;
    EXCEPTION_POINTERS* exception;
    SYSTEMTIME time;
};
Fault fault;

// The writer's thread and its event live for the process.
HANDLE writerThread = nullptr;
volatile DWORD writerThreadId = 0;
HANDLE faultReported = nullptr;
HANDLE preparePermitted = nullptr;
MiniDumpWriteDumpFn writeDump = nullptr;

bool SetDeletionMark(HANDLE file, bool deleteOnClose) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = deleteOnClose;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// DbgHelp is loaded by name, never imported, and before any fault, so that a
// fault finds it ready. Under Wine 8, MiniDumpWriteDump on a process that
// DbgHelp does not know yet first registers it with every loaded module and
// then copies each module's unwind data into the dump a few bytes per
// wineserver round trip: seconds of CPU for each crash. Registered here
// without its modules, the process dumps in tens of milliseconds, and the
// dump still lists every module and thread.
bool PrepareDbgHelp() {
    HMODULE dbghelp = LoadLibraryW(L"DbgHelp.dll");
    if (!dbghelp)
        return false;
    auto symInitialize = reinterpret_cast<SymInitializeWFn>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymInitializeW")));
    if (symInitialize) {
        // Wine's DbgHelp also lists the Linux libraries of a process it takes
        // for a live Wine process, reading their headers through the
        // wineserver: most of what is left of a dump's time, which keeps the
        // other servers of a host waiting on the same wineserver. This
        // variable, read only while the process is registered, makes it
        // leave them out; the dump keeps every Windows module and thread.
        // Windows knows no such variable.
        SetEnvironmentVariableW(L"DBGHELP_NOLIVE", L"1");
        symInitialize(GetCurrentProcess(), nullptr, FALSE);
        SetEnvironmentVariableW(L"DBGHELP_NOLIVE", nullptr);
    }
    writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    return writeDump != nullptr;
}

// The writer is left out of the dump: its stack only shows the dump being
// written. Wine 8's MiniDumpWriteDump would list it with the faulting
// thread's context (it takes the exception to be the writing thread's own)
// and the whole of its stack.
BOOL CALLBACK LeaveWriterOut(void*, PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT) {
    if (input->CallbackType == IncludeThreadCallback)
        return input->IncludeThread.ThreadId != writerThreadId;
    if (input->CallbackType == ThreadCallback)
        return input->Thread.ThreadId != writerThreadId;
    return TRUE;
}

void WriteDumpOfFault() {
    const wchar_t* path = FormatCrashDumpPathAt(fault.time);
    if (!path)
        return;
    HANDLE file = CreateDumpFile(path);
    if (file == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = fault.threadId;
    info.ExceptionPointers = fault.exception;
    info.ClientPointers = FALSE;
    MINIDUMP_CALLBACK_INFORMATION callback = {LeaveWriterOut, nullptr};
    if (writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &info,
                  nullptr, &callback))
        KeepDumpFile(file);
    CloseHandle(file);
}

DWORD WINAPI RunDumpWriter(void*) {
    writerThreadId = GetCurrentThreadId();
    HANDLE startSignals[] = {preparePermitted, faultReported};
    WaitForMultipleObjects(2, startSignals, FALSE, INFINITE);
    bool ready = PrepareDbgHelp();
    // A fault reported while DbgHelp was still loading waited for it here.
    WaitForSingleObject(faultReported, INFINITE);
    if (ready)
        WriteDumpOfFault();
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return 0;
}

}  // namespace

bool StartDumpWriter() {
    faultReported = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    preparePermitted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!faultReported || !preparePermitted)
        return false;
    DWORD id = 0;
    writerThread = CreateThread(nullptr, kWriterStackBytes, RunDumpWriter, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!writerThread)
        return false;
    writerThreadId = id;
    return true;
}

void LetDumpWriterPrepare() {
    static bool permitted = false;
    if (preparePermitted && !permitted) {
        permitted = true;
        SetEvent(preparePermitted);
    }
}

void HandFaultToDumpWriter(EXCEPTION_POINTERS* exception) {
    if (!writerThread)
        return;
    fault.threadId = GetCurrentThreadId();
    fault.exception = exception;
    GetLocalTime(&fault.time);
    SetEvent(faultReported);
    // Returns at once when the writer has gone: ExitProcess ends every
    // other thread before it runs the DLLs' detach code, and a fault there
    // finds no writer.
    WaitForSingleObject(writerThread, kLongestDumpMs);
}

bool IsDumpWriterThread() {
    return writerThreadId != 0 && writerThreadId == GetCurrentThreadId();
}

HANDLE CreateDumpFile(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    if (!SetDeletionMark(file, true)) {
        CloseHandle(file);
        DeleteFileW(path);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool KeepDumpFile(HANDLE file) {
    return SetDeletionMark(file, false);
}
