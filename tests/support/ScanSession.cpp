#include "tests/support/ScanSession.h"

#include <windows.h>

#include "tests/support/ServerHarness.h"

namespace testing_support {

std::wstring PluginPath(const wchar_t* name, Kit kit) {
    return host::ExecutableFolder() + (kit == Kit::X86 ? L"plugins-x86\\" : L"plugins\\") + name;
}

std::string PluginRequest(const wchar_t* name, const char* suffix, Kit kit) {
    return host::ToUtf8(PluginPath(name, kit)) + suffix;
}

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"scan-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&counter));
    CreateDirectoryW(path_.c_str(), nullptr);
}

namespace {

void RemoveTree(const std::wstring& folder) {
    for (const std::wstring& name : ListFileNames(folder)) {
        std::wstring path = folder + L"\\" + name;
        DWORD attributes = GetFileAttributesW(path.c_str());
        // A link is removed, never followed: it may lead out of the tree.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveDirectoryW(path.c_str());
        } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            RemoveTree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

std::vector<std::wstring> TempFolder::FileNames() const {
    return ListFileNames(path_);
}

std::vector<std::wstring> ListFileNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

ScanSession::ScanSession(const std::wstring& dumpFolder, Kit kit) {
    // Dumps take seconds under Wine, so a scan may run longer than the
    // harness's default before a hung plug-in is given up on.
    host::LaunchOptions options = harness::ServerOptions(120000);
    if (kit == Kit::X86)
        options.serverPath = host::ExecutableFolder() + L"ScanServer32.exe";
    options.dumpFolder = dumpFolder;
    started_ = server_.Start(options) && server_.ReadUntilPrompt(&banner_);
}

std::vector<std::string> ScanSession::Scan(const std::string& request, bool* prompted) {
    std::vector<std::string> lines;
    bool ok = server_.WriteLine(request) && server_.ReadUntilPrompt(&lines);
    if (prompted)
        *prompted = ok;
    return lines;
}

std::string ScanSession::Finish(DWORD* exitCode) {
    server_.CloseInput();
    std::string rest = server_.ReadToEnd();
    *exitCode = WaitForExitCode();
    return rest;
}

DWORD ScanSession::WaitForExitCode() {
    DWORD code = 0xFFFFFFFF;
    server_.WaitForExit(60000, &code);
    return code;
}

std::string ReportOf(const std::vector<std::string>& lines) {
    std::string report;
    for (const std::string& line : lines)
        if (line.rfind(">:", 0) == 0)
            report += line.substr(2);
    return report;
}

std::string LogOf(const std::vector<std::string>& lines) {
    std::string log;
    for (const std::string& line : lines)
        if (line.rfind(">:", 0) != 0)
            log += line;
    return log;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line == text)
            return true;
    return false;
}

}  // namespace testing_support
