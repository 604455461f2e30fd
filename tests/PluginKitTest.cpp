// The test plug-ins, loaded in this process and entered directly: they
// export what their names promise and answer as the scanning tests expect.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "scan/vst2/Vst2.h"
#include "tests/support/ScanSession.h"

namespace {

class Library {
public:
    explicit Library(const wchar_t* name)
        : module_(LoadLibraryW(testing_support::PluginPath(name).c_str())) {}
    ~Library() {
        if (module_)
            FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    HMODULE module() const { return module_; }
    bool Exports(const char* name) const { return GetProcAddress(module_, name) != nullptr; }
    PluginEntryFn Entry(const char* name) const {
        return reinterpret_cast<PluginEntryFn>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

// A host that answers from fixed values and records what it was asked.
struct StubHost {
    int32_t currentId = 0;
    std::vector<int32_t> opcodes;
    std::vector<std::string> canDoTexts;
};
StubHost stubHost;

VstIntPtr StubHostCallback(AEffect*, int32_t opcode, int32_t, VstIntPtr, void* ptr, float) {
    stubHost.opcodes.push_back(opcode);
    switch (opcode) {
    case audioMasterVersion:
        return 2400;
    case audioMasterCurrentId:
        return stubHost.currentId;
    case audioMasterGetVendorString:
        strcpy(static_cast<char*>(ptr), "Stub Vendor");
        return 1;
    case audioMasterGetProductString:
        strcpy(static_cast<char*>(ptr), "Stub Product");
        return 1;
    case audioMasterGetVendorVersion:
        return 3;
    case audioMasterCanDo:
        stubHost.canDoTexts.push_back(static_cast<const char*>(ptr));
        return 0;
    default:
        return 0;
    }
}

AEffect* Enter(const Library& library, const char* exportName = "VSTPluginMain") {
    PluginEntryFn entry = library.Entry(exportName);
    return entry ? entry(StubHostCallback) : nullptr;
}

VstIntPtr Dispatch(AEffect* effect, int32_t opcode, void* ptr = nullptr) {
    return effect->dispatcher(effect, opcode, 0, 0, ptr, 0.0f);
}

std::string QueryString(AEffect* effect, int32_t opcode) {
    char buffer[kVstStringBufferSize] = {};
    Dispatch(effect, opcode, buffer);
    return buffer;
}

class PluginKitTest : public testing::Test {
protected:
    void SetUp() override { stubHost = StubHost(); }
};

struct ExportCase {
    const wchar_t* dll;
    bool vstPluginMain;
    bool main;
    bool jbridgeBootstrap;
};

TEST_F(PluginKitTest, EachDllExportsExactlyItsEntryPoints) {
    const ExportCase cases[] = {
        {L"trivial.dll", true, false, false},
        {L"main_only.dll", false, true, false},
        {L"both_entries.dll", true, true, false},
        {L"jbridge.dll", true, false, true},
        {L"no_entry.dll", false, false, false},
    };
    for (const ExportCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.dll, c.dll + wcslen(c.dll)));
        Library library(c.dll);
        ASSERT_NE(library.module(), nullptr) << "loads with no DLL beside it";
        EXPECT_EQ(library.Exports("VSTPluginMain"), c.vstPluginMain);
        EXPECT_EQ(library.Exports("main"), c.main);
        EXPECT_EQ(library.Exports("JBridgeBootstrap"), c.jbridgeBootstrap);
        EXPECT_FALSE(library.Exports("PluginMainEntry")) << "internal names stay hidden";
    }
}

TEST_F(PluginKitTest, BothEntriesNamesTheExportItWasEnteredThrough) {
    Library library(L"both_entries.dll");
    EXPECT_EQ(QueryString(Enter(library, "VSTPluginMain"), effGetEffectName),
              "Entered VSTPluginMain");
    EXPECT_EQ(QueryString(Enter(library, "main"), effGetEffectName), "Entered main");
}

TEST_F(PluginKitTest, EffectAnswersFromItsDescription) {
    Library library(L"effect.dll");
    AEffect* effect = Enter(library);
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->magic, kEffectMagic);
    EXPECT_EQ(effect->uniqueID, 0x45464658);
    EXPECT_EQ(effect->flags, effFlagsCanReplacing | effFlagsCanDoubleReplacing);
    EXPECT_EQ(effect->numInputs, 2);
    EXPECT_EQ(effect->numOutputs, 2);
    EXPECT_EQ(QueryString(effect, effGetEffectName), "Test Effect");
    EXPECT_EQ(QueryString(effect, effGetVendorString), "Test Vendor");
    EXPECT_EQ(QueryString(effect, effGetProductString), "Test Product");
    EXPECT_EQ(Dispatch(effect, effGetPlugCategory), kPlugCategEffect);
    EXPECT_EQ(Dispatch(effect, effGetVendorVersion), 1234);
    EXPECT_EQ(Dispatch(effect, effCanDo, const_cast<char*>("receiveVstEvents")), -1);
    EXPECT_EQ(Dispatch(effect, effClose), 0);
}

struct Listed {
    VstIntPtr id;
    std::string name;
};

std::vector<Listed> ListShell(AEffect* effect) {
    std::vector<Listed> listed;
    for (int guard = 0; guard < 10; guard++) {
        char name[kVstStringBufferSize] = {};
        VstIntPtr id = Dispatch(effect, effShellGetNextPlugin, name);
        if (id == 0)
            break;
        listed.push_back({id, name});
    }
    return listed;
}

TEST_F(PluginKitTest, ShellListsItsSubPluginsAgainAtEachEntry) {
    Library library(L"shell.dll");
    for (int entry = 0; entry < 2; entry++) {
        SCOPED_TRACE(testing::Message() << "entry " << entry);
        AEffect* effect = Enter(library);
        ASSERT_NE(effect, nullptr);
        EXPECT_EQ(Dispatch(effect, effGetPlugCategory), kPlugCategShell);
        std::vector<Listed> listed = ListShell(effect);
        ASSERT_EQ(listed.size(), 3u);
        EXPECT_EQ(listed[0].id, 1);
        EXPECT_EQ(listed[0].name, "Shell Sub One");
        EXPECT_EQ(listed[1].id, 2);
        EXPECT_EQ(listed[1].name, "Shell Sub Two");
        EXPECT_EQ(listed[2].id, 1);  // the duplicate
        EXPECT_EQ(Dispatch(effect, effShellGetNextPlugin), 0) << "stays at the end";
    }
}

TEST_F(PluginKitTest, ShellEnteredWithACurrentIdPresentsThatSubPlugin) {
    Library library(L"shell.dll");
    stubHost.currentId = 2;
    AEffect* effect = Enter(library);
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->uniqueID, 2);
    EXPECT_EQ(QueryString(effect, effGetEffectName), "Shell Sub Two");
    EXPECT_EQ(Dispatch(effect, effGetPlugCategory), kPlugCategEffect);
    EXPECT_TRUE(ListShell(effect).empty());
    ASSERT_EQ(stubHost.opcodes.size(), 1u);
    EXPECT_EQ(stubHost.opcodes[0], audioMasterCurrentId);
}

