#include <gtest/gtest.h>

#include "host/engine/failures/LoadFailure.h"
#include "host/engine/records/Records.h"
#include "host/engine/util/Text.h"
#include "tests/support/PeImage.h"
#include "tests/support/ScanSession.h"

using host::LoadExplanation;
using host::SearchFolders;
using host::ServerFailure;
using testing_support::BuildPe;
using testing_support::PeImagePlan;
using testing_support::TempFolder;
using testing_support::WriteBytes;

namespace {

PeImagePlan Dll(std::vector<std::pair<std::string, std::vector<std::string>>> imports,
                std::vector<std::string> exports = {}) {
    PeImagePlan plan;
    plan.imports = std::move(imports);
    plan.exports = std::move(exports);
    return plan;
}

// The loader's search reduced to the test's own folder: nothing of the
// machine's system folders or PATH decides what is found.
SearchFolders OnlyIn(const std::wstring& folder) {
    SearchFolders search;
    search.folders = {folder};
    return search;
}

}  // namespace

TEST(LoadFailure, EachKindOfFailureIsNamedFromTheFile) {
    TempFolder folder;
    auto write = [&](const wchar_t* name, const std::string& bytes) {
        ASSERT_TRUE(WriteBytes(folder.path() + L"\\" + name, bytes));
    };
    PeImagePlan arm32 = Dll({{"KERNEL32.dll", {"Sleep"}}});
    arm32.machine = 0x01C4;  // 32-bit ARM (Thumb-2)
    PeImagePlan arm = Dll({});
    arm.machine = 0xAA64;
    PeImagePlan program = Dll({});
    program.dll = false;
    write(L"Empty.dll", "");
    write(L"Short.dll", BuildPe(Dll({{"FooCore.dll", {"FooInit"}}})).bytes.substr(0, 1024));
    write(L"Program.dll", BuildPe(program).bytes);
    write(L"Arm32.dll", BuildPe(arm32).bytes);
    write(L"Arm.dll", BuildPe(arm).bytes);
    // FooCore.dll is beside the plug-in and needs the C++ runtime, which is not.
    write(L"FooCore.dll", BuildPe(Dll({{"VCRUNTIME140.dll", {"memset"}}}, {"FooInit"})).bytes);
    write(L"Needs.dll", BuildPe(Dll({{"api-ms-win-crt-runtime-l1-1-0.dll", {"_initterm"}},
                                     {"FooCore.dll", {"FooInit"}},
                                     {"Nowhere.dll", {"Anything"}}})).bytes);
    // A and B need each other, and B needs what is not there.
    write(L"CycleA.dll", BuildPe(Dll({{"CycleB.dll", {"B"}}}, {"A"})).bytes);
    write(L"CycleB.dll", BuildPe(Dll({{"CycleA.dll", {"A"}}, {"Gone.dll", {"G"}}}, {"B"})).bytes);
    write(L"Lib.dll", BuildPe(Dll({}, {"Present"})).bytes);
    write(L"NeedsFunction.dll", BuildPe(Dll({{"Lib.dll", {"Present", "Absent"}}})).bytes);
    write(L"Vst3.dll", BuildPe(Dll({}, {"GetPluginFactory", "InitDll"})).bytes);
    write(L"Clap.dll", BuildPe(Dll({}, {"clap_entry"})).bytes);
    write(L"Support.dll", BuildPe(Dll({}, {"HelperFunction"})).bytes);
    write(L"Plain.dll", BuildPe(Dll({})).bytes);
    write(L"Vst2.dll", BuildPe(Dll({}, {"VSTPluginMain", "main"})).bytes);
    write(L"Both.vst3", BuildPe(Dll({}, {"GetPluginFactory", "VSTPluginMain"})).bytes);

    struct Case {
        const wchar_t* file;
        ServerFailure failure;
        const char* reason;
        std::vector<std::string> missing;
        const char* format;
        const char* words;  // the start of them
        const char* scannedAs = "VST2";
    };
    const Case cases[] = {
        {L"Empty.dll", {193, false}, "not a DLL", {}, "", "not a DLL: an empty file"},
        {L"Short.dll", {193, false}, "not a DLL", {}, "", "not a DLL: cut short: 1 024 of the 2 048 bytes its headers name"},
        {L"Program.dll", {193, false}, "not a DLL", {}, "", "not a DLL: a program (.exe)"},
        {L"Arm32.dll", {193, false}, "wrong architecture", {}, "",
         "a 32-bit ARM DLL, which neither the x64 nor the x86 scan server can load"},
        {L"Arm.dll", {193, false}, "wrong architecture", {}, "", "an ARM64 DLL, which"},
        {L"Needs.dll", {126, false}, "missing dependency", {"VCRUNTIME140.dll", "Nowhere.dll"}, "",
         "needs VCRUNTIME140.dll (the Microsoft Visual C++ 2015-2022 runtime) through FooCore.dll; "
         "and Nowhere.dll, which are in neither the plug-in's folder, the system folders nor the PATH"},
        {L"CycleA.dll", {126, false}, "missing dependency", {"Gone.dll"}, "",
         "needs Gone.dll through CycleB.dll, which is in neither"},
        {L"NeedsFunction.dll", {127, false}, "missing function", {"Lib.dll!Absent"}, "",
         "needs Absent from Lib.dll, which that DLL does not export"},
        {L"Vst3.dll", {0, true}, "not a VST 2 plug-in", {}, "VST3",
         "a VST3 plug-in (it exports GetPluginFactory), not a VST 2 one"},
        {L"Clap.dll", {0, true}, "not a VST 2 plug-in", {}, "CLAP", "a CLAP plug-in (it exports clap_entry)"},
        {L"Support.dll", {0, true}, "not a VST 2 plug-in", {}, "",
         "a DLL with no plug-in entry point (a support library?)"},
        {L"Plain.dll", {1114, false}, "DLL initialisation failed", {}, "", "its DllMain refused to load"},
        {L"Plain.dll", {998, false}, "DLL initialisation failed", {}, "", "its DllMain crashed while loading"},
        // A VST3 file that does not load keeps its format beside the reason.
        {L"Vst3.dll", {126, false}, "", {}, "VST3", ""},
        // Modules of the other formats are named by the entry they lack.
        {L"Clap.dll", {0, true}, "not a VST3 plug-in", {}, "CLAP",
         "a CLAP plug-in (it exports clap_entry), not a VST3 one", "VST3"},
        {L"Vst2.dll", {0, true}, "not a CLAP plug-in", {}, "VST2",
         "a VST 2 plug-in (it exports VSTPluginMain), not a CLAP one", "CLAP"},
        {L"Support.dll", {0, true}, "not a CLAP plug-in", {}, "", "a DLL with no plug-in entry point", "CLAP"},
        // A file with the entries of two formats is of the one it was scanned as.
        {L"Both.vst3", {126, false}, "", {}, "VST3", "", "VST3"},
        {L"Both.vst3", {126, false}, "", {}, "VST2", "", "VST2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.file));
        LoadExplanation explanation =
            host::ExplainLoadFailure(folder.path() + L"\\" + c.file, c.failure, OnlyIn(folder.path()), c.scannedAs);
        EXPECT_EQ(explanation.reason, c.reason);
        EXPECT_EQ(explanation.missing, c.missing);
        EXPECT_EQ(explanation.format, c.format);
        EXPECT_EQ(explanation.words.rfind(c.words, 0), 0u) << explanation.words;
    }
}

// The record's words keep the server's own text; failures the file does not
// explain are "scan failed" with the server's text as it was.
TEST(LoadFailure, RecordsKeepTheServersWords) {
    TempFolder folder;
    std::wstring empty = folder.path() + L"\\Empty.dll";
    ASSERT_TRUE(WriteBytes(empty, ""));
    host::ScanResult loadFailed;
    loadFailed.status = host::Status::Failed;
    loadFailed.error = "Failed to load library, err=193";
    host::ExplainFailure(empty, &loadFailed);
    EXPECT_EQ(loadFailed.reason, "not a DLL");
    EXPECT_EQ(loadFailed.error, "not a DLL: an empty file (Failed to load library, err=193)");

    host::ScanResult badMagic;
    badMagic.status = host::Status::Failed;
    badMagic.error = "Bad magic";
    host::ExplainFailure(empty, &badMagic);
    EXPECT_EQ(badMagic.reason, "scan failed");
    EXPECT_EQ(badMagic.error, "Bad magic");

    host::ScanResult ok;
    host::ExplainFailure(empty, &ok);
    EXPECT_EQ(ok.reason, "");
}
