#include "scan/SystemModules.h"

#include <psapi.h>
#include <winternl.h>

// The loader's own lock, exported by ntdll and declared by no header here.
extern "C" NTSTATUS NTAPI LdrLockLoaderLock(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
extern "C" NTSTATUS NTAPI LdrUnlockLoaderLock(ULONG flags, ULONG_PTR cookie);

namespace {

// Enough for the modules of any process seen; a longer list is read into
// the heap.
constexpr DWORD kStackModules = 512;

// Longer names than this are not judged, and their modules not kept.
constexpr DWORD kMaxPathChars = 1024;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "\\?\C:\x" and "\??\C:\x" name the file "C:\x" names.
const wchar_t* WithoutPrefix(const wchar_t* path) {
    if (IsSeparator(path[0]) && (IsSeparator(path[1]) || path[1] == L'?') && path[2] == L'?' &&
        IsSeparator(path[3]))
        return path + 4;
    return path;
}

// Equal but for letter case and the kind of separator.
bool SameText(const wchar_t* a, const wchar_t* b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (IsSeparator(a[i]) || IsSeparator(b[i])) {
            if (!IsSeparator(a[i]) || !IsSeparator(b[i]))
                return false;
        } else if (CompareStringOrdinal(a + i, 1, b + i, 1, TRUE) != CSTR_EQUAL) {
            return false;
        }
    }
    return true;
}

// The part of `path` after `folder` and a separator, or null when the path
// does not lie in that folder.
const wchar_t* PartInFolder(const wchar_t* path, const wchar_t* folder) {
    folder = WithoutPrefix(folder);
    size_t length = wcslen(folder);
    while (length > 0 && IsSeparator(folder[length - 1]))
        length--;
    if (length == 0 || wcslen(path) <= length || !IsSeparator(path[length]) ||
        !SameText(path, folder, length))
        return nullptr;
    return path + length + 1;
}

// A file name in this folder or a folder below it, without "." or ".."
// parts; `direct` allows no folder below.
bool IsFileBelow(const wchar_t* part, bool direct) {
    if (!part || !*part)
        return false;
    for (const wchar_t* name = part; *name;) {
        const wchar_t* end = name;
        while (*end && !IsSeparator(*end))
            end++;
        size_t length = static_cast<size_t>(end - name);
        if (length == 0 || (name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.'))))
            return false;
        if (!*end)
            return true;
        if (direct)
            return false;
        name = end + 1;
    }
    return false;
}

// `length` is what the call that filled `folder` returned: 0 on failure,
// more than the buffer when it did not fit.
bool IsBelowFolder(const wchar_t* path, const wchar_t* folder, UINT length, bool direct) {
    return length > 0 && length < MAX_PATH && IsFileBelow(PartInFolder(path, folder), direct);
}

bool IsKept(HMODULE module) {
    for (int32_t i = 0; i < serverState.keptModules.GetCount(); i++)
        if (serverState.keptModules[i] == module)
            return true;
    return false;
}

bool WasLoadedBefore(HMODULE module) {
    for (int32_t i = 0; i < serverState.modulesBeforeRequest.GetCount(); i++)
        if (serverState.modulesBeforeRequest[i] == module)
            return true;
    return false;
}

// The modules loaded now, in load order, into `modules` (cleared first).
// The loader lock keeps a plug-in's thread from changing the list while it
// is read. False when it could not be read whole.
bool ListLoadedModules(ModuleList* modules) {
    modules->RemoveAll();
    HMODULE onStack[kStackModules];
    HMODULE* list = onStack;
    DWORD capacity = kStackModules;
    bool listed = false;
    DWORD count = 0;
    ULONG_PTR cookie = 0;
    for (int attempt = 0; attempt < 3 && !listed; attempt++) {
        DWORD needed = 0;
        bool locked = LdrLockLoaderLock(0, nullptr, &cookie) >= 0;
        BOOL read = K32EnumProcessModules(GetCurrentProcess(), list, capacity * sizeof(HMODULE), &needed);
        if (locked)
            LdrUnlockLoaderLock(0, cookie);
        if (!read)
            break;
        count = needed / sizeof(HMODULE);
        if (count <= capacity) {
            listed = true;
            break;
        }
        if (list != onStack)
            free(list);
        capacity = count + 64;
        list = static_cast<HMODULE*>(malloc(capacity * sizeof(HMODULE)));
        if (!list)
            return false;
    }
    for (DWORD i = 0; listed && i < count; i++)
        listed = modules->Add(list[i]);
    if (list != onStack)
        free(list);
    return listed;
}

}  // namespace

bool IsInWindowsFolders(const wchar_t* path) {
    path = WithoutPrefix(path);
    wchar_t folder[MAX_PATH + 16];
    if (IsBelowFolder(path, folder, GetSystemDirectoryW(folder, MAX_PATH), false))
        return true;
    // Fails on a 32-bit Windows, which has no such folder.
    if (IsBelowFolder(path, folder, GetSystemWow64DirectoryW(folder, MAX_PATH), false))
        return true;
    // The shared Windows folder, not a user's private one on a terminal server.
    UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (IsBelowFolder(path, folder, length, true))
        return true;
    if (length == 0 || length >= MAX_PATH)
        return false;
    while (length > 0 && IsSeparator(folder[length - 1]))
        folder[--length] = L'\0';
    wcscat(folder, L"\\WinSxS");
    return IsBelowFolder(path, folder, length, false);
}

void NoteLoadedModules() {
    ListLoadedModules(&serverState.modulesBeforeRequest);
}

int32_t KeepNewSystemModules(HMODULE plugin) {
    ModuleList& now = serverState.modulesNow;
    if (!ListLoadedModules(&now) && now.GetCount() == 0)
        return 0;
    int32_t added = 0;
    wchar_t path[kMaxPathChars];
    for (int32_t i = 0; i < now.GetCount(); i++) {
        HMODULE module = now[i];
        if (module == plugin || WasLoadedBefore(module) || IsKept(module))
            continue;
        // The reference comes first and the name of what it holds after, so
        // that a module another thread unloads in between is never judged
        // by a name that is no longer its own.
        HMODULE held = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<const wchar_t*>(module), &held))
            continue;
        DWORD length = GetModuleFileNameW(held, path, kMaxPathChars);
        bool keep = held == module && length > 0 && length < kMaxPathChars &&
                    IsInWindowsFolders(path) && serverState.keptModules.Add(held);
        if (!keep) {
            FreeLibrary(held);
            continue;
        }
        added++;
    }
    return added;
}
