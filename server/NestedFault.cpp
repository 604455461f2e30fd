#include "server/NestedFault.h"

#include "server/CrashDump.h"

namespace {

// Not in every SDK's headers.
constexpr DWORD kHeapCorruption = 0xC0000374;
constexpr DWORD kStackBufferOverrun = 0xC0000409;
// TlsSetValue keeps the first 64 slots in the thread's own block; later
// ones it allocates, which the handler must not.
constexpr DWORD kInlineTlsSlots = 64;

// Each thread's latest hard fault, as the system handed it to the handler:
// the record and context live on that thread's stack, in the frame of the
// dispatch, for as long as the dispatch goes on.
DWORD recordSlot = TLS_OUT_OF_INDEXES;
DWORD contextSlot = TLS_OUT_OF_INDEXES;
// ntdll.dll's image, where Wine's dispatcher runs.
ULONG_PTR dispatcherStart = 0;
ULONG_PTR dispatcherEnd = 0;

ULONG_PTR StackPointerOf(const CONTEXT* context) {
#if defined(__x86_64__)
    return context->Rsp;
#else
    return context->Esp;
#endif
}

ULONG_PTR ProgramCounterOf(const CONTEXT* context) {
#if defined(__x86_64__)
    return context->Rip;
#else
    return context->Eip;
#endif
}

// True while the earlier fault is still being dispatched when the new one
// comes: its record lies on this thread's stack above the new fault, and
// still holds a hard fault at the address its context holds. Once its
// dispatch is over, the frames that follow write over it.
bool StillDispatching(const EXCEPTION_RECORD* earlier, const CONTEXT* earlierContext,
                      const CONTEXT* context) {
    auto at = reinterpret_cast<ULONG_PTR>(earlier);
    if (!earlier || !earlierContext || StackPointerOf(context) >= at)
        return false;
    MEMORY_BASIC_INFORMATION record, stack;
    char here = 0;
    if (VirtualQuery(earlier, &record, sizeof record) != sizeof record ||
        VirtualQuery(&here, &stack, sizeof stack) != sizeof stack ||
        record.AllocationBase != stack.AllocationBase || record.State != MEM_COMMIT)
        return false;
    return IsHardFault(earlier->ExceptionCode) &&
           reinterpret_cast<ULONG_PTR>(earlier->ExceptionAddress) == ProgramCounterOf(earlierContext);
}

bool InDispatcher(const EXCEPTION_RECORD* record) {
    auto at = reinterpret_cast<ULONG_PTR>(record->ExceptionAddress);
    return at >= dispatcherStart && at < dispatcherEnd;
}

// Runs first on every exception of every thread, and on each nested fault
// of a dispatcher that faults: it allocates nothing, takes no lock and
// needs little stack.
LONG WINAPI StopNestedFault(EXCEPTION_POINTERS* exception) {
    EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (!IsHardFault(record->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    auto* earlier = static_cast<EXCEPTION_RECORD*>(TlsGetValue(recordSlot));
    auto* earlierContext = static_cast<CONTEXT*>(TlsGetValue(contextSlot));
    if (InDispatcher(record) && StillDispatching(earlier, earlierContext, exception->ContextRecord)) {
        EXCEPTION_POINTERS first = {earlier, earlierContext};
        WriteCrashDump(&first);
    }
    TlsSetValue(recordSlot, record);
    TlsSetValue(contextSlot, exception->ContextRecord);
    return EXCEPTION_CONTINUE_SEARCH;
}

bool NoteDispatcherImage() {
    auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(L"ntdll.dll"));
    if (!base)
        return false;
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    dispatcherStart = reinterpret_cast<ULONG_PTR>(base);
    dispatcherEnd = dispatcherStart + nt->OptionalHeader.SizeOfImage;
    return true;
}

}  // namespace

bool IsHardFault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_NONCONTINUABLE_EXCEPTION:
    case EXCEPTION_INVALID_DISPOSITION:
    case kHeapCorruption:
    case kStackBufferOverrun:
        return true;
    default:
        return false;
    }
}

bool WatchForNestedFaults() {
    if (!NoteDispatcherImage())
        return false;
    recordSlot = TlsAlloc();
    contextSlot = TlsAlloc();
    if (recordSlot >= kInlineTlsSlots || contextSlot >= kInlineTlsSlots) {
        TlsFree(recordSlot);
        TlsFree(contextSlot);
        return false;
    }
    return AddVectoredExceptionHandler(1, StopNestedFault) != nullptr;
}
