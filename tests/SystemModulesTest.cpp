// The system DLLs a request brings in stay loaded, held once each; what a
// plug-in brings from anywhere else goes with it.
#include "scan/SystemModules.h"

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using testing_support::PluginPath;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;

// What gui_imports.dll imports. The test programs themselves import
// SHELL32, USER32, GDI32 and ole32, so only the first four are new to them.
const wchar_t* const kGuiImports[] = {L"opengl32.dll", L"dwmapi.dll", L"comdlg32.dll", L"winmm.dll",
                                      L"shell32.dll",  L"user32.dll", L"gdi32.dll",    L"ole32.dll"};
const wchar_t* const kNewToTests[] = {L"opengl32.dll", L"dwmapi.dll", L"comdlg32.dll", L"winmm.dll"};

std::wstring Folder(UINT(WINAPI* get)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    UINT length = get(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

std::wstring Slashes(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

struct PathCase {
    std::wstring path;
    bool inWindowsFolders;
};

TEST(IsInWindowsFolders, TakesTheSystemFoldersAndTheSideBySideStoreInAnySpellingAndNothingElse) {
    std::wstring system = Folder(GetSystemDirectoryW);
    std::wstring windows = Folder(GetSystemWindowsDirectoryW);
    ASSERT_FALSE(system.empty());
    ASSERT_FALSE(windows.empty());
    std::vector<PathCase> cases = {
        {system + L"\\opengl32.dll", true},
        {Upper(system) + L"\\OPENGL32.DLL", true},
        {L"\\\\?\\" + system + L"\\opengl32.dll", true},
        {L"\\??\\" + system + L"\\opengl32.dll", true},
        {Slashes(system) + L"/opengl32.dll", true},
        // A graphics driver's DLLs lie deep below the system folder.
        {system + L"\\DriverStore\\FileRepository\\gpu.inf_amd64\\gpu_gl.dll", true},
        {windows + L"\\WinSxS\\amd64_microsoft.windows.common-controls_6595b64144ccf1df\\comctl32.dll",
         true},
        {Upper(windows) + L"\\twain_32.dll", true},
        // Other folders of the Windows folder are not system folders.
        {windows + L"\\Temp\\plugin.dll", false},
        {windows + L"\\Downloaded Program Files\\control.dll", false},
        {system + L"x\\opengl32.dll", false},
        {system + L"\\..\\..\\VST\\plugin.dll", false},
        {system + L"\\.\\opengl32.dll", false},
        {windows, false},
        {windows + L"\\", false},
        {system + L"\\", false},
        {L"C:\\VST" + system.substr(2) + L"\\opengl32.dll", false},
        {L"opengl32.dll", false},
        {L"", false},
    };
    std::wstring wow64 = Folder(GetSystemWow64DirectoryW);
    if (!wow64.empty())
        cases.push_back({Upper(wow64) + L"\\opengl32.dll", true});
    for (const PathCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.path));
        EXPECT_EQ(IsInWindowsFolders(c.path.c_str()), c.inWindowsFolders);
    }
}

bool IsLoadedHere(const wchar_t* name) {
    return GetModuleHandleW(name) != nullptr;
}

// Loads and frees a plug-in as a request does, keeping what it brought.
int32_t LoadKeepAndFree(const wchar_t* plugin) {
    NoteLoadedModules();
    HMODULE module = LoadLibraryExW(PluginPath(plugin).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    EXPECT_NE(module, nullptr);
    if (!module)
        return -1;
    int32_t kept = KeepNewSystemModules(module);
    FreeLibrary(module);
    return kept;
}

TEST(KeepNewSystemModules, HoldsEachNewSystemDllOnceAndNeverThePluginOrItsOwnDlls) {
    for (const wchar_t* name : kNewToTests)
        ASSERT_FALSE(IsLoadedHere(name)) << host::ToUtf8(name) << " is loaded before the test";

    int32_t kept = LoadKeepAndFree(L"gui_imports.dll");
    EXPECT_GE(kept, 4);
    EXPECT_EQ(serverState.keptModules.GetCount(), kept);
    EXPECT_FALSE(IsLoadedHere(L"gui_imports.dll"));
    for (const wchar_t* name : kNewToTests)
        EXPECT_TRUE(IsLoadedHere(name)) << host::ToUtf8(name);

    // Loaded again, the plug-in brings nothing new: nothing is held twice.
    EXPECT_EQ(LoadKeepAndFree(L"gui_imports.dll"), 0);
    EXPECT_EQ(serverState.keptModules.GetCount(), kept);

    EXPECT_EQ(LoadKeepAndFree(L"private_import.dll"), 0);
    EXPECT_FALSE(IsLoadedHere(L"private_import.dll"));
    EXPECT_FALSE(IsLoadedHere(L"private_helper.dll"));

    // One release of each reference unloads them: each was held once.
    for (int32_t i = 0; i < serverState.keptModules.GetCount(); i++)
        FreeLibrary(serverState.keptModules[i]);
    serverState.keptModules.RemoveAll();
    for (const wchar_t* name : kNewToTests)
        EXPECT_FALSE(IsLoadedHere(name)) << host::ToUtf8(name);
}

// The base names of the modules loaded in another process, in lower case.
std::vector<std::wstring> ModulesOf(HANDLE process) {
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    std::vector<std::wstring> names;
    if (!K32EnumProcessModules(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                               &needed))
        return names;
    modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    for (HMODULE module : modules) {
        wchar_t name[MAX_PATH];
        DWORD length = K32GetModuleBaseNameW(process, module, name, MAX_PATH);
        std::wstring text(name, length);
        for (wchar_t& c : text)
            c = static_cast<wchar_t>(std::towlower(c));
        names.push_back(text);
    }
    return names;
}

bool Holds(const std::vector<std::wstring>& names, const wchar_t* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(KeptSystemModules, StayLoadedInTheServerAfterTheirRequestWhileThePluginsOwnGo) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"gui_imports.dll"));
    EXPECT_NE(ReportOf(lines).find("\"name\":      \"GUI Imports\""), std::string::npos) << ReportOf(lines);
    std::vector<std::wstring> afterGui = ModulesOf(session.process().process());
    ASSERT_FALSE(afterGui.empty());
    for (const wchar_t* name : kGuiImports)
        EXPECT_TRUE(Holds(afterGui, name)) << host::ToUtf8(name);
    EXPECT_FALSE(Holds(afterGui, L"gui_imports.dll"));

    lines = session.Scan(PluginRequest(L"private_import.dll"));
    EXPECT_NE(ReportOf(lines).find("\"name\":      \"Private Helper 42\""), std::string::npos)
        << ReportOf(lines);
    std::vector<std::wstring> afterPrivate = ModulesOf(session.process().process());
    EXPECT_FALSE(Holds(afterPrivate, L"private_import.dll"));
    EXPECT_FALSE(Holds(afterPrivate, L"private_helper.dll"));
    EXPECT_TRUE(Holds(afterPrivate, L"opengl32.dll"));

    // The same plug-in again adds no module and leaves no handle behind
    // (under Wine each load and unload of its system DLLs left about 13).
    session.Scan(PluginRequest(L"gui_imports.dll"));
    DWORD handles = host::CountOpenHandles(session.process().process());
    session.Scan(PluginRequest(L"gui_imports.dll"));
    session.Scan(PluginRequest(L"gui_imports.dll"));
    EXPECT_EQ(ModulesOf(session.process().process()).size(), afterGui.size());
    EXPECT_EQ(host::CountOpenHandles(session.process().process()), handles);
}

}  // namespace
