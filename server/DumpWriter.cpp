#include "server/DumpWriter.h"

#include <dbghelp.h>
#include <winternl.h>

#include "server/CrashDump.h"
#include "server/CrashGate.h"
#include "server/LoaderLists.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
using SymInitializeWFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using LdrLockLoaderLockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);

// LdrLockLoaderLock's flag to return at once, and its answer when it took
// the lock.
constexpr ULONG kLoaderLockTryOnly = 2;
constexpr ULONG kLoaderLockTaken = 1;
// How long the writer tries for the loader's lock before it hands the dump
// back: a plug-in's thread may be loading a DLL for a moment.
constexpr DWORD kLoaderLockTryMs = 100;

// A writer that has not ended the process after this long is stuck (on
// something a crashed or a plug-in's thread holds); the faulting thread then
// ends the process without the dump, with the crash's exit code, so that no
// host waits out its own time limit for a crash. A dump takes tens to
// hundreds of milliseconds; the slowest seen, about 3 s, came on a two-core
// machine busy with other builds and tests. Hosts give a request a minute.
constexpr DWORD kLongestDumpMs = 5000;

// DbgHelp needs little stack. Wine 8 gives a thread at least 1 MiB whatever
// is asked.
constexpr SIZE_T kWriterStackBytes = 256 * 1024;

// The heap DbgHelp allocates from while it writes the dump, and the field of
// the process environment block that names the process heap (see
// LendDumpHeap); both found at start-up.
HANDLE dumpHeap = nullptr;
void** processHeapField = nullptr;

// The fault as the faulting thread hands it over; written once, before
// faultReported is set.
struct Fault {
    DWORD threadId;
    EXCEPTION_POINTERS* exception;
    SYSTEMTIME time;
    ULONGLONG tick;
};
Fault fault;

// The writer's thread and its event live for the process.
HANDLE writerThread = nullptr;
// The thread that started the writer: the server's main thread.
HANDLE mainThread = nullptr;
volatile DWORD writerThreadId = 0;
HANDLE faultReported = nullptr;
// Set by the writer when the faulting thread is to write the dump itself.
HANDLE dumpHandedBack = nullptr;
LdrLockLoaderLockFn lockLoader = nullptr;
HANDLE preparePermitted = nullptr;
// Set once the writer has done preparing, whether DbgHelp could be had or not.
HANDLE writerPrepared = nullptr;
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

// DbgHelp, and the system's path and file code under CreateFileW, allocate
// from the process heap, and each allocation takes that heap's lock. A
// plug-in may have faulted while some thread held it (inside HeapFree on a
// heap it broke, or after HeapLock), or broken the heap so that it faults
// again: then the dump would wait forever or die half written. Every such
// caller finds the process heap through GetProcessHeap, which reads it from
// the process environment block; pointed at a heap of the writer's own, made
// while the process was sound, they no longer touch the plug-in's. The
// process ends with the dump, so the heap is never handed back; other
// threads still running allocate from it meanwhile, and their frees of
// earlier blocks fail, which is harmless for the few milliseconds left.
void LendDumpHeap() {
    if (dumpHeap && processHeapField)
        *processHeapField = dumpHeap;
}

// The field follows the subsystem data, on x64 and x86 alike; it is taken
// only when it holds what GetProcessHeap returns.
void** FindProcessHeapField() {
    using RtlGetCurrentPebFn = PEB*(NTAPI*)();
    auto getPeb = reinterpret_cast<RtlGetCurrentPebFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetCurrentPeb")));
    PEB* peb = getPeb ? getPeb() : nullptr;
    if (!peb || peb->Reserved4[1] != GetProcessHeap())
        return nullptr;
    return &peb->Reserved4[1];
}

