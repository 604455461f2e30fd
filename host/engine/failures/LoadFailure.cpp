#include "host/engine/failures/LoadFailure.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "host/engine/records/Records.h"
#include "host/engine/util/Text.h"

namespace host {

namespace {

// More DLLs than any plug-in's tree of its own holds: a bound on the walk
// for files made to make it long.
constexpr size_t kMaxDllsVisited = 1000;
// The machines the scan servers are built for.
constexpr uint16_t kX64Machine = 0x8664;
constexpr uint16_t kX86Machine = 0x014C;

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// API-set names are contracts the loader maps to whichever system DLL
// implements them; there is never a file of that name to find.
bool IsApiSet(const std::string& lowerName) {
    return StartsWith(lowerName, "api-ms-win-") || StartsWith(lowerName, "ext-ms-");
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring LowerWide(std::wstring text) {
    if (!text.empty())
        CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// Whether a folder holds a file of that name (in lower case), from a listing
// of the folder kept until the folder changes. Asking the file system name
// by name costs a search of the whole folder for each name that is absent
// under Wine, whose file names keep their case: in a folder of thousands of
// plug-ins that made the search many times dearer than reading the file.
bool FolderHolds(const std::wstring& folder, const std::wstring& lowerName) {
    struct Listing {
        FILETIME written = {};
        std::set<std::wstring> names;
    };
    static std::mutex lock;
    static std::map<std::wstring, Listing> listings;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(folder.c_str(), GetFileExInfoStandard, &data) ||
        !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    std::lock_guard<std::mutex> hold(lock);
    auto it = listings.find(folder);
    if (it == listings.end() || CompareFileTime(&it->second.written, &data.ftLastWriteTime) != 0) {
        Listing listing;
        listing.written = data.ftLastWriteTime;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                       nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (find != INVALID_HANDLE_VALUE) {
            do
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    listing.names.insert(LowerWide(found.cFileName));
            while (FindNextFileW(find, &found));
            FindClose(find);
        }
        it = listings.insert_or_assign(folder, std::move(listing)).first;
    }
    return it->second.names.count(lowerName) != 0;
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

struct Found {
    std::wstring path;  // empty when not found
    bool system = false;
};

class DependencyWalk {
public:
    DependencyWalk(const SearchFolders& search, bool functions) : search_(search), functions_(functions) {}

    void Walk(const std::wstring& path, std::vector<std::string> chain) {
        if (visited_++ >= kMaxDllsVisited)
            return;
        const PeFile& pe = Read(path);
        for (const PeImport& import : pe.imports) {
            // Delay-loaded DLLs are loaded on first use, not with the file.
            if (import.delayed)
                continue;
            std::string lower = Lower(import.dll);
            if (IsApiSet(lower))
                continue;
            auto known = resolved_.find(lower);
            bool first = known == resolved_.end();
            if (first)
                known = resolved_.emplace(lower, Resolve(import.dll)).first;
            const Found& found = known->second;
            if (found.path.empty()) {
                if (first)
                    missing_.push_back({import.dll, chain, std::string()});
                continue;
            }
            if (functions_)
                CheckFunctions(import, found);
            if (first && !found.system) {
                std::vector<std::string> deeper = chain;
                deeper.push_back(import.dll);
                Walk(found.path, std::move(deeper));
            }
        }
    }

    std::vector<MissingDependency> missing() { return std::move(missing_); }

private:
    Found Resolve(const std::string& dll) {
        std::wstring name = FromUtf8(dll);
        // A name with a path in it is taken as it is.
        if (name.find_first_of(L"\\/:") != std::wstring::npos)
            return FileExists(name) ? Found{name, false} : Found{};
        std::wstring lower = LowerWide(name);
        for (size_t i = 0; i < search_.folders.size(); i++) {
            if (FolderHolds(search_.folders[i], lower))
                return {search_.folders[i] + L"\\" + name, i >= search_.systemFrom && i < search_.systemTo};
        }
        return {};
    }

    // System DLLs are read once for the life of the process: they do not
    // change during a scan, and every plug-in names the same few.
    const PeFile& ReadSystem(const std::wstring& path) {
        static std::mutex lock;
        static std::map<std::wstring, std::unique_ptr<PeFile>> cache;
        std::lock_guard<std::mutex> hold(lock);
        std::unique_ptr<PeFile>& entry = cache[path];
        if (!entry)
            entry = std::make_unique<PeFile>(ReadPe(path, kPeExports));
        return *entry;
    }

    const PeFile& Read(const std::wstring& path) {
        auto it = files_.find(path);
        if (it == files_.end())
            it = files_.emplace(path, ReadPe(path, kPeImports | kPeExports)).first;
        return it->second;
    }

    void CheckFunctions(const PeImport& import, const Found& found) {
        const PeFile& target = found.system ? ReadSystem(found.path) : Read(found.path);
        if (target.kind != PeKind::Image)
            return;
        for (const PeImportedFunction& function : import.functions) {
            bool present = false;
            for (const PeExport& entry : target.exports)
                if (function.name.empty() ? entry.ordinal == function.ordinal : entry.name == function.name) {
                    present = true;
                    break;
                }
            if (present)
                continue;
            std::string name = function.name.empty() ? "#" + std::to_string(function.ordinal) : function.name;
            std::string key = Lower(import.dll) + "!" + name;
            if (std::find(reported_.begin(), reported_.end(), key) != reported_.end())
                continue;
            reported_.push_back(key);
            missing_.push_back({import.dll, {}, name});
        }
    }

    const SearchFolders& search_;
    bool functions_;
    size_t visited_ = 0;
    std::map<std::string, Found> resolved_;
    std::map<std::wstring, PeFile> files_;
    std::vector<MissingDependency> missing_;
    std::vector<std::string> reported_;
};

std::string ArchitectureWords(uint16_t machine) {
    switch (machine) {
    case 0x014C: return "a 32-bit (x86) DLL";
    case 0xAA64: return "an ARM64 DLL";
    case 0x01C4:
    case 0x01C0: return "a 32-bit ARM DLL";
    default: return "a DLL for " + MachineName(machine) + " processors";
    }
}

std::string Joined(const std::vector<std::string>& parts, const char* last) {
    std::string text;
    for (size_t i = 0; i < parts.size(); i++) {
        if (i)
            text += i + 1 == parts.size() ? last : ", ";
        text += parts[i];
    }
    return text;
}

std::string DependencyWords(const MissingDependency& missing) {
    std::string text = missing.dll;
    std::string redistributable = RedistributableOf(missing.dll);
    if (!redistributable.empty())
        text += " (" + redistributable + ")";
    if (!missing.through.empty())
        text += " through " + Joined(missing.through, ", then ");
    return text;
}

std::string SystemMessage(unsigned code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    return ToUtf8(text);
}

}  // namespace

SearchFolders LoaderSearchFolders(const std::wstring& pluginPath) {
    SearchFolders search;
    search.folders.push_back(FolderOf(pluginPath));
    wchar_t buffer[MAX_PATH];
    search.systemFrom = search.folders.size();
    if (UINT n = GetSystemDirectoryW(buffer, MAX_PATH); n && n < MAX_PATH)
        search.folders.push_back(buffer);
    if (UINT n = GetWindowsDirectoryW(buffer, MAX_PATH); n && n < MAX_PATH) {
        search.folders.push_back(std::wstring(buffer) + L"\\System");
        search.folders.push_back(buffer);
    }
    search.systemTo = search.folders.size();
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(size, L'\0');
    size = GetEnvironmentVariableW(L"PATH", &path[0], size);
    path.resize(size);
    for (size_t from = 0; from <= path.size();) {
        size_t end = path.find(L';', from);
        if (end == std::wstring::npos)
            end = path.size();
        std::wstring folder = path.substr(from, end - from);
        while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
            folder.pop_back();
        if (!folder.empty())
            search.folders.push_back(folder);
        from = end + 1;
    }
    return search;
}

bool ParseServerFailure(const std::string& serverError, ServerFailure* failure) {
    static const char kLoad[] = "Failed to load library, err=";
    if (StartsWith(serverError, kLoad)) {
        failure->loadError = static_cast<unsigned>(strtoul(serverError.c_str() + strlen(kLoad), nullptr, 10));
        return true;
    }
    if (StartsWith(serverError, "Entry point not found") ||
        StartsWith(serverError, "GetPluginFactory not found") || StartsWith(serverError, "clap_entry not found")) {
        failure->noEntry = true;
        return true;
    }
    return false;
}

std::string RedistributableOf(const std::string& dll) {
    struct Entry {
        const char* name;
        const char* words;
    };
    static const Entry kKnown[] = {
        {"msvcr71.dll", "the Microsoft Visual C++ 2003 runtime"},
        {"msvcp71.dll", "the Microsoft Visual C++ 2003 runtime"},
        {"msvcr80.dll", "the Microsoft Visual C++ 2005 runtime"},
        {"msvcp80.dll", "the Microsoft Visual C++ 2005 runtime"},
        {"msvcr90.dll", "the Microsoft Visual C++ 2008 runtime"},
        {"msvcp90.dll", "the Microsoft Visual C++ 2008 runtime"},
        {"msvcr100.dll", "the Microsoft Visual C++ 2010 runtime"},
        {"msvcp100.dll", "the Microsoft Visual C++ 2010 runtime"},
        {"msvcr110.dll", "the Microsoft Visual C++ 2012 runtime"},
        {"msvcp110.dll", "the Microsoft Visual C++ 2012 runtime"},
        {"msvcr120.dll", "the Microsoft Visual C++ 2013 runtime"},
        {"msvcp120.dll", "the Microsoft Visual C++ 2013 runtime"},
        {"vcruntime140.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"vcruntime140_1.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"msvcp140.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"msvcp140_1.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"msvcp140_2.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"concrt140.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"vccorlib140.dll", "the Microsoft Visual C++ 2015-2022 runtime"},
        {"mfc140.dll", "the Microsoft Visual C++ 2015-2022 runtime (MFC)"},
        {"mfc140u.dll", "the Microsoft Visual C++ 2015-2022 runtime (MFC)"},
        {"ucrtbase.dll", "the Universal C Runtime"},
        // Debug runtimes come only with Visual Studio: a debug build that
        // was shipped by mistake.
        {"vcruntime140d.dll", "the debug Visual C++ runtime, which only Visual Studio installs: a debug build"},
        {"vcruntime140_1d.dll", "the debug Visual C++ runtime, which only Visual Studio installs: a debug build"},
        {"msvcp140d.dll", "the debug Visual C++ runtime, which only Visual Studio installs: a debug build"},
        {"ucrtbased.dll", "the debug Universal C Runtime, which only Visual Studio installs: a debug build"},
    };
    std::string lower = Lower(dll);
    for (const Entry& entry : kKnown)
        if (lower == entry.name)
            return entry.words;
    return std::string();
}

std::vector<MissingDependency> FindMissing(const std::wstring& path, const SearchFolders& search,
                                           bool functions) {
    DependencyWalk walk(search, functions);
    walk.Walk(path, {});
    return walk.missing();
}

LoadExplanation ExplainLoadFailure(const std::wstring& path, const ServerFailure& failure,
                                   const SearchFolders& search, const std::string& scannedAs) {
    LoadExplanation out;
    PeFile pe = ReadPe(path, kPeImports | kPeExports);
    struct Entry {
        const char* format;
        const char* symbol;
    };
    static const Entry kEntries[] = {{"VST3", "GetPluginFactory"}, {"CLAP", "clap_entry"},
                                     {"VST2", "VSTPluginMain"}, {"VST2", "main"}};
    const Entry* found = nullptr;
    for (const Entry& entry : kEntries) {
        if (!pe.HasExport(entry.symbol))
            continue;
        if (!found || entry.format == scannedAs)
            found = &entry;
        if (entry.format == scannedAs)
            break;
    }
    if (found)
        out.format = found->format;
    if (pe.kind == PeKind::Unreadable)
        return out;
    if (pe.kind != PeKind::Image) {
        out.reason = "not a DLL";
        out.words = "not a DLL: " + pe.problem;
        return out;
    }
    if (!pe.dll) {
        out.reason = "not a DLL";
        out.words = "not a DLL: a program (.exe)";
        return out;
    }
    // Each DLL goes to the server of its machine, x64 or x86; one of another
    // machine reaches a server only when its headers were read otherwise
    // before the scan (the file changed, or they lie).
    if (pe.machine != kX64Machine && pe.machine != kX86Machine) {
        out.reason = "wrong architecture";
        out.words = ArchitectureWords(pe.machine) + ", which neither the x64 nor the x86 scan server can load";
        return out;
    }
    if (failure.noEntry) {
        std::string scanned = scannedAs == "VST2" ? "VST 2" : scannedAs;
        out.reason = "not a " + scanned + " plug-in";
        if (found && out.format != scannedAs)
            out.words = std::string("a ") + (out.format == "VST2" ? "VST 2" : out.format) + " plug-in (it exports " +
                        found->symbol + "), not a " + scanned + " one";
        else
            out.words = "a DLL with no plug-in entry point (a support library?)";
        return out;
    }
    if (!failure.loadError)
        return out;
    std::vector<MissingDependency> missing = FindMissing(path, search, failure.loadError == 127);
    std::vector<std::string> dlls, functions;
    for (const MissingDependency& entry : missing) {
        if (entry.function.empty()) {
            out.missing.push_back(entry.dll);
            dlls.push_back(DependencyWords(entry));
        }
    }
    if (!dlls.empty()) {
        out.reason = "missing dependency";
        out.words = "needs " + Joined(dlls, "; and ") + ", which " + (dlls.size() == 1 ? "is" : "are") +
                    " in neither the plug-in's folder, the system folders nor the PATH";
        if (!pe.warnings.empty())
            out.words += " (the file is damaged: " + pe.warnings.front() + ")";
        return out;
    }
    for (const MissingDependency& entry : missing) {
        if (!entry.function.empty()) {
            out.missing.push_back(entry.dll + "!" + entry.function);
            functions.push_back(entry.function + " from " + entry.dll);
        }
    }
    if (!functions.empty()) {
        out.reason = "missing function";
        out.words = "needs " + Joined(functions, " and ") + ", which " +
                    (functions.size() == 1 ? "that DLL does" : "those DLLs do") + " not export";
        return out;
    }
    if (failure.loadError == ERROR_DLL_INIT_FAILED) {
        out.reason = "DLL initialisation failed";
        out.words = "its DllMain refused to load";
    } else if (failure.loadError == ERROR_NOACCESS) {
        out.reason = "DLL initialisation failed";
        out.words = "its DllMain crashed while loading";
    } else if (!pe.warnings.empty()) {
        out.words = "the file is damaged: " + pe.warnings.front();
    } else {
        std::string message = SystemMessage(failure.loadError);
        if (!message.empty())
            out.words = "Windows refused to load it: " + message;
    }
    return out;
}

void ExplainFailure(const std::wstring& path, ScanResult* result) {
    if (result->status != Status::Failed)
        return;
    ServerFailure failure;
    LoadExplanation explanation;
    std::string scannedAs = result->format.empty() ? "VST2" : result->format;
    if (ParseServerFailure(result->error, &failure))
        explanation = ExplainLoadFailure(path, failure, LoaderSearchFolders(path), scannedAs);
    result->reason = explanation.reason.empty() ? "scan failed" : explanation.reason;
    result->missing = explanation.missing;
    if (!explanation.format.empty())
        result->format = explanation.format;
    if (!explanation.words.empty())
        result->error = explanation.words + " (" + result->error + ")";
}

}  // namespace host
