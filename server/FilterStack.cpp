#include "server/FilterStack.h"

#include <windows.h>

namespace {

// Smaller stacks are left whole: a thread made with a small stack may need
// all of it.
constexpr size_t kSmallestReservingStack = 8 * kFilterStackBytes;

size_t PageSize() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}

bool IsCommittedPage(const char* page, DWORD protection) {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(page, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT &&
           info.Protect == protection;
}

// The lowest address of the calling thread's stack: the start of the
// allocation that holds it.
char* StackEnd() {
    char here = 0;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(&here, &info, sizeof info) != sizeof info)
        return nullptr;
    return static_cast<char*>(info.AllocationBase);
}

// Windows grows a stack page by page behind a guard page and, once the
// guard page comes within the thread's stack guarantee of the end, raises
// the stack overflow with the guaranteed bytes still free. Wine 8 commits
// the whole stack when it creates the thread and puts its one guard page
// just above the last, inaccessible page: the overflow comes there, with
// less than a page left, and the exception's dispatch overflows it again
// before any filter runs; the thread dies without a word. A guard page
// planted just above the guaranteed bytes makes Wine grow the stack, and
// raise the overflow, as Windows does.
void PlantGuardPageAboveGuarantee(size_t bytes) {
    char* end = StackEnd();
    if (!end)
        return;
    size_t page = PageSize();
    char* plant = end + page + (bytes + page - 1) / page * page;
    char here = 0;
    // Only in Wine's layout: committed down to a guard page above the end.
    if (!IsCommittedPage(end + page, PAGE_READWRITE | PAGE_GUARD) ||
        !IsCommittedPage(plant, PAGE_READWRITE) || plant + page > &here)
        return;
    DWORD old = 0;
    VirtualProtect(plant, page, PAGE_READWRITE | PAGE_GUARD, &old);
}

// The whole size of the calling thread's stack, reserved and committed.
size_t StackSize() {
    char* end = StackEnd();
    size_t size = 0;
    MEMORY_BASIC_INFORMATION info;
    while (end && VirtualQuery(end + size, &info, sizeof info) == sizeof info &&
           info.AllocationBase == end)
        size += info.RegionSize;
    return size;
}

void NTAPI ReserveOnNewThread(void*, DWORD reason, void*) {
    if (reason == DLL_THREAD_ATTACH && StackSize() >= kSmallestReservingStack)
        ReserveFilterStack(kFilterStackBytes);
}

}  // namespace

// The loader calls the program's TLS callbacks on each new thread, before
// the thread's own code; the C runtime gathers them from the .CRT$XL*
// sections between its own __xl_a and __xl_z.
extern "C" __attribute__((section(".CRT$XLT"), used))
const PIMAGE_TLS_CALLBACK reserveFilterStackCallback = ReserveOnNewThread;

bool ReserveFilterStack(size_t bytes) {
    ULONG guarantee = static_cast<ULONG>(bytes);
    if (!SetThreadStackGuarantee(&guarantee))
        return false;
    PlantGuardPageAboveGuarantee(bytes);
    return true;
}
