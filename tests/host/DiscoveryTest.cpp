#include "host/engine/plan/Discovery.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/ScanSession.h"

namespace {

using host::DiscoverPlugins;
using host::Discovery;
using host::FoundPlugin;
using testing_support::TempFolder;

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Wine 8 makes no link from Windows code: CreateSymbolicLinkW returns TRUE
// and makes nothing, FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED,
// and DeleteFileW and RemoveDirectoryW cannot remove a link. It does start a
// Unix program named by its Unix path, in the Unix form of the current
// folder given, and shows a Unix link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT that opens as its target, as Windows shows a
// directory link. Wine gives no waitable handle for a Unix program, so the
// change is awaited on disk.
bool RunUnixProgram(std::wstring command, const std::wstring& folder, const std::wstring& path,
                    bool existsAfter) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < 10000; waited += 10, Sleep(10))
        if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == existsAfter)
            return true;
    return false;
}

// A tree under a temporary folder, made from a list: "name\" is a folder,
// "name -> target" a Unix link, anything else a file one byte longer than
// the file before it, so that sizes tell files apart. Names are relative to
// the root.
class Tree {
public:
    ~Tree() {
        size_t slash = root_.path().rfind(L'\\');
        RunUnixProgram(L"/bin/rm -rf " + root_.path().substr(slash + 1),
                       root_.path().substr(0, slash), root_.path(), false);
    }
    std::wstring Path(const std::wstring& name) const {
        return name.empty() ? root_.path() : root_.path() + L"\\" + name;
    }
    void Make(const std::vector<std::wstring>& entries) {
        for (const std::wstring& entry : entries) {
            std::wstring path = L"\\\\?\\" + Path(entry);
            size_t arrow = entry.find(L" -> ");
            if (arrow != std::wstring::npos) {
                std::wstring link = entry.substr(0, arrow);
                size_t slash = link.rfind(L'\\');
                std::wstring folder = slash == std::wstring::npos ? L"" : link.substr(0, slash);
                ASSERT_TRUE(RunUnixProgram(L"/bin/ln -s " + entry.substr(arrow + 4) + L" " +
                                               link.substr(slash + 1),
                                           Path(folder), Path(link), true));
            } else if (entry.back() == L'\\') {
                ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
            } else {
                HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                                          nullptr);
                ASSERT_NE(file, INVALID_HANDLE_VALUE);
                std::string bytes(++files_, 'x');
                DWORD written = 0;
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
                CloseHandle(file);
            }
        }
    }

private:
    TempFolder root_;
    size_t files_ = 0;
};

TEST(DiscoverPlugins, FindsEachPluginOnceInSortedOrderWithTheRequestTheServerCanOpen) {
    Tree tree;
    const std::wstring longFolder(100, L'f');
    size_t room = MAX_PATH - tree.Path(longFolder + L"\\").size();
    const std::wstring below = longFolder + L"\\" + std::wstring(room - 5, L'x') + L".dll";
    const std::wstring at = longFolder + L"\\" + std::wstring(room - 4, L'y') + L".dll";
    const std::wstring deepFolder = longFolder + L"\\" + std::wstring(150, L'g');
    const std::wstring deep = deepFolder + L"\\deep.dll";
    tree.Make({L"a.dll", L"b\\", L"b\\c\\", L"b\\c\\x.Dll", L"b\\Deep.DLL", L"b\\dll",
               L"b\\notes.txt", L"b\\loop -> ..", L"b\\side -> c", L"empty\\", L"loose.bin",
               L"readme.txt", L"Z.dll", longFolder + L"\\", deepFolder + L"\\", deep, below, at});
    ASSERT_EQ(tree.Path(at).size(), size_t{MAX_PATH});

    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(tree.Path(L"b").c_str());
    Discovery found = DiscoverPlugins({
        L"..\\",                             // relative, with a backslash: the root
        tree.Path(L"loose.bin"),             // a file given directly
        tree.Path(L"A.DLL"),                 // found already, in other letters
        tree.Path(L"b\\..\\Z.dll"),          // found already, by another way
        tree.Path(L"missing"),               // the one warning
        tree.Path(at) + L">10",              // a sub-plug-in of a long path
        tree.Path(L"b\\Deep.DLL>1A2B3C4D"),  // a sub-plug-in
        L"..\\b\\Deep.DLL>1a2b3c4d",         // the same request, relative and in other letters
        tree.Path(L""),                      // the root again
    });
    SetCurrentDirectoryW(previous);

    struct Expected {
        std::wstring name;
        bool prefixed;
    };
    const Expected expected[] = {
        {L"a.dll", false},
        {L"b\\c\\x.Dll", false},     // c where it sorts: before Deep.DLL; ".dll" in any case
        {L"b\\Deep.DLL", false},     // not "dll", not notes.txt; loop leads back to the root
        {L"b\\side\\x.Dll", false},  // a link to a folder off the walk is followed
        {deep, true},                // past MAX_PATH
        {below, false},              // MAX_PATH - 1 characters
        {at, true},                  // MAX_PATH characters
        {L"Z.dll", false},           // after the f folder: letter case does not sort
        {L"loose.bin", false},       // a file given is taken whatever its extension
        {at + L">10", true},         // the prefix on the path side
        {L"b\\Deep.DLL>1A2B3C4D", false},
    };
    EXPECT_EQ(found.plugins.size(), std::size(expected));
    for (size_t i = 0; i < std::min(found.plugins.size(), std::size(expected)); i++) {
        const FoundPlugin& plugin = found.plugins[i];
        std::wstring path = tree.Path(expected[i].name);
        EXPECT_EQ(plugin.path, path) << i;
        EXPECT_EQ(plugin.request, expected[i].prefixed ? L"\\\\?\\" + path : path) << i;
        WIN32_FILE_ATTRIBUTE_DATA file = {};
        std::wstring opened = plugin.request.substr(0, plugin.request.find(L'>'));
        EXPECT_TRUE(GetFileAttributesExW(opened.c_str(), GetFileExInfoStandard, &file)) << i;
        EXPECT_EQ(plugin.size, file.nFileSizeLow) << i;
        EXPECT_EQ(CompareFileTime(&plugin.modified, &file.ftLastWriteTime), 0) << i;
    }
    EXPECT_EQ(found.folders, std::vector<std::wstring>{tree.Path(L"")});
    const std::string missing = host::ToUtf8(tree.Path(L"missing"));
    EXPECT_EQ(found.warnings, std::vector<std::string>{"cannot find \"" + missing + "\""});
}