TEST_F(PluginKitTest, PluginsThatAskTheHostReportItsAnswers) {
    stubHost.currentId = static_cast<int32_t>(0x80000000u);
    Library currentId(L"current_id.dll");
    EXPECT_EQ(QueryString(Enter(currentId), effGetEffectName), "id=80000000");

    Library hostInfo(L"host_info.dll");
    EXPECT_EQ(QueryString(Enter(hostInfo), effGetEffectName),
              "vendor=Stub Vendor;product=Stub Product;vv=3;ver=2400");

    Library cando(L"cando.dll");
    AEffect* effect = Enter(cando);
    EXPECT_EQ(Dispatch(effect, effCanDo, const_cast<char*>("receiveVstMidiEvent")), 0);
    EXPECT_EQ(Dispatch(effect, effCanDo, const_cast<char*>("sendVstMidiEvent")), -1);
    EXPECT_EQ(Dispatch(effect, effCanDo, const_cast<char*>("sendVstEvents")), 1);
    EXPECT_EQ(Dispatch(effect, effCanDo, const_cast<char*>("receiveVstEvents")), -1);
    EXPECT_EQ(stubHost.canDoTexts,
              (std::vector<std::string>{"asked:receiveVstMidiEvent", "asked:sendVstMidiEvent",
                                        "asked:sendVstEvents", "asked:receiveVstEvents"}));
}

struct VersionCase {
    const wchar_t* dll;
    bool present;
    DWORD fileMS, fileLS, productMS, productLS;
};

TEST_F(PluginKitTest, VersionResourcesCarryTheirNumbers) {
    const VersionCase cases[] = {
        {L"effect.dll", true, 0x00090008, 0x00070006, 0, 0},
        {L"version_file.dll", true, 0x00010002, 0x00030004, 0, 0},
        {L"version_both.dll", true, 0x00010002, 0x00030004, 0x00050006, 0x00070008},
        {L"version_none.dll", false, 0, 0, 0, 0},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.dll, c.dll + wcslen(c.dll)));
        std::wstring path = testing_support::PluginPath(c.dll);
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        EXPECT_EQ(size != 0, c.present);
        if (!size)
            continue;
        std::vector<char> data(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), handle, size, data.data()));
        VS_FIXEDFILEINFO* info = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length));
        EXPECT_EQ(info->dwFileVersionMS, c.fileMS);
        EXPECT_EQ(info->dwFileVersionLS, c.fileLS);
        EXPECT_EQ(info->dwProductVersionMS, c.productMS);
        EXPECT_EQ(info->dwProductVersionLS, c.productLS);
    }
}

TEST_F(PluginKitTest, OnlySyntheditCarriesTheSE1Resource) {
    Library synthedit(L"synthedit.dll");
    Library trivial(L"trivial.dll");
    EXPECT_NE(FindResourceW(synthedit.module(), MAKEINTRESOURCEW(165), L"SE1"), nullptr);
    EXPECT_EQ(FindResourceW(trivial.module(), MAKEINTRESOURCEW(165), L"SE1"), nullptr);
}

}  // namespace
