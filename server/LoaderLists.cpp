#include "server/LoaderLists.h"

#include <windows.h>
#include <winternl.h>

namespace {

constexpr int kLists = 3;
// Far more modules than any process loads: a list whose links form a loop
// that misses its head still ends.
constexpr int kMostEntries = 4096;

LIST_ENTRY* heads[kLists] = {};
LIST_ENTRY* firsts[kLists] = {};

// True when a whole LIST_ENTRY at entry lies in memory that is committed,
// readable and writable, and the pointer is aligned as the loader aligns it.
bool IsUsableEntry(const LIST_ENTRY* entry) {
    auto at = reinterpret_cast<ULONG_PTR>(entry);
    if (!entry || at % alignof(LIST_ENTRY) != 0)
        return false;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(entry, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT)
        return false;
    const DWORD writable = PAGE_READWRITE | PAGE_EXECUTE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_WRITECOPY;
    if (!(info.Protect & writable) || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
        return false;
    return at + sizeof(LIST_ENTRY) <= reinterpret_cast<ULONG_PTR>(info.BaseAddress) + info.RegionSize;
}

void MendList(LIST_ENTRY* head, LIST_ENTRY* first) {
    if (!IsUsableEntry(head) || !IsUsableEntry(first))
        return;
    if (head->Flink != first)
        head->Flink = first;
    if (first->Blink != head)
        first->Blink = head;
    LIST_ENTRY* last = first;
    for (int n = 0; n < kMostEntries && last->Flink != head; n++) {
        LIST_ENTRY* next = last->Flink;
        if (!IsUsableEntry(next) || next->Blink != last) {
            last->Flink = head;
            break;
        }
        last = next;
    }
    if (last->Flink != head)
        last->Flink = head;
    if (head->Blink != last)
        head->Blink = last;
}

}  // namespace

// winternl.h names only the list in memory order; the list in load order
// comes just before it and the list in initialisation order just after, on
// x64 and x86 alike.
void NoteLoaderLists() {
    using RtlGetCurrentPebFn = PEB*(NTAPI*)();
    auto getPeb = reinterpret_cast<RtlGetCurrentPebFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetCurrentPeb")));
    PEB* peb = getPeb ? getPeb() : nullptr;
    PEB_LDR_DATA* loader = peb ? peb->Ldr : nullptr;
    if (!loader)
        return;
    LIST_ENTRY* list = &loader->InMemoryOrderModuleList - 1;
    for (int i = 0; i < kLists; i++) {
        heads[i] = &list[i];
        firsts[i] = list[i].Flink != &list[i] ? list[i].Flink : nullptr;
    }
}

void MendLoaderLists() {
    for (int i = 0; i < kLists; i++)
        MendList(heads[i], firsts[i]);
}