// A bundle is one plug-in whose size and time are its binary's, x64 before
// x86; folders are searched only for the formats asked for, files named by
// themselves are taken whatever the formats.
TEST(DiscoverPlugins, FindsTheFilesOfEachFormatAskedForAndABundleAsOnePlugin) {
    using host::FormatBit;
    using host::PluginFormat;
    Tree tree;
    tree.Make({L"Both.vst3\\", L"Both.vst3\\Contents\\", L"Both.vst3\\Contents\\x86-win\\",
               L"Both.vst3\\Contents\\x86-win\\Both.vst3", L"Both.vst3\\Contents\\x86_64-win\\",
               L"Both.vst3\\Contents\\x86_64-win\\Both.vst3", L"Both.vst3\\Contents\\Resources\\",
               L"Both.vst3\\Contents\\Resources\\moduleinfo.json", L"Only32.vst3\\", L"Only32.vst3\\Contents\\",
               L"Only32.vst3\\Contents\\x86-win\\", L"Only32.vst3\\Contents\\x86-win\\Only32.vst3",
               L"Arm.vst3\\", L"Arm.vst3\\Contents\\", L"Arm.vst3\\Contents\\arm64-win\\",
               L"Arm.vst3\\Contents\\arm64-win\\Arm.vst3", L"Hollow.vst3\\", L"clap\\", L"clap\\Synth.CLAP",
               L"clap\\notes.txt", L"effect.dll", L"Single.vst3", L"given.clap"});
    struct Case {
        host::FormatSet formats;
        std::vector<std::wstring> names;
    };
    const Case cases[] = {
        {host::kAllFormats,
         {L"Arm.vst3", L"Both.vst3", L"clap\\Synth.CLAP", L"effect.dll", L"given.clap", L"Hollow.vst3",
          L"Only32.vst3", L"Single.vst3"}},
        {FormatBit(PluginFormat::Vst3), {L"Arm.vst3", L"Both.vst3", L"Hollow.vst3", L"Only32.vst3", L"Single.vst3",
                                         L"given.clap"}},
        {FormatBit(PluginFormat::Vst2) | FormatBit(PluginFormat::Clap),
         {L"clap\\Synth.CLAP", L"effect.dll", L"given.clap"}},
    };
    for (const Case& c : cases) {
        Discovery found = DiscoverPlugins({tree.Path(L""), tree.Path(L"given.clap")}, c.formats);
        std::vector<std::wstring> names;
        for (const FoundPlugin& plugin : found.plugins)
            names.push_back(plugin.path.substr(tree.Path(L"").size() + 1));
        EXPECT_EQ(names, c.names) << c.formats;
    }

    Discovery found = DiscoverPlugins({tree.Path(L"")});
    auto plugin = [&](const wchar_t* name) {
        for (const FoundPlugin& p : found.plugins)
            if (p.path == tree.Path(name))
                return p;
        ADD_FAILURE() << host::ToUtf8(name);
        return FoundPlugin();
    };
    FoundPlugin both = plugin(L"Both.vst3");
    EXPECT_EQ(both.format, PluginFormat::Vst3);
    EXPECT_EQ(both.request, tree.Path(L"Both.vst3"));
    EXPECT_EQ(both.binary, tree.Path(L"Both.vst3\\Contents\\x86_64-win\\Both.vst3"));
    WIN32_FILE_ATTRIBUTE_DATA binary = {};
    ASSERT_TRUE(GetFileAttributesExW(both.binary.c_str(), GetFileExInfoStandard, &binary));
    EXPECT_EQ(both.size, binary.nFileSizeLow);
    ASSERT_TRUE(both.moduleInfo.has_value());
    EXPECT_EQ(both.moduleInfo->size, 3u);  // the third file made
    EXPECT_EQ(plugin(L"Only32.vst3").binary, tree.Path(L"Only32.vst3\\Contents\\x86-win\\Only32.vst3"));
    FoundPlugin arm = plugin(L"Arm.vst3");
    EXPECT_EQ(arm.binary, L"");
    ASSERT_TRUE(arm.bundle.has_value());
    EXPECT_EQ(arm.bundle->otherBinaries, std::vector<std::string>{"arm64-win"});
    EXPECT_FALSE(arm.moduleInfo.has_value());
    EXPECT_EQ(plugin(L"Single.vst3").binary, tree.Path(L"Single.vst3"));
    EXPECT_FALSE(plugin(L"Single.vst3").bundle.has_value());
    EXPECT_EQ(plugin(L"clap\\Synth.CLAP").format, PluginFormat::Clap);
}

