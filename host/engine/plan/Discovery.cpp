#include "host/engine/plan/Discovery.h"

#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "host/engine/util/Text.h"

namespace host {

namespace {

int CompareIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE);
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareIgnoringCase(a, b) == CSTR_EQUAL;
}

struct PathLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return CompareIgnoringCase(a, b) == CSTR_LESS_THAN;
    }
};

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

bool IsDriveRoot(const std::wstring& path) {
    return path.size() == 3 && path[1] == L':' && path[2] == L'\\';
}

// "\\?\C:\x" is written "C:\x" and "\\?\UNC\server\share" "\\server\share". A
// trailing backslash goes, except a drive's own and that of a path with no
// plain form ("\\?\Volume{...}\" without it is the volume, not its root).
std::wstring PlainPath(std::wstring path) {
    if (StartsWith(path, L"\\\\?\\UNC\\"))
        path.erase(2, 6);
    else if (StartsWith(path, L"\\\\?\\") && path.size() >= 6 && path[5] == L':')
        path.erase(0, 4);
    if (path.size() > 1 && path.back() == L'\\' && !IsDriveRoot(path) &&
        !StartsWith(path, L"\\\\?\\"))
        path.pop_back();
    return path;
}

// The form that every file API takes whatever its length. Paths that have
// no such form (relative, device, already prefixed) stay as they are.
std::wstring LongPath(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\"))
        return path;
    if (StartsWith(path, L"\\\\"))
        return L"\\\\?\\UNC\\" + path.substr(2);
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return L"\\\\?\\" + path;
    return path;
}


std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    return folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

bool EndsWith(const std::wstring& name, const wchar_t* ending) {
    size_t length = wcslen(ending);
    return name.size() >= length && SameIgnoringCase(name.substr(name.size() - length), ending);
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH ||
           error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_DRIVE;
}

// "access denied (error 5)": the system's words, as the middle of a sentence.
std::string Reason(DWORD error) {
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, 512, nullptr);
    std::wstring words(text, length);
    while (!words.empty() && (iswspace(words.back()) || words.back() == L'.'))
        words.pop_back();
    if (words.size() > 1 && iswupper(words[0]) && !iswupper(words[1]))
        words[0] = towlower(words[0]);
    std::string number = "error " + std::to_string(error);
    return words.empty() ? number : ToUtf8(words) + " (" + number + ")";
}

std::string Quoted(const std::wstring& path) {
    return "\"" + ToUtf8(path) + "\"";
}

uint64_t Size(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

bool GetTimes(const std::wstring& path, FileTimes* times) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data))
        return false;
    times->size = Size(data.nFileSizeHigh, data.nFileSizeLow);
    times->modified = data.ftLastWriteTime;
    return true;
}

// A folder as the file system knows it, whatever path reached it.
struct FolderId {
    DWORD volume = 0;
    uint64_t index = 0;
};

bool SameFolder(const FolderId& a, const FolderId& b) {
    // Some network file systems answer 0 for every file: that says nothing.
    return a.index != 0 && a.volume == b.volume && a.index == b.index;
}

