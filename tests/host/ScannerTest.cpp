// The scanning engine end to end: real servers under Wine scanning folders
// of kit plug-ins, the results file written and read back as the cache.
#include "host/engine/Scanner.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/engine/records/ResultsFile.h"
#include "host/engine/util/Text.h"
#include "tests/support/PeImage.h"
#include "tests/support/ScanSession.h"

namespace {

using host::PluginRecord;
using host::Status;
using testing_support::PluginPath;
using testing_support::TempFolder;

// A folder of plug-ins copied from the kit under names of their own, the
// results file and the dump folder beside them.
class Corpus {
public:
    Corpus() { CreateDirectoryW(plugins().c_str(), nullptr); }

    std::wstring plugins() const { return folder_.path() + L"\\plugins"; }
    std::wstring results() const { return folder_.path() + L"\\plugins.json"; }
    std::wstring dumps() const { return folder_.path() + L"\\dumps"; }
    std::wstring Path(const std::wstring& name) const { return plugins() + L"\\" + name; }

    void Add(const wchar_t* kitName, const std::wstring& name) {
        ASSERT_TRUE(CopyFileW(PluginPath(kitName).c_str(), Path(name).c_str(), FALSE))
            << host::ToUtf8(name);
    }
    // A plug-in of the x86 build's kit.
    void AddX86(const wchar_t* kitName, const std::wstring& name) {
        ASSERT_TRUE(CopyFileW(PluginPath(kitName, testing_support::Kit::X86).c_str(), Path(name).c_str(), FALSE))
            << host::ToUtf8(name);
    }
    // Writes another machine into the copied file's PE header.
    void PatchMachine(const std::wstring& name, WORD machine) {
        HANDLE file = CreateFileW(Path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        IMAGE_DOS_HEADER dos = {};
        DWORD done = 0;
        ReadFile(file, &dos, sizeof dos, &done, nullptr);
        SetFilePointer(file, dos.e_lfanew + 4, nullptr, FILE_BEGIN);
        WriteFile(file, &machine, sizeof machine, &done, nullptr);
        CloseHandle(file);
    }
    void AddBytes(const std::wstring& name, const std::string& bytes) {
        HANDLE file = CreateFileW(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    // Moves a file's last-write time on by a second, as an update would.
    void Touch(const std::wstring& name) {
        HANDLE file = CreateFileW(Path(name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME written;
        GetFileTime(file, nullptr, nullptr, &written);
        ULARGE_INTEGER time = {{written.dwLowDateTime, written.dwHighDateTime}};
        time.QuadPart += 10000000;
        written.dwLowDateTime = time.LowPart;
        written.dwHighDateTime = time.HighPart;
        SetFileTime(file, nullptr, nullptr, &written);
        CloseHandle(file);
    }

    host::ScanOptions Options(int jobs = 2, DWORD timeoutMs = 20000) const {
        host::ScanOptions options;
        options.inputs = {plugins()};
        options.resultsPath = results();
        options.dumpFolder = dumps();
        options.jobs = jobs;
        options.timeoutMs = timeoutMs;
        options.saveIntervalMs = 200;
        return options;
    }

private:
    TempFolder folder_;
};

struct ScanRun {
    bool ran = false;
    host::Results results;  // as the results file holds them after the run
    std::vector<std::string> warnings;
    std::map<std::string, PluginRecord> byName;  // file name -> record
    int launched = 0;                            // server processes started
};

std::string FileName(const std::string& path) {
    return path.substr(path.find_last_of('\\') + 1);
}

ScanRun ScanWith(const host::ScanOptions& options, std::function<void(host::Scanner&, const host::ScanProgress&)>
                                                   onProgress = nullptr) {
    ScanRun run;
    host::Scanner scanner(options);
    scanner.onWarning = [&](const std::string& text) { run.warnings.push_back(text); };
    if (onProgress)
        scanner.onProgress = [&](const host::ScanProgress& progress) { onProgress(scanner, progress); };
    run.ran = scanner.Run();
    run.launched = scanner.serversLaunched();
    std::string warning, error;
    EXPECT_TRUE(host::LoadResultsFile(options.resultsPath, &run.results, &warning, &error)) << error;
    EXPECT_EQ(warning, "");
    for (const PluginRecord& record : run.results.plugins)
        run.byName[FileName(record.path)] = record;
    return run;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesW(host::FromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(Scanner, AMixedFolderGivesEveryPluginItsStatusAndTheCacheThenSparesTheWork) {
    Corpus corpus;
    corpus.Add(L"effect.dll", L"Effect.dll");
    corpus.Add(L"synth.dll", L"Synth.dll");
    corpus.Add(L"shell.dll", L"Shell.dll");
    corpus.Add(L"prints.dll", L"Prints.dll");
    corpus.Add(L"utf8_name.dll", L"R\u00E4um-\u6548\u679C.dll");  // a path beyond ASCII, a name in UTF-8
    corpus.Add(L"strings.dll", L"Strings.dll");                    // a name in Windows-1252
    corpus.Add(L"no_entry.dll", L"NoEntry.dll");
    corpus.Add(L"crash_entry.dll", L"Crash.dll");
    corpus.Add(L"hang_entry.dll", L"Hang.dll");
    corpus.Add(L"exit_entry.dll", L"Exit.dll");
    corpus.Add(L"exit_entry_minus1.dll", L"ExitMinus1.dll");
    corpus.Add(L"fail_fast.dll", L"FailFast.dll");
    corpus.Add(L"fast_fail_code.dll", L"FastFail.dll");
    corpus.Add(L"heap_fail_code.dll", L"HeapFail.dll");
    corpus.Add(L"filter_execute.dll", L"OwnFilter.dll");
    corpus.AddBytes(L"NotADll.dll", "this is not a program");

    // 1. The first run scans everything, two servers at once.
    ScanRun first = ScanWith(corpus.Options(2, 3000));
    ASSERT_TRUE(first.ran);
    ASSERT_EQ(first.results.plugins.size(), 16u);
    struct Expected {
        const char* name;
        Status status;
    };
    const Expected expected[] = {
        {"Effect.dll", Status::Ok},
        {"Synth.dll", Status::Ok},
        {"Shell.dll", Status::Ok},
        {"Prints.dll", Status::Ok},       // its printing reaches neither the wire nor the record's report
        {"R\xC3\xA4um-\xE6\x95\x88\xE6\x9E\x9C.dll", Status::Ok},
        {"Strings.dll", Status::Ok},
        {"NoEntry.dll", Status::Failed},  // the server's own error
        {"NotADll.dll", Status::Failed},  // LoadLibrary refuses it
        {"Crash.dll", Status::Crashed},   // twice, the second time in a fresh server
        {"Hang.dll", Status::TimedOut},
        {"Exit.dll", Status::Ended},      // ExitProcess(0) in its entry point
        {"ExitMinus1.dll", Status::Ended},  // an exit code of its own choosing, 0xFFFFFFFF
        // Ended by an exception's code, with no dump of the server's.
        {"FailFast.dll", Status::Crashed},
        {"FastFail.dll", Status::Crashed},
        {"HeapFail.dll", Status::Crashed},
        {"OwnFilter.dll", Status::Crashed},  // its own filter took the fault and the process ended
    };
    for (const Expected& row : expected) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(first.byName.count(row.name), 1u);
        EXPECT_EQ(host::StatusName(first.byName[row.name].status), std::string(host::StatusName(row.status)))
            << first.byName[row.name].error;
    }
    const PluginRecord& effect = first.byName["Effect.dll"];
    ASSERT_TRUE(effect.report.has_value());
    EXPECT_EQ(effect.report->id, "45464658");
    EXPECT_EQ(effect.name, "Test Effect");
    EXPECT_EQ(effect.report->version, "1.2.3.4");
    // What plug-ins print is theirs, kept apart from the wire; a failure
    // keeps the server's last log lines, which show where it stopped.
    const PluginRecord& prints = first.byName["Prints.dll"];
    EXPECT_EQ(prints.name, "Printing Plugin");
    // Through msvcrt in text mode, so with its carriage returns.
    EXPECT_NE(prints.output.find("prints.dll on stdout\r\nready:\r\n"), std::string::npos) << prints.output;
    EXPECT_NE(prints.output.find("prints.dll straight to the error handle\n"), std::string::npos);
    EXPECT_TRUE(prints.log.empty());
    const PluginRecord& hang = first.byName["Hang.dll"];
    ASSERT_FALSE(hang.log.empty());
    EXPECT_EQ(hang.log.back(), "info:Calling entry point...");
    // The hung server was dumped before it was ended: where it waited.
    ASSERT_TRUE(hang.fault.has_value());
    EXPECT_EQ(hang.fault->kind, "hang");
    EXPECT_NE(hang.fault->text.find("called from Hang.dll+0x"), std::string::npos) << hang.fault->text;
    EXPECT_NE(hang.dump.find("-hang.mdmp"), std::string::npos) << hang.dump;
    EXPECT_TRUE(FileExists(hang.dump));
    // Names as people read them; the report as the server sent it, one
    // character for each byte.
    const PluginRecord& utf8 = first.byName["R\xC3\xA4um-\xE6\x95\x88\xE6\x9E\x9C.dll"];
    EXPECT_EQ(utf8.name, "R\xC3\xA9zonateur");
    EXPECT_EQ(utf8.vendor, "Soci\xC3\xA9t\xC3\xA9 Sonore");
    EXPECT_EQ(utf8.report->name, "R\xC3\x83\xC2\xA9zonateur");
    EXPECT_EQ(first.byName["Strings.dll"].name.rfind("Caf\xC3\xA9 \"Quote\"", 0), 0u);
    // Why they are no plug-ins, from the files themselves, with the server's words kept.
    EXPECT_EQ(first.byName["NoEntry.dll"].error,
              "a DLL with no plug-in entry point (a support library?) (Entry point not found, not a VST plugin)");
    EXPECT_EQ(first.byName["NoEntry.dll"].reason, "not a VST 2 plug-in");
    EXPECT_EQ(first.byName["NotADll.dll"].error,
              "not a DLL: not a Windows program file (no \"MZ\" header) (Failed to load library, err=193)");
    EXPECT_EQ(first.byName["NotADll.dll"].reason, "not a DLL");
    EXPECT_EQ(first.byName["Crash.dll"].reason, "");

    const PluginRecord& crash = first.byName["Crash.dll"];
    EXPECT_EQ(crash.exitCode, 9u);
    EXPECT_TRUE(FileExists(crash.dump)) << crash.dump;
    ASSERT_TRUE(crash.fault.has_value());
    EXPECT_EQ(crash.fault->text.rfind("access violation writing 0x0 in Crash.dll+0x", 0), 0u) << crash.fault->text;
    EXPECT_EQ(first.byName["Exit.dll"].exitCode, 0u);
    EXPECT_FALSE(first.byName["Hang.dll"].exitCode.has_value());
    EXPECT_FALSE(first.byName["ExitMinus1.dll"].fault.has_value());
    // The exit code alone names the exception: no dump, module or thread.
    struct ExitCrash {
        const char* name;
        uint32_t code;
        const char* words;
    };
    const ExitCrash exitCrashes[] = {
        {"FailFast.dll", 0xC0000602, "(exit code 0xC0000602, fail fast) without a crash dump"},
        {"FastFail.dll", 0xC0000409, "(exit code 0xC0000409, stack buffer overrun (fast fail))"},
        {"HeapFail.dll", 0xC0000374, "(exit code 0xC0000374, heap corruption)"},
        {"OwnFilter.dll", 0xC0000005, "(exit code 0xC0000005, access violation)"},
    };
    for (const ExitCrash& row : exitCrashes) {
        SCOPED_TRACE(row.name);
        const PluginRecord& record = first.byName[row.name];
        EXPECT_EQ(record.exitCode, row.code);
        EXPECT_EQ(record.dump, "");
        EXPECT_NE(record.error.find(row.words), std::string::npos) << record.error;
        ASSERT_TRUE(record.fault.has_value());
        EXPECT_EQ(record.fault->code, row.code);
        EXPECT_EQ(record.fault->module, "");
        EXPECT_FALSE(record.fault->threadKnown);
    }

    // The shell's sub-plug-ins, each scanned by itself.
    const PluginRecord& shell = first.byName["Shell.dll"];
    ASSERT_EQ(shell.shells.size(), 2u);
    EXPECT_EQ(shell.shells[0].id, "00000001");
    EXPECT_EQ(shell.shells[0].name, "Shell Sub One");
    EXPECT_EQ(host::StatusName(shell.shells[0].status), std::string("ok"));
    ASSERT_TRUE(shell.shells[1].report.has_value());
    EXPECT_EQ(shell.shells[1].report->id, "00000002");

    EXPECT_EQ(first.results.run.scanned, 16);
    // Each death came again alike in a fresh server: no incident.
    EXPECT_TRUE(first.results.run.incidents.empty());

    // 2. Nothing changed: nothing is scanned; earlier crashes, time-outs and
    // ends are skipped rather than tried again.
    ScanRun second = ScanWith(corpus.Options());
    EXPECT_EQ(second.results.run.scanned, 0);
    EXPECT_EQ(second.results.run.fromCache, 8);
    EXPECT_EQ(second.results.run.skipped, 8);
    EXPECT_EQ(second.results.plugins.size(), 16u);

    // 3. An updated file alone is scanned again.
    corpus.Touch(L"Synth.dll");
    ScanRun third = ScanWith(corpus.Options());
    EXPECT_EQ(third.results.run.scanned, 1);
    EXPECT_EQ(third.byName["Synth.dll"].modified, host::FileTimeText([&] {
                  WIN32_FILE_ATTRIBUTE_DATA data;
                  GetFileAttributesExW(corpus.Path(L"Synth.dll").c_str(), GetFileExInfoStandard, &data);
                  return data.ftLastWriteTime;
              }()));

    // 4. Asked to, what did not end "ok" is tried again; then everything.
    host::ScanOptions retry = corpus.Options(2, 3000);
    retry.retryFailed = true;
    EXPECT_EQ(ScanWith(retry).results.run.scanned, 10);
    host::ScanOptions rescan = corpus.Options(2, 3000);
    rescan.rescan = true;
    EXPECT_EQ(ScanWith(rescan).results.run.scanned, 16);
}

// What Windows refuses to load, and DLLs of other kinds, are explained in
// their records from the files; the records' words are the scanner's.
// VST3 bundles and files and CLAP files beside VST 2 ones: one record per
// module with its plug-ins as classes, bundles by their binary's
// architecture, what moduleinfo.json says they replace, failures in words,
// and a cache that sees a bundle's binary and moduleinfo.json change.
TEST(Scanner, ModulesOfEachFormatGetOneRecordWithTheirClassesAndACacheOfTheirOwn) {
    Corpus corpus;
    auto folders = [&](const std::wstring& name) {
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, corpus.Path(name).c_str(), nullptr), ERROR_SUCCESS);
    };
    const std::wstring good64 = L"vst3\\Good.vst3\\Contents\\x86_64-win\\Good.vst3";
    const std::wstring good32 = L"vst3\\Good.vst3\\Contents\\x86-win\\Good.vst3";
    folders(L"Both.vst3\\Contents\\x86_64-win");
    folders(L"Both.vst3\\Contents\\x86-win");
    folders(L"Both.vst3\\Contents\\Resources");
    folders(L"Only32.vst3\\Contents\\x86-win");
    folders(L"Arm.vst3\\Contents\\arm64-win");
    folders(L"Hollow.vst3");
    corpus.Add(good64.c_str(), L"Both.vst3\\Contents\\x86_64-win\\Both.vst3");
    corpus.AddX86(good32.c_str(), L"Both.vst3\\Contents\\x86-win\\Both.vst3");
    corpus.AddX86(good32.c_str(), L"Only32.vst3\\Contents\\x86-win\\Only32.vst3");
    corpus.Add(good64.c_str(), L"Arm.vst3\\Contents\\arm64-win\\Arm.vst3");
    corpus.PatchMachine(L"Arm.vst3\\Contents\\arm64-win\\Arm.vst3", 0xAA64);
    // JSON5, as the format writes it: comments and trailing commas.
    corpus.AddBytes(L"Both.vst3\\Contents\\Resources\\moduleinfo.json",
                    "{\n  \"Name\": \"Both\", // the bundle\n"
                    "  \"Factory Info\": {\"URL\": \"https://example.invalid/a//b\", \"Note\": \"\\\"/*\",},\n"
                    "  \"Compatibility\": [\n    {\n"
                    "      \"New\": \"5ec0de010a0b4c0d8e8f909192939495\",\n"
                    "      \"Old\": [\"56535445464658746573742065666665\", /* Test Effect */],\n    },\n  ],\n}\n");
    corpus.Add(L"clap\\Good.clap", L"Synth.clap");
    corpus.Add(L"vst3\\NotVst3.vst3", L"Mislabelled.vst3");
    corpus.Add(L"vst3\\CrashInstance.vst3", L"Crash.vst3");
    // A bundle's binary is what a failure to load is explained from.
    folders(L"Needs.vst3\\Contents\\x86_64-win");
    testing_support::PeImagePlan needs;
    needs.imports = {{"KERNEL32.dll", {"Sleep"}}, {"OrvaneNowhere.dll", {"Anything"}}};
    corpus.AddBytes(L"Needs.vst3\\Contents\\x86_64-win\\Needs.vst3", testing_support::BuildPe(needs).bytes);
    corpus.Add(L"effect.dll", L"Effect.dll");

    ScanRun first = ScanWith(corpus.Options());
    ASSERT_TRUE(first.ran);
    struct Expected {
        const char* name;
        const char* format;
        const char* platform;
        Status status;
        const char* reason;
        size_t classes;
    };
    const Expected expected[] = {
        {"Both.vst3", "VST3", "x64", Status::Ok, "", 2},  // x64 before x86
        {"Only32.vst3", "VST3", "x86", Status::Ok, "", 2},
        {"Arm.vst3", "VST3", "arm64", Status::Failed, "wrong architecture", 0},
        {"Hollow.vst3", "VST3", "none", Status::Failed, "missing binary", 0},
        {"Synth.clap", "CLAP", "x64", Status::Ok, "", 2},
        {"Mislabelled.vst3", "CLAP", "x64", Status::Failed, "not a VST3 plug-in", 0},
        {"Crash.vst3", "VST3", "x64", Status::Crashed, "", 0},
        {"Needs.vst3", "VST3", "x64", Status::Failed, "missing dependency", 0},
        {"Effect.dll", "VST2", "x64", Status::Ok, "", 0},
    };
    ASSERT_EQ(first.results.plugins.size(), std::size(expected));
    for (const Expected& row : expected) {
        SCOPED_TRACE(row.name);
        const PluginRecord& record = first.byName[row.name];
        EXPECT_EQ(record.format, row.format);
        EXPECT_EQ(record.platform, row.platform);
        EXPECT_EQ(host::StatusName(record.status), std::string(host::StatusName(row.status))) << record.error;
        EXPECT_EQ(record.reason, row.reason);
        EXPECT_EQ(record.classes.size(), row.classes);
    }
    EXPECT_EQ(first.byName["Mislabelled.vst3"].error.rfind("a CLAP plug-in (it exports clap_entry), not a VST3 one", 0),
              0u);
    EXPECT_EQ(first.byName["Needs.vst3"].missing, std::vector<std::string>{"OrvaneNowhere.dll"});
    const PluginRecord& crash = first.byName["Crash.vst3"];
    ASSERT_TRUE(crash.fault.has_value());
    EXPECT_EQ(crash.fault->module, "Crash.vst3");
    EXPECT_TRUE(FileExists(crash.dump)) << crash.dump;
    EXPECT_EQ(first.byName["Arm.vst3"].error,
              "the bundle has binaries only in Contents\\arm64-win, which neither the x64 nor the x86 scan server can load");

    const PluginRecord& both = first.byName["Both.vst3"];
    EXPECT_EQ(both.path, host::ToUtf8(corpus.Path(L"Both.vst3")));
    EXPECT_EQ(both.name, "Fake D\xC3\xA9lai");
    EXPECT_EQ(both.vendor, "Fake Vendor");
    const host::PluginClass& delay = both.classes.at(0);
    EXPECT_EQ(delay.id, "5EC0DE010A0B4C0D8E8F909192939495");
    EXPECT_EQ(delay.category, "Fx|Delay");
    EXPECT_EQ(delay.version, "1.2.3");
    EXPECT_EQ(delay.inputs, 2);
    EXPECT_EQ(delay.midiIn, false);
    EXPECT_EQ(delay.replaces, std::vector<std::string>{"56535445464658746573742065666665"});
    EXPECT_TRUE(both.classes.at(1).replaces.empty());
    EXPECT_EQ(both.classes.at(1).midiIn, true);
    const host::PluginClass& clapDelay = first.byName["Synth.clap"].classes.at(0);
    EXPECT_EQ(clapDelay.id, "org.example.fake-delay");
    EXPECT_EQ(clapDelay.category, "audio-effect|delay|stereo");
    EXPECT_EQ(clapDelay.outputs, 2);

    // Nothing changed: nothing is scanned. A new moduleinfo.json, or only
    // the formats asked for, scan again what they concern.
    ScanRun second = ScanWith(corpus.Options());
    EXPECT_EQ(second.results.run.scanned, 0);
    corpus.Touch(L"Both.vst3\\Contents\\Resources\\moduleinfo.json");
    ScanRun third = ScanWith(corpus.Options());
    EXPECT_EQ(third.results.run.scanned, 1);
    EXPECT_EQ(third.byName["Both.vst3"].classes.at(0).replaces.size(), 1u);
    host::ScanOptions clapOnly = corpus.Options();
    clapOnly.formats = host::FormatBit(host::PluginFormat::Clap);
    clapOnly.rescan = true;
    ScanRun fourth = ScanWith(clapOnly);
    EXPECT_EQ(fourth.results.run.scanned, 1);
    EXPECT_EQ(fourth.results.plugins.size(), std::size(expected));
}

TEST(Scanner, LoadFailuresAreExplainedFromTheFiles) {
    Corpus corpus;
    testing_support::PeImagePlan needs;
    needs.imports = {{"KERNEL32.dll", {"Sleep"}}, {"OrvaneNowhere.dll", {"Anything"}}};
    corpus.AddBytes(L"NeedsMissing.dll", testing_support::BuildPe(needs).bytes);
    testing_support::PeImagePlan arm;
    arm.machine = 0xAA64;
    corpus.AddBytes(L"Arm.dll", testing_support::BuildPe(arm).bytes);
    testing_support::PeImagePlan vst3;
    vst3.exports = {"GetPluginFactory"};
    corpus.AddBytes(L"Other.dll", testing_support::BuildPe(vst3).bytes);
    corpus.Add(L"garbage_entry.dll", L"Garbage.dll");
    ScanRun run = ScanWith(corpus.Options(1));
    ASSERT_TRUE(run.ran);
    struct Expected {
        const char* name;
        const char* reason;
        std::vector<std::string> missing;
        const char* format;
        const char* error;
    };
    const Expected expected[] = {
        // Every record names its format: the one it was scanned as, or the
        // one the file turned out to be of.
        {"NeedsMissing.dll", "missing dependency", {"OrvaneNowhere.dll"}, "VST2",
         "needs OrvaneNowhere.dll, which is in neither the plug-in's folder, the system folders nor the "
         "PATH (Failed to load library, err=126)"},
        {"Arm.dll", "wrong architecture", {}, "VST2", "built for arm64, which neither the x64 nor the x86 server can load"},
        {"Other.dll", "not a VST 2 plug-in", {}, "VST3",
         "a VST3 plug-in (it exports GetPluginFactory), not a VST 2 one (Entry point not found, not a VST plugin)"},
    };
    for (const Expected& row : expected) {
        SCOPED_TRACE(row.name);
        const PluginRecord& record = run.byName[row.name];
        EXPECT_EQ(host::StatusName(record.status), std::string("failed"));
        EXPECT_EQ(record.reason, row.reason);
        EXPECT_EQ(record.missing, row.missing);
        EXPECT_EQ(record.format, row.format);
        EXPECT_EQ(record.error, row.error);
    }
    // A fault in the server's own code, on what the plug-in handed it, says
    // the server's step, so that nobody takes it for the scanner's fault.
    const PluginRecord& garbage = run.byName["Garbage.dll"];
    EXPECT_EQ(host::StatusName(garbage.status), std::string("crashed"));
    ASSERT_TRUE(garbage.fault.has_value()) << garbage.error;
    EXPECT_EQ(garbage.fault->module, "ScanServer.exe") << garbage.fault->text;
    EXPECT_NE(garbage.fault->text.find("; in the scan server's own code, at its step \""), std::string::npos)
        << garbage.fault->text;
    EXPECT_FALSE(garbage.fault->stack.empty());
    // The plug-in had returned: no stale value on the stack is taken for its frame.
    EXPECT_EQ(garbage.fault->text.find("called from"), std::string::npos) << garbage.fault->text;
    EXPECT_EQ(garbage.reason, "");
}

TEST(Scanner, EachPluginGoesToTheServerOfItsArchitectureAndOtherMachinesFailWithAWord) {
    Corpus corpus;
    corpus.Add(L"effect.dll", L"Effect64.dll");
    corpus.AddX86(L"effect.dll", L"Effect32.dll");
    corpus.AddX86(L"shell.dll", L"Bundle32.dll");  // not Shell32.dll: the loader takes the system's
    corpus.AddX86(L"crash_entry.dll", L"Crash32.dll");
    corpus.AddX86(L"hang_entry.dll", L"Hang32.dll");
    corpus.AddX86(L"exit_entry.dll", L"Exit32.dll");
    corpus.Add(L"effect.dll", L"Arm64.dll");
    corpus.PatchMachine(L"Arm64.dll", IMAGE_FILE_MACHINE_ARM64);
    corpus.Add(L"effect.dll", L"X64SaysX86.dll");  // PE32+ under an x86 machine field
    corpus.PatchMachine(L"X64SaysX86.dll", IMAGE_FILE_MACHINE_I386);
    corpus.AddX86(L"effect.dll", L"X86SaysX64.dll");  // PE32 under an x64 machine field
    corpus.PatchMachine(L"X86SaysX64.dll", IMAGE_FILE_MACHINE_AMD64);
    corpus.AddBytes(L"NotADll.dll", "this is not a program");

    struct Expected {
        const char* name;
        Status status;
        const char* platform;
        const char* error;  // the start of the record's error
        bool x86Server;     // scanned by the x86 server
    };
    const Expected expected[] = {
        {"Effect64.dll", Status::Ok, "x64", "", false},
        {"Effect32.dll", Status::Ok, "x86", "", true},
        {"Bundle32.dll", Status::Ok, "x86", "", true},
        {"Crash32.dll", Status::Crashed, "x86", "it crashed the server", true},
        {"Hang32.dll", Status::TimedOut, "x86", "no answer within", true},
        {"Exit32.dll", Status::Ended, "x86", "the server ended with exit code 0", true},
        {"Arm64.dll", Status::Failed, "arm64", "built for arm64, which neither", false},
        {"X64SaysX86.dll", Status::Failed, "x86", "its header says x86 but its optional header is PE32+", false},
        {"X86SaysX64.dll", Status::Failed, "x64", "its header says x64 but its optional header is PE32 ", false},
        {"NotADll.dll", Status::Failed, "x64", "not a DLL: not a Windows program file", false},
    };
    auto check = [&](const ScanRun& run, bool withX86Server) {
        std::string names;
        for (const PluginRecord& record : run.results.plugins)
            names += record.path + "\n";
        ASSERT_EQ(run.results.plugins.size(), sizeof expected / sizeof expected[0]) << names;
        for (const Expected& row : expected) {
            SCOPED_TRACE(row.name);
            const PluginRecord& record = run.byName.at(row.name);
            EXPECT_EQ(record.platform, row.platform);
            if (!withX86Server && row.x86Server) {
                EXPECT_EQ(host::StatusName(record.status), std::string("failed"));
                EXPECT_EQ(record.error, "a 32-bit (x86) plug-in, and there is no x86 server to scan it");
                continue;
            }
            EXPECT_EQ(host::StatusName(record.status), std::string(host::StatusName(row.status)))
                << record.error;
            EXPECT_EQ(record.error.rfind(row.error, 0), 0u) << record.error;
        }
    };

    ScanRun run = ScanWith(corpus.Options(2, 3000));
    ASSERT_TRUE(run.ran);
    check(run, true);
    // The x86 server's own answers: its report says x86, its dump is read.
    const PluginRecord& effect = run.byName.at("Effect32.dll");
    ASSERT_TRUE(effect.report.has_value());
    EXPECT_EQ(effect.report->platform, "x86");
    EXPECT_EQ(effect.name, "Test Effect");
    EXPECT_EQ(run.byName.at("Bundle32.dll").shells.size(), 2u);
    const PluginRecord& crash = run.byName.at("Crash32.dll");
    EXPECT_EQ(crash.exitCode, 9u);
    EXPECT_NE(crash.dump.find("ScanServer-x86-"), std::string::npos) << crash.dump;
    // The scanner's dump of the hung x86 server is named for it too.
    EXPECT_NE(run.byName.at("Hang32.dll").dump.find("ScanServer-x86-"), std::string::npos)
        << run.byName.at("Hang32.dll").dump;
    ASSERT_TRUE(crash.fault.has_value());
    EXPECT_EQ(crash.fault->text.rfind("access violation writing 0x0 in Crash32.dll+0x", 0), 0u)
        << crash.fault->text;
    // The hang dump is an x86 dump, whose stack is walked to the plug-in.
    const PluginRecord& hang = run.byName.at("Hang32.dll");
    ASSERT_TRUE(hang.fault.has_value());
    EXPECT_NE(hang.fault->text.find("called from Hang32.dll+0x"), std::string::npos) << hang.fault->text;
    EXPECT_EQ(hang.fault->text.find("by a scan of the stack"), std::string::npos) << hang.fault->text;
    EXPECT_TRUE(run.results.run.incidents.empty());

    // With no x86 server beside the x64 one, 32-bit plug-ins fail with a
    // word and nothing else changes.
    TempFolder alone;
    host::ScanOptions withoutX86 = corpus.Options(2, 3000);
    withoutX86.rescan = true;
    withoutX86.serverPath = alone.path() + L"\\ScanServer.exe";
    ASSERT_TRUE(CopyFileW((host::ExecutableFolder() + L"ScanServer.exe").c_str(),
                          withoutX86.serverPath.c_str(), FALSE));
    check(ScanWith(withoutX86), false);
}

TEST(Scanner, AStoppedScanKeepsWhatItFinishedAndTheNextRunGoesOnFromThere) {
    Corpus corpus;
    for (int i = 0; i < 12; i++)
        corpus.Add(L"effect.dll", L"Effect" + std::to_wstring(i) + L".dll");
    ScanRun stopped = ScanWith(corpus.Options(1), [](host::Scanner& scanner, const host::ScanProgress& progress) {
        if (progress.done == 3)
            scanner.Stop();
    });
    EXPECT_TRUE(stopped.results.run.stopped);
    int done = stopped.results.run.scanned;
    EXPECT_GE(done, 3);
    EXPECT_LT(done, 12);
    EXPECT_EQ(stopped.results.plugins.size(), static_cast<size_t>(done));

    ScanRun resumed = ScanWith(corpus.Options(1));
    EXPECT_FALSE(resumed.results.run.stopped);
    EXPECT_EQ(resumed.results.run.fromCache, done);
    EXPECT_EQ(resumed.results.run.scanned, 12 - done);
    EXPECT_EQ(resumed.results.plugins.size(), 12u);
}

// Which plug-ins a run recorded as crashed, by file name.
std::vector<std::string> CrashedIn(const ScanRun& run) {
    std::vector<std::string> crashed;
    for (const PluginRecord& record : run.results.plugins)
        if (record.status != Status::Ok)
            crashed.push_back(FileName(record.path) + " " + host::StatusName(record.status));
    return crashed;
}

TEST(Scanner, AThreadThatFaultsAfterItsReportIsBlamedByItsDumpAndNoOtherPlugin) {
    // A VST 2 plug-in, and a VST3 bundle whose code the dump names by its
    // binary inside the bundle.
    struct Case {
        std::wstring name;
        std::string module;  // as the dump names it
    };
    const Case cases[] = {{L"A-LateFault.dll", "A-LateFault.dll"}, {L"A-LateFault.vst3", "A-LateFault.vst3"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.name));
        Corpus corpus;
        if (c.name == L"A-LateFault.dll") {
            corpus.Add(L"late_fault.dll", c.name);
        } else {
            ASSERT_EQ(SHCreateDirectoryExW(nullptr, corpus.Path(c.name + L"\\Contents\\x86_64-win").c_str(), nullptr),
                      ERROR_SUCCESS);
            corpus.Add(L"vst3\\LateFault.vst3\\Contents\\x86_64-win\\LateFault.vst3",
                       c.name + L"\\Contents\\x86_64-win\\" + c.name);
        }
        // Plug-ins after it that take 100 ms each, so that the fault, 250 ms
        // after its report, finds its server scanning one of them.
        for (int i = 0; i < 6; i++)
            corpus.Add(L"slow_entry_100.dll", L"B-Slow" + std::to_wstring(i) + L".dll");
        ScanRun run = ScanWith(corpus.Options(1));
        ASSERT_TRUE(run.ran);
        ASSERT_EQ(run.results.plugins.size(), 7u);
        std::string name = host::ToUtf8(c.name);
        EXPECT_EQ(CrashedIn(run), std::vector<std::string>{name + " crashed"});
        ASSERT_EQ(run.results.run.incidents.size(), 1u);
        const host::Incident& incident = run.results.run.incidents[0];
        EXPECT_EQ(incident.exitCode, 9u);
        EXPECT_TRUE(FileExists(incident.dump)) << incident.dump;
        ASSERT_FALSE(incident.suspects.empty());
        EXPECT_EQ(FileName(incident.suspects[0]), name);
        EXPECT_EQ(FileName(incident.culprit), name);
        // Named by the dump, with no plug-in scanned again.
        ASSERT_FALSE(incident.tried.empty());
        EXPECT_EQ(incident.tried[0].rfind("the dump names " + name + ": ", 0), 0u) << incident.tried[0];
        // The plug-in pinned itself: its own code faults, and the dump says so.
        const PluginRecord& culprit = run.byName[name];
        EXPECT_TRUE(culprit.afterReport);
        ASSERT_TRUE(culprit.fault.has_value());
        EXPECT_EQ(culprit.fault->module, c.module);
        EXPECT_FALSE(culprit.fault->serverThread);
        EXPECT_EQ(culprit.dump, incident.dump);
        EXPECT_TRUE(culprit.report.has_value());  // its scan itself went well
    }
}

TEST(Scanner, AFaultInUnloadedCodeIsTracedToThePluginLoadedThere) {
    Corpus corpus;
    // 50 good plug-ins with the culprit among them; five slow ones right
    // after it keep its server busy until its thread wakes.
    for (int i = 0; i < 50; i++) {
        bool slow = i >= 21 && i <= 25;
        corpus.Add(slow ? L"slow_entry_100.dll" : L"effect.dll",
                   L"P" + std::to_wstring(100 + i) + L".dll");
    }
    corpus.Add(L"late_fault_unpinned.dll", L"P120x.dll");
    host::ScanOptions options = corpus.Options(1);
    options.graceMs = 600;
    ULONGLONG started = GetTickCount64();
    ScanRun run = ScanWith(options);
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(CrashedIn(run), std::vector<std::string>{"P120x.dll crashed"});
    // On a busy machine its scan can take longer than its thread's sleep,
    // and the first server dies during its own request: a second incident
    // follows in the fresh server. Each one is traced to it.
    ASSERT_GE(run.results.run.incidents.size(), 1u);
    ASSERT_LE(run.results.run.incidents.size(), 2u);
    for (const host::Incident& each : run.results.run.incidents)
        EXPECT_EQ(FileName(each.culprit), "P120x.dll") << each.reason << " during " << each.during;
    const host::Incident& incident = run.results.run.incidents.back();
    ASSERT_FALSE(incident.tried.empty());
    // The crash's dump places it in no module: the plug-in is found where
    // its server had loaded it, or else by scanning again.
    ASSERT_TRUE(incident.fault.has_value());
    EXPECT_EQ(incident.fault->module, "");
    const PluginRecord& culprit = run.byName["P120x.dll"];
    EXPECT_TRUE(culprit.afterReport);
    EXPECT_EQ(culprit.exitCode, 9u);
    EXPECT_TRUE(FileExists(culprit.dump)) << culprit.dump;
    std::string steps;
    for (const std::string& step : incident.tried)
        steps += "\n  " + step;
    printf("narrowing: %zu suspects, %zu steps, run took %.1f s:%s\n", incident.suspects.size(),
           incident.tried.size(), (GetTickCount64() - started) / 1000.0, steps.c_str());
}

// A server that dies of what an earlier plug-in left behind, while it
// serves a later one: the death is traced to the earlier plug-in, whether
// the later one then scans cleanly in a fresh server or dies there too,
// otherwise. The search reproduces the busy server the death came in.
TEST(Scanner, ADeathLeftBehindByAnEarlierPluginIsTracedToItEvenWhenTheRetryDiesToo) {
    struct Case {
        const char* what;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> plugins;  // kit name, name in the folder
        std::vector<std::string> notOk;  // "NAME STATUS", in path order
        const char* during;              // the request in flight when the first server died
        std::optional<uint32_t> exitCode;  // the first server's
        bool faultInNoModule;              // its dump places the fault in code no module holds
    };
    const Case cases[] = {
        {"its input closed, the server ends in order as the next plug-in comes, which crashes itself",
         {{L"close_input.dll", L"A-Close.dll"}, {L"crash_entry.dll", L"B-Crash.dll"}},
         {"A-Close.dll ended", "B-Crash.dll crashed"}, "B-Crash.dll", 0u, false},
        // The server pumps its messages after loading a plug-in and after
        // probing it: the slow load, or the slow entry, gives the timer
        // time to come due first.
        {"a timer left in unloaded code fires as the server serves a plug-in that crashes itself",
         {{L"timer_left_behind.dll", L"A-Timer.dll"}, {L"crash_entry_slow_load.dll", L"B-Crash.dll"}},
         {"A-Timer.dll crashed", "B-Crash.dll crashed"}, "B-Crash.dll", 9u, true},
        {"a timer left in unloaded code fires as the server serves a good plug-in",
         {{L"timer_left_behind.dll", L"A-Timer.dll"}, {L"slow_entry_100.dll", L"B-Slow.dll"},
          {L"effect.dll", L"C-Effect.dll"}},
         {"A-Timer.dll crashed"}, "B-Slow.dll", 9u, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Corpus corpus;
        for (const auto& plugin : c.plugins)
            corpus.Add(plugin.first, plugin.second);
        host::ScanOptions options = corpus.Options(1);
        options.graceMs = 600;
        ScanRun run = ScanWith(options);
        ASSERT_TRUE(run.ran);
        EXPECT_EQ(CrashedIn(run), c.notOk);
        ASSERT_EQ(run.results.run.incidents.size(), 1u);
        const host::Incident& incident = run.results.run.incidents[0];
        std::string steps;
        for (const std::string& step : incident.tried)
            steps += "\n  " + step;
        SCOPED_TRACE(incident.reason + steps);
        EXPECT_EQ(FileName(incident.during), c.during);
        EXPECT_EQ(incident.exitCode, c.exitCode);
        // The first plug-in of the folder is the culprit in every case.
        std::string first = host::ToUtf8(c.plugins[0].second);
        ASSERT_FALSE(incident.suspects.empty());
        EXPECT_EQ(FileName(incident.suspects[0]), first);
        EXPECT_EQ(FileName(incident.culprit), first);
        if (c.faultInNoModule) {
            ASSERT_TRUE(incident.fault.has_value());
            EXPECT_EQ(incident.fault->module, "");
            EXPECT_EQ(incident.fault->access.rfind("executing", 0), 0u) << incident.fault->access;
        }
        const PluginRecord& culprit = run.byName[first];
        EXPECT_TRUE(culprit.afterReport);
        EXPECT_TRUE(culprit.report.has_value());
        // A plug-in that crashed itself keeps its own record.
        for (const auto& plugin : c.plugins) {
            const PluginRecord& record = run.byName[host::ToUtf8(plugin.second)];
            if (record.status == Status::Crashed && &record != &culprit) {
                EXPECT_FALSE(record.afterReport);
                EXPECT_EQ(record.error, "it crashed the server, and again in a fresh server");
            }
        }
        printf("%s: %s%s\n", c.what, incident.reason.c_str(), steps.c_str());
    }
}

// A culprit is named by its death's evidence or by a death like it, never
// by a death of its own kind: a suspect whose thread faults in its trial is
// not blamed for a server that ended in order, and a plug-in whose dump
// names it is its own culprit, though it was in flight.
TEST(Scanner, ASuspectIsConvictedOnlyOfTheDeathItsEvidenceOrItsTrialShows) {
    {
        SCOPED_TRACE("a suspect that faults later in its trial, beside one that closes the server's input");
        Corpus corpus;
        corpus.Add(L"close_input.dll", L"A-Close.dll");
        corpus.Add(L"late_fault.dll", L"B-Late.dll");
        host::ScanOptions options = corpus.Options(1);
        options.graceMs = 600;
        ScanRun run = ScanWith(options);
        ASSERT_TRUE(run.ran);
        // The server closed in A-Close's scan ended in order as B-Late came;
        // B-Late's thread faults 250 ms after its report, wherever it runs.
        const host::Incident* ended = nullptr;
        for (const host::Incident& incident : run.results.run.incidents)
            if (FileName(incident.during) == "B-Late.dll")
                ended = &incident;
        ASSERT_NE(ended, nullptr);
        std::string steps;
        for (const std::string& step : ended->tried)
            steps += "\n  " + step;
        SCOPED_TRACE(ended->reason + steps);
        EXPECT_EQ(ended->exitCode, 0u);
        EXPECT_EQ(FileName(ended->culprit), "A-Close.dll");
        EXPECT_EQ(run.byName["A-Close.dll"].status, Status::Ended);
        // B-Late is recorded as what it is: it crashes a server of its own
        // after its report, with that crash's dump.
        const PluginRecord& late = run.byName["B-Late.dll"];
        EXPECT_EQ(late.status, Status::Crashed);
        EXPECT_TRUE(late.afterReport);
        EXPECT_TRUE(FileExists(late.dump)) << late.dump;
        for (const host::Incident& incident : run.results.run.incidents) {
            if (&incident != ended) {
                EXPECT_EQ(FileName(incident.culprit), "B-Late.dll") << incident.reason;
            }
        }
    }
    {
        SCOPED_TRACE("a plug-in that crashes in its own code, then ends otherwise in a fresh server");
        Corpus corpus;
        corpus.Add(L"effect.dll", L"A-Effect.dll");
        corpus.Add(L"crash_then_exit.dll", L"B-Twice.dll");
        ScanRun run = ScanWith(corpus.Options(1));
        ASSERT_TRUE(run.ran);
        EXPECT_EQ(CrashedIn(run), std::vector<std::string>{"B-Twice.dll ended"});
        // Its first death's dump names it, the plug-in in flight: the death
        // is its own, and the plug-in before it is not tried.
        ASSERT_EQ(run.results.run.incidents.size(), 1u);
        const host::Incident& incident = run.results.run.incidents[0];
        EXPECT_EQ(FileName(incident.culprit), "B-Twice.dll") << incident.reason;
        ASSERT_EQ(incident.tried.size(), 1u);
        EXPECT_EQ(incident.tried[0].rfind("the dump names B-Twice.dll: the fault at 0x", 0), 0u) << incident.tried[0];
        const PluginRecord& twice = run.byName["B-Twice.dll"];
        EXPECT_FALSE(twice.afterReport);
        EXPECT_EQ(twice.exitCode, 7u);
    }
}

// The time limit of a request counts from the last new sub-plug-in a
// shell listed, up to ten limits in all; nothing else a server logs is
// progress.
TEST(Scanner, AShellThatKeepsListingIsGivenTimeAndOneThatNeverEndsIsNot) {
    struct Case {
        const wchar_t* plugin;
        Status status;
        const char* error;  // the start of it
        size_t shells;
        DWORD atLeastMs, belowMs;  // how long its scan took
    };
    constexpr DWORD kLimitMs = 1000;
    const Case cases[] = {
        {L"paced_shell.dll", Status::Ok, "", 60, 2500, 9000},  // 3 s of listing, 50 ms apart
        {L"endless_shell.dll", Status::TimedOut, "its shell listed ", 0, 10 * kLimitMs, 10 * kLimitMs + 4000},
        {L"hang_calling_host.dll", Status::TimedOut, "no answer within 1 s", 0, kLimitMs, 4 * kLimitMs},
    };
    Corpus corpus;
    for (const Case& c : cases)
        corpus.Add(c.plugin, c.plugin);
    ScanRun run = ScanWith(corpus.Options(2, kLimitMs));
    ASSERT_TRUE(run.ran);
    for (const Case& c : cases) {
        const PluginRecord& record = run.byName[host::ToUtf8(c.plugin)];
        SCOPED_TRACE(host::ToUtf8(c.plugin) + ": " + record.error);
        EXPECT_EQ(record.status, c.status);
        EXPECT_EQ(record.error.rfind(c.error, 0), 0u);
        EXPECT_EQ(record.shells.size(), c.shells);
        EXPECT_GE(record.durationMs, c.atLeastMs);
        EXPECT_LT(record.durationMs, c.belowMs);
    }
    EXPECT_NE(run.byName["endless_shell.dll"].error.find(" and did not end within 10 s"), std::string::npos);
}

TEST(Scanner, WindowsThatPluginsOpenAreRecordedAndAnsweredOrFailTheirPlugin) {
    Corpus corpus;
    corpus.Add(L"msgbox_yesno.dll", L"Licence.dll");
    corpus.Add(L"own_window.dll", L"Window.dll");
    corpus.Add(L"effect.dll", L"Effect.dll");

    ScanRun answered = ScanWith(corpus.Options(1, 10000));
    const PluginRecord& licence = answered.byName["Licence.dll"];
    EXPECT_EQ(host::StatusName(licence.status), std::string("ok")) << licence.error;
    EXPECT_EQ(licence.name, "Licence answered YES");
    ASSERT_EQ(licence.dialogs.size(), 1u);
    EXPECT_EQ(licence.dialogs[0].title, "Licence");
    EXPECT_EQ(licence.dialogs[0].answer, "pressed Yes");
    EXPECT_EQ(answered.byName["Window.dll"].dialogs.at(0).answer, "closed");
    EXPECT_TRUE(answered.byName["Effect.dll"].dialogs.empty());

    host::ScanOptions failing = corpus.Options(1, 10000);
    failing.rescan = true;
    failing.dialogs = host::DialogPolicy::Fail;
    ScanRun failed = ScanWith(failing);
    const PluginRecord& refused = failed.byName["Licence.dll"];
    EXPECT_EQ(host::StatusName(refused.status), std::string("failed"));
    EXPECT_EQ(refused.error, "opened a window: \"Licence\"");
    EXPECT_LT(refused.durationMs, 5000);  // at once, not at the time limit
    EXPECT_EQ(host::StatusName(failed.byName["Effect.dll"].status), std::string("ok"));
}

TEST(Scanner, APluginThatMeddlesWithTheServersPipesCannotPassForgedAnswersOff) {
    Corpus corpus;
    corpus.Add(L"forge_prompt.dll", L"A-Forge.dll");
    corpus.Add(L"close_input.dll", L"B-Close.dll");
    corpus.Add(L"effect.dll", L"C-Effect.dll");
    corpus.Add(L"effect.dll", L"D-Effect.dll");
    host::ScanOptions options = corpus.Options(1);
    options.recycleAfter = 10;
    ScanRun run = ScanWith(options);
    ASSERT_TRUE(run.ran);
    // A prompt forged before the report: read as a server out of step,
    // twice, and never as a report.
    const PluginRecord& forge = run.byName["A-Forge.dll"];
    EXPECT_EQ(host::StatusName(forge.status), std::string("ended"));
    EXPECT_NE(forge.error.find("out of step (a prompt before any report)"), std::string::npos) << forge.error;
    EXPECT_FALSE(forge.report.has_value());
    // Its input closed, the server answers and then ends in order: the
    // next plug-in meets a server that is gone and is scanned in a fresh
    // one, and scanning the suspects again shows who ended the server.
    EXPECT_EQ(host::StatusName(run.byName["C-Effect.dll"].status), std::string("ok"));
    EXPECT_EQ(host::StatusName(run.byName["D-Effect.dll"].status), std::string("ok"));
    ASSERT_EQ(run.results.run.incidents.size(), 1u);
    const host::Incident& incident = run.results.run.incidents[0];
    EXPECT_EQ(incident.exitCode, 0u);
    EXPECT_EQ(FileName(incident.culprit), "B-Close.dll");
    const PluginRecord& closer = run.byName["B-Close.dll"];
    EXPECT_EQ(host::StatusName(closer.status), std::string("ended"));
    EXPECT_TRUE(closer.afterReport);
    EXPECT_EQ(closer.error, "it ended the server (exit code 0) after its report went out");
}

TEST(Scanner, AServerIsReplacedAfterItsShareOfPluginsAndAboveItsMemoryLimit) {
    struct Case {
        const char* what;
        std::vector<const wchar_t*> plugins;
        int recycleAfter;
        uint64_t memoryLimit;
        int servers;
    };
    const Case cases[] = {
        {"7 plug-ins, 3 to a server", {L"effect.dll", L"effect.dll", L"effect.dll", L"effect.dll",
                                       L"effect.dll", L"effect.dll", L"effect.dll"}, 3, 0, 3},
        {"a shell's sub-plug-ins go with it", {L"shell.dll", L"effect.dll"}, 1, 0, 2},
        {"each 300 MB leak above a 200 MiB limit", {L"leak_memory.dll", L"leak_memory.dll",
                                                    L"effect.dll", L"effect.dll"}, 100,
         200ull * 1024 * 1024, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Corpus corpus;
        for (size_t i = 0; i < c.plugins.size(); i++)
            corpus.Add(c.plugins[i], L"P" + std::to_wstring(i) + L".dll");
        host::ScanOptions options = corpus.Options(1);
        options.recycleAfter = c.recycleAfter;
        options.memoryLimit = c.memoryLimit;
        ScanRun run = ScanWith(options);
        EXPECT_EQ(run.results.run.servers, c.servers);
        // No server died: none was started ahead that was not used.
        EXPECT_EQ(run.launched, c.servers);
        EXPECT_TRUE(CrashedIn(run).empty());
        EXPECT_TRUE(run.results.run.incidents.empty());
    }
}

TEST(Scanner, WhatCannotWorkIsSaidBeforeAnythingIsLost) {
    Corpus corpus;
    corpus.Add(L"effect.dll", L"Effect.dll");

    // No server: a clear error, and no results file written.
    host::ScanOptions noServer = corpus.Options();
    noServer.serverPath = corpus.Path(L"missing\\ScanServer.exe");
    host::Scanner withoutServer(noServer);
    EXPECT_FALSE(withoutServer.Run());
    EXPECT_NE(withoutServer.error().find("cannot find the scan server"), std::string::npos)
        << withoutServer.error();
    EXPECT_FALSE(FileExists(host::ToUtf8(corpus.results())));

    // A read-only results file: refused before scanning, left as it was.
    ASSERT_TRUE(ScanWith(corpus.Options()).ran);
    SetFileAttributesW(corpus.results().c_str(), FILE_ATTRIBUTE_READONLY);
    corpus.Add(L"synth.dll", L"Synth.dll");
    host::Scanner readOnly(corpus.Options());
    EXPECT_FALSE(readOnly.Run());
    EXPECT_NE(readOnly.error().find("read-only"), std::string::npos) << readOnly.error();
    EXPECT_TRUE(readOnly.scanned().empty());
    SetFileAttributesW(corpus.results().c_str(), FILE_ATTRIBUTE_NORMAL);

    // A dump folder that cannot be made: a warning, and the scan goes on.
    host::ScanOptions badDumps = corpus.Options();
    badDumps.dumpFolder = corpus.Path(L"Effect.dll") + L"\\dumps";
    ScanRun run = ScanWith(badDumps);
    EXPECT_TRUE(run.ran);
    EXPECT_EQ(run.results.run.scanned, 1);
    ASSERT_EQ(run.warnings.size(), 1u);
    EXPECT_NE(run.warnings[0].find("scanning without crash dumps"), std::string::npos) << run.warnings[0];
}

}  // namespace
