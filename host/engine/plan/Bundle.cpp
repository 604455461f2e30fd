#include "host/engine/plan/Bundle.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "host/engine/util/Text.h"

namespace host {

namespace {

// The architecture folders a scan server loads from, x64 first: a bundle
// with both is scanned as x64, as a 64-bit host would load it.
const wchar_t* const kServerFolders[] = {L"x86_64-win", L"x86-win"};

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring NameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// JSON5 as moduleinfo.json is written: the comments and the commas before a
// closing bracket go, strings are kept as they are, so that a JSON parser
// takes the rest.
std::string PlainJson(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '"') {
            size_t end = i + 1;
            while (end < text.size() && text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            out.append(text, i, end + 1 - i);
            i = end;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n')
                i++;
            out += '\n';
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 1;
            out += ' ';
        } else if (c == ']' || c == '}') {
            size_t last = out.find_last_not_of(" \t\r\n");
            if (last != std::string::npos && out[last] == ',')
                out.erase(last, 1);
            out += c;
        } else {
            out += c;
        }
    }
    return out;
}

std::string UpperHex(std::string id) {
    for (char& c : id)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return id;
}

}  // namespace

BundleLayout ReadBundleLayout(const std::wstring& bundle) {
    BundleLayout layout;
    std::wstring name = NameOf(bundle);
    std::wstring contents = bundle + L"\\Contents\\";
    for (const wchar_t* folder : kServerFolders) {
        std::wstring binary = contents + folder + L"\\" + name;
        if (layout.binary.empty() && IsFile(binary))
            layout.binary = binary;
    }
    if (layout.binary.empty()) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileExW((contents + L"*-win").c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    IsFile(contents + data.cFileName + L"\\" + name))
                    layout.otherBinaries.push_back(ToUtf8(data.cFileName));
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    std::wstring info = contents + L"Resources\\moduleinfo.json";
    if (IsFile(info))
        layout.moduleInfo = info;
    return layout;
}

bool ParseModuleInfo(const std::string& text, ModuleInfo* info, std::string* error) {
    using Json = nlohmann::json;
    Json json = Json::parse(PlainJson(text), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    ModuleInfo read;
    auto list = json.find("Compatibility");
    if (list != json.end()) {
        if (!list->is_array()) {
            *error = "\"Compatibility\" is not a list";
            return false;
        }
        for (const Json& entry : *list) {
            auto newId = entry.is_object() ? entry.find("New") : entry.end();
            auto oldIds = entry.is_object() ? entry.find("Old") : entry.end();
            if (newId == entry.end() || !newId->is_string() || oldIds == entry.end() || !oldIds->is_array()) {
                *error = "an entry of \"Compatibility\" lacks \"New\" or \"Old\"";
                return false;
            }
            std::vector<std::string>& replaced = read.replaces[UpperHex(newId->get<std::string>())];
            for (const Json& oldId : *oldIds)
                if (oldId.is_string())
                    replaced.push_back(UpperHex(oldId.get<std::string>()));
        }
    }
    *info = std::move(read);
    return true;
}

bool ReadModuleInfo(const std::wstring& path, ModuleInfo* info, std::string* error) {
    // Far beyond any real one: a bound on what a broken bundle can make the
    // scanner read.
    constexpr DWORD kMostBytes = 16 * 1024 * 1024;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot open it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size = {};
    std::string text;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMostBytes;
    if (ok) {
        text.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = text.empty() || (ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr) &&
                              read == text.size());
    }
    CloseHandle(file);
    if (!ok) {
        *error = size.QuadPart > kMostBytes ? "it is larger than 16 MiB" : "cannot read it";
        return false;
    }
    return ParseModuleInfo(text, info, error);
}

}  // namespace host