// Opens the folder itself, through any link or junction on the way.
bool ReadFolderId(const std::wstring& folder, FolderId* id, DWORD* error) {
    HANDLE handle = CreateFileW(LongPath(folder).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    bool ok = GetFileInformationByHandle(handle, &info);
    *error = ok ? 0 : GetLastError();
    CloseHandle(handle);
    id->volume = info.dwVolumeSerialNumber;
    id->index = Size(info.nFileIndexHigh, info.nFileIndexLow);
    return ok;
}

struct Entry {
    std::wstring name;
    bool folder = false;
    uint64_t size = 0;
    FILETIME modified = {};
};

bool EntryLess(const Entry& a, const Entry& b) {
    int order = CompareIgnoringCase(a.name, b.name);
    // Names that differ only in case (a case-sensitive folder) still keep
    // one order.
    return order == CSTR_EQUAL ? a.name < b.name : order == CSTR_LESS_THAN;
}

// The folder's entries but "." and "..", sorted. The basic information
// level skips the short names, and the large fetch takes many entries per
// call into the file system.
bool ListFolder(const std::wstring& folder, std::vector<Entry>* entries, DWORD* error) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(Join(LongPath(folder), L"*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        // A drive's root has no "." entry to list: when empty, nothing matches.
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND;
    }
    do {
        Entry entry;
        entry.name = data.cFileName;
        if (entry.name == L"." || entry.name == L"..")
            continue;
        entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.size = Size(data.nFileSizeHigh, data.nFileSizeLow);
        entry.modified = data.ftLastWriteTime;
        entries->push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    *error = GetLastError();
    FindClose(find);
    std::sort(entries->begin(), entries->end(), EntryLess);
    return *error == ERROR_NO_MORE_FILES;
}

class Walker {
public:
    Walker(Discovery* found, FormatSet formats) : found_(found), formats_(formats) {}

    void Take(const std::wstring& input) {
        size_t mark = input.find(L'>');
        std::wstring path = FullPath(input.substr(0, mark));
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (path.empty() ||
            !GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data)) {
            DWORD error = path.empty() ? ERROR_INVALID_NAME : GetLastError();
            Warn(IsMissing(error) ? "cannot find " + Quoted(path.empty() ? input : path)
                                  : "cannot read " + Quoted(path) + ": " + Reason(error));
            return;
        }
        uint64_t size = Size(data.nFileSizeHigh, data.nFileSizeLow);
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (mark != std::wstring::npos) {
            std::wstring id = input.substr(mark);
            if (folder)
                Warn("cannot scan " + Quoted(path + id) + ": " + Quoted(path) + " is a folder");
            else
                Add(path + id, RequestPath(path) + id, size, data.ftLastWriteTime, PluginFormat::Vst2);
        } else if (folder && FormatOfName(path) == PluginFormat::Vst3) {
            AddBundle(path, data.ftLastWriteTime);
        } else if (folder) {
            Walk(path);
        } else {
            Add(path, RequestPath(path), size, data.ftLastWriteTime, FormatOfName(path));
        }
    }

private:
    struct Frame {
        std::wstring path;
        FolderId id;
        std::vector<Entry> entries;
        size_t next = 0;
    };

    // Depth-first with a stack of its own: a link can make a walk as deep
    // as the longest path.
    void Walk(const std::wstring& root) {
        for (const std::wstring& folder : found_->folders)
            if (SameIgnoringCase(folder, root))
                return;
        if (!Enter(root))
            return;
        found_->folders.push_back(root);
        while (!walk_.empty()) {
            Frame& top = walk_.back();
            if (top.next == top.entries.size()) {
                walk_.pop_back();
                continue;
            }
            const Entry& entry = top.entries[top.next++];
            std::wstring path = Join(top.path, entry.name);
            PluginFormat format = FormatOfName(entry.name);
            bool wanted = (formats_ & FormatBit(format)) != 0;
            // A bundle is one plug-in, however many files it holds.
            if (entry.folder && format == PluginFormat::Vst3) {
                if (wanted)
                    AddBundle(path, entry.modified);
            } else if (entry.folder) {
                Enter(path);
            } else if (wanted && (format != PluginFormat::Vst2 || EndsWith(entry.name, L".dll"))) {
                Add(path, RequestPath(path), entry.size, entry.modified, format);
            }
        }
    }

    // Pushes the folder's frame; false when it cannot be listed or is
    // already on the walk (a link back to it: a loop).
    bool Enter(const std::wstring& folder) {
        Frame frame;
        frame.path = folder;
        DWORD error = 0;
        bool ok = ReadFolderId(folder, &frame.id, &error);
        for (const Frame& open : walk_)
            if (ok && SameFolder(open.id, frame.id))
                return false;
        if (!ok || !ListFolder(folder, &frame.entries, &error)) {
            Warn("cannot list " + Quoted(folder) + ": " + Reason(error));
            return false;
        }
        walk_.push_back(std::move(frame));
        return true;
    }

    FoundPlugin* Add(const std::wstring& path, const std::wstring& request, uint64_t size,
                     const FILETIME& modified, PluginFormat format) {
        if (!seen_.insert(path).second)
            return nullptr;
        FoundPlugin plugin;
        plugin.path = path;
        plugin.request = request;
        plugin.size = size;
        plugin.modified = modified;
        plugin.format = format;
        plugin.binary = request.substr(0, request.find(L'>'));
        found_->plugins.push_back(std::move(plugin));
        return &found_->plugins.back();
    }

    // The bundle's size and time are its binary's, which is what changes
    // when it is updated; a bundle without one keeps its folder's time.
    void AddBundle(const std::wstring& path, const FILETIME& folderModified) {
        BundleLayout layout = ReadBundleLayout(LongPath(path));
        FileTimes binary;
        binary.modified = folderModified;
        if (!layout.binary.empty()) {
            layout.binary = PlainPath(layout.binary);
            GetTimes(layout.binary, &binary);
        }
        FoundPlugin* plugin = Add(path, RequestPath(path), binary.size, binary.modified, PluginFormat::Vst3);
        if (!plugin)
            return;
        plugin->binary = layout.binary.empty() ? std::wstring() : RequestPath(layout.binary);
        FileTimes info;
        if (!layout.moduleInfo.empty()) {
            layout.moduleInfo = PlainPath(layout.moduleInfo);
            if (GetTimes(layout.moduleInfo, &info))
                plugin->moduleInfo = info;
        }
        plugin->bundle = std::move(layout);
    }

    void Warn(const std::string& text) { found_->warnings.push_back(text); }

    Discovery* found_;
    FormatSet formats_;
    std::set<std::wstring, PathLess> seen_;
    std::vector<Frame> walk_;
};

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)))
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

std::wstring Expanded(const std::wstring& text) {
    DWORD length = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(text.c_str(), &expanded[0], length) != length)
        return std::wstring();
    expanded.resize(length - 1);
    return expanded;
}