void WriteDumpOfFault() {
    LendDumpHeap();
    MendLoaderLists();
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

// DbgHelp takes the loader's lock (Wine 8): held by a crashed thread, which
// a fault in a DLL's attach code or a plug-in's own use of it leaves held,
// the writer would wait for it until the time allowed runs out. The writer
// takes it first, keeping it for the rest of the process; true when it has
// it, or when there is no telling.
bool TakeLoaderLock() {
    if (!lockLoader)
        return true;
    ULONGLONG start = GetTickCount64();
    for (;;) {
        ULONG disposition = 0;
        ULONG_PTR cookie = 0;
        if (lockLoader(kLoaderLockTryOnly, &disposition, &cookie) == 0 &&
            disposition == kLoaderLockTaken)
            return true;
        if (GetTickCount64() - start >= kLoaderLockTryMs)
            return false;
        Sleep(1);
    }
}

// The loader's lock is held elsewhere, most likely by the faulting thread,
// which can take it again: that thread writes the dump, and the writer
// keeps the time allowed for it.
void HandDumpBack() {
    SetEvent(dumpHandedBack);
    ULONGLONG spent = GetTickCount64() - fault.tick;
    if (spent < kLongestDumpMs)
        Sleep(static_cast<DWORD>(kLongestDumpMs - spent));
}

// A plug-in may end the main thread (ExitThread in its entry point), and
// then the writer would be what keeps the process alive, serving nobody:
// the process ends as Windows ends one whose last thread ended, with that
// thread's exit code. A crash already claimed goes on to its dump instead,
// unless the fault never comes (the thread that claimed it ended on its way
// to the writer): then the process ends as a crash once a dump's time has
// passed. Returns while the main thread lives, or once a fault has been
// reported.
void EndIfMainThreadEnded() {
    if (!mainThread || WaitForSingleObject(mainThread, 0) != WAIT_OBJECT_0)
        return;
    if (CrashBegun()) {
        if (WaitForSingleObject(faultReported, kLongestDumpMs) != WAIT_OBJECT_0)
            TerminateProcess(GetCurrentProcess(), kCrashExitCode);
        return;
    }
    DWORD code = 0;
    GetExitCodeThread(mainThread, &code);
    TerminateProcess(GetCurrentProcess(), code);
}

// Waits for signal, or for the main thread's end (see EndIfMainThreadEnded).
void WaitForSignalOrMainThread(HANDLE signal) {
    HANDLE signals[] = {signal, mainThread};
    if (WaitForMultipleObjects(mainThread ? 2 : 1, signals, FALSE, INFINITE) != WAIT_OBJECT_0)
        EndIfMainThreadEnded();
}

DWORD WINAPI RunDumpWriter(void*) {
    writerThreadId = GetCurrentThreadId();
    HANDLE startSignals[] = {preparePermitted, faultReported, mainThread};
    if (WaitForMultipleObjects(mainThread ? 3 : 2, startSignals, FALSE, INFINITE) == WAIT_OBJECT_0 + 2)
        EndIfMainThreadEnded();
    bool ready = PrepareDbgHelp();
    SetEvent(writerPrepared);
    // A fault reported while DbgHelp was still loading waited for it here.
    WaitForSignalOrMainThread(faultReported);
    if (ready && TakeLoaderLock())
        WriteDumpOfFault();
    else if (ready)
        HandDumpBack();
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    return 0;
}

}  // namespace

bool StartDumpWriter() {
    faultReported = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    preparePermitted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    dumpHandedBack = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writerPrepared = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    dumpHeap = HeapCreate(0, 0, 0);
    processHeapField = FindProcessHeapField();
    lockLoader = reinterpret_cast<LdrLockLoaderLockFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
    if (!faultReported || !preparePermitted || !dumpHandedBack || !writerPrepared)
        return false;
    // Without it the writer cannot notice the main thread's end; it still
    // writes dumps.
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread,
                         SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0))
        mainThread = nullptr;
    DWORD id = 0;
    writerThread = CreateThread(nullptr, kWriterStackBytes, RunDumpWriter, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    if (!writerThread)
        return false;
    writerThreadId = id;
    NoteLoaderLists();
    return true;
}

void LetDumpWriterPrepare() {
    static bool permitted = false;
    if (preparePermitted && !permitted) {
        permitted = true;
        SetEvent(preparePermitted);
    }
}

void WaitUntilDumpWriterPrepared() {
    if (writerThread)
        WaitForSingleObject(writerPrepared, kLongestDumpMs);
}

void HandFaultToDumpWriter(EXCEPTION_POINTERS* exception) {
    if (!writerThread)
        return;
    fault.threadId = GetCurrentThreadId();
    fault.exception = exception;
    GetLocalTime(&fault.time);
    fault.tick = GetTickCount64();
    SetEvent(faultReported);
    // Returns at once when the writer has gone: ExitProcess ends every
    // other thread before it runs the DLLs' detach code, and a fault there
    // finds no writer.
    HANDLE signals[] = {writerThread, dumpHandedBack};
    if (WaitForMultipleObjects(2, signals, FALSE, kLongestDumpMs) == WAIT_OBJECT_0 + 1)
        WriteDumpOfFault();
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