// Sets HKLM\SOFTWARE\VST\VSTPluginsPath while it lives, then puts back what
// was there.
class PluginsPathValue {
public:
    PluginsPathValue() {
        DWORD disposition = 0;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VST", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_,
                        &disposition);
        created_ = disposition == REG_CREATED_NEW_KEY;
        DWORD size = 0;
        if (RegQueryValueExW(key_, kName, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
            old_.resize(size);
            had_ = RegQueryValueExW(key_, kName, nullptr, &type_, old_.data(), &size) ==
                   ERROR_SUCCESS;
        }
    }
    ~PluginsPathValue() {
        if (had_)
            RegSetValueExW(key_, kName, 0, type_, old_.data(), static_cast<DWORD>(old_.size()));
        else
            RegDeleteValueW(key_, kName);
        RegCloseKey(key_);
        if (created_)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VST", KEY_WOW64_64KEY, 0);
    }
    bool Set(DWORD type, const std::wstring& value) {
        return RegSetValueExW(key_, kName, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }

private:
    static constexpr const wchar_t* kName = L"VSTPluginsPath";
    HKEY key_ = nullptr;
    bool created_ = false;
    bool had_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> old_;
};

TEST(StandardPluginFolders, ListsTheRegistryFolderFirstAndEachExistingFolderOnce) {
    wchar_t* common = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &common)));
    const std::wstring vst2 = std::wstring(common) + L"\\VST2";
    CoTaskMemFree(common);
    bool madeVst2 = CreateDirectoryW(vst2.c_str(), nullptr);
    TempFolder folder;
    SetEnvironmentVariableW(L"DISCOVERY_TEST_FOLDER", folder.path().c_str());
    std::wstring shouted = vst2;
    CharUpperW(&shouted[0]);

    struct Case {
        DWORD type;
        std::wstring value;
        std::wstring first;
    };
    const Case cases[] = {
        {REG_EXPAND_SZ, L"%DISCOVERY_TEST_FOLDER%\\", folder.path()},  // expanded, backslash gone
        {REG_SZ, shouted + L"\\", vst2},  // a standard folder in other letters: listed once
        {REG_SZ, folder.path() + L"\\missing", vst2},  // a missing folder is not listed
    };
    PluginsPathValue value;
    for (const Case& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.value));
        EXPECT_TRUE(value.Set(c.type, c.value));
        std::vector<std::wstring> folders = host::StandardPluginFolders(host::kAllFormats);
        EXPECT_TRUE(!folders.empty() && SameIgnoringCase(folders[0], c.first));
        for (const std::wstring& listed : folders) {
            EXPECT_NE(GetFileAttributesW(listed.c_str()), INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(std::count_if(folders.begin(), folders.end(),
                                    [&](const std::wstring& other) {
                                        return SameIgnoringCase(other, listed);
                                    }),
                      1)
                << host::ToUtf8(listed);
        }
    }
    if (madeVst2)
        RemoveDirectoryW(vst2.c_str());

    // CLAP_PATH's folders come after the standard ones; a format not asked
    // for adds none of its folders.
    TempFolder clapA, clapB;
    SetEnvironmentVariableW(L"CLAP_PATH", (clapA.path() + L";" + folder.path() + L"\\missing;;" + clapB.path()).c_str());
    std::vector<std::wstring> clap = host::StandardPluginFolders(host::FormatBit(host::PluginFormat::Clap));
    SetEnvironmentVariableW(L"CLAP_PATH", nullptr);
    ASSERT_GE(clap.size(), 2u);
    EXPECT_EQ(std::vector<std::wstring>(clap.end() - 2, clap.end()), (std::vector<std::wstring>{clapA.path(), clapB.path()}));
    for (const std::wstring& listed : host::StandardPluginFolders(host::FormatBit(host::PluginFormat::Vst3)))
        EXPECT_TRUE(SameIgnoringCase(listed.substr(listed.size() - 5), L"\\VST3")) << host::ToUtf8(listed);
}

}  // namespace