// Empty when the value is missing or not text. A 32-bit build would see
// the 32-bit view otherwise, where the value usually is not.
std::wstring RegistryPluginFolder() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VST", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return std::wstring();
    // Expanded here: without RRF_NOEXPAND, RegGetValueW refuses
    // RRF_RT_REG_EXPAND_SZ under Wine 8 (and on Windows before 8.1).
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring value;
    if (RegGetValueW(key, nullptr, L"VSTPluginsPath", flags, &type, nullptr, &bytes) ==
            ERROR_SUCCESS &&
        bytes > 0) {
        value.resize(bytes / sizeof(wchar_t));
        if (RegGetValueW(key, nullptr, L"VSTPluginsPath", flags, &type, &value[0], &bytes) ==
            ERROR_SUCCESS)
            value.resize(wcslen(value.c_str()));
        else
            value.clear();
    }
    RegCloseKey(key);
    return type == REG_EXPAND_SZ ? Expanded(value) : value;
}

}  // namespace

std::wstring FullPath(const std::wstring& path) {
    if (path.empty())
        return std::wstring();
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    return PlainPath(full);
}

std::wstring RequestPath(const std::wstring& path) {
    return path.size() >= MAX_PATH ? LongPath(path) : path;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}


const char* FormatName(PluginFormat format) {
    switch (format) {
    case PluginFormat::Vst2: return "VST2";
    case PluginFormat::Vst3: return "VST3";
    case PluginFormat::Clap: return "CLAP";
    }
    return "VST2";
}

bool ParseFormats(const std::string& text, FormatSet* formats, std::string* error) {
    FormatSet read = 0;
    for (size_t from = 0; from <= text.size();) {
        size_t end = std::min(text.find(',', from), text.size());
        std::string word = text.substr(from, end - from);
        for (char& c : word)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        from = end + 1;
        FormatSet bit = word == "vst2" ? FormatBit(PluginFormat::Vst2)
                        : word == "vst3" ? FormatBit(PluginFormat::Vst3)
                        : word == "clap" ? FormatBit(PluginFormat::Clap)
                                         : 0;
        if (!bit) {
            *error = "\"" + word + "\" is not a plug-in format: vst2, vst3 or clap";
            return false;
        }
        if (read & bit) {
            *error = word + " is named twice";
            return false;
        }
        read |= bit;
    }
    *formats = read;
    return true;
}

PluginFormat FormatOfName(const std::wstring& path) {
    std::wstring name = path;
    while (!name.empty() && (name.back() == L'\\' || name.back() == L'/'))
        name.pop_back();
    if (EndsWith(name, L".vst3"))
        return PluginFormat::Vst3;
    if (EndsWith(name, L".clap"))
        return PluginFormat::Clap;
    return PluginFormat::Vst2;
}

Discovery DiscoverPlugins(const std::vector<std::wstring>& inputs, FormatSet formats) {
    Discovery found;
    Walker walker(&found, formats);
    for (const std::wstring& input : inputs)
        walker.Take(input);
    return found;
}

std::vector<std::wstring> StandardPluginFolders(FormatSet formats) {
    std::wstring programs = KnownFolder(FOLDERID_ProgramFiles);
    std::wstring common = KnownFolder(FOLDERID_ProgramFilesCommon);
    std::wstring common32 = KnownFolder(FOLDERID_ProgramFilesCommonX86);
    std::wstring local = KnownFolder(FOLDERID_LocalAppData);
    std::vector<std::wstring> candidates;
    auto under = [&](const std::wstring& folder, const wchar_t* name) {
        if (!folder.empty())
            candidates.push_back(Join(folder, name));
    };
    if (formats & FormatBit(PluginFormat::Vst2)) {
        candidates.push_back(RegistryPluginFolder());
        under(programs, L"VSTPlugins");
        under(programs, L"Steinberg\\VSTPlugins");
        under(common, L"VST2");
        under(common, L"Steinberg\\VST2");
    }
    if (formats & FormatBit(PluginFormat::Vst3)) {
        under(common, L"VST3");
        under(common32, L"VST3");
    }
    if (formats & FormatBit(PluginFormat::Clap)) {
        under(common, L"CLAP");
        under(local, L"Programs\\Common\\CLAP");
        DWORD size = GetEnvironmentVariableW(L"CLAP_PATH", nullptr, 0);
        std::wstring list(size, L'\0');
        list.resize(size ? GetEnvironmentVariableW(L"CLAP_PATH", &list[0], size) : 0);
        for (size_t from = 0; from < list.size();) {
            size_t end = std::min(list.find(L';', from), list.size());
            if (end > from)
                candidates.push_back(list.substr(from, end - from));
            from = end + 1;
        }
    }
    std::vector<std::wstring> folders;
    for (const std::wstring& candidate : candidates) {
        std::wstring folder = FullPath(candidate);
        DWORD attributes = GetFileAttributesW(LongPath(folder).c_str());
        if (folder.empty() || attributes == INVALID_FILE_ATTRIBUTES ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        bool listed = false;
        for (const std::wstring& earlier : folders)
            listed = listed || SameIgnoringCase(earlier, folder);
        if (!listed)
            folders.push_back(folder);
    }
    return folders;
}

}  // namespace host
