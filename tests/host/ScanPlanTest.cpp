#include "host/engine/plan/ScanPlan.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/engine/util/Text.h"
#include "tests/support/ScanSession.h"

namespace {

using host::PlanStep;
using host::Status;

const FILETIME kModified = {2849190023u, 31295039};  // 2026-12-07T11:39:48.1234567Z

host::FoundPlugin Found(const std::wstring& path) {
    host::FoundPlugin found;
    found.path = path;
    found.size = 100;
    found.modified = kModified;
    return found;
}

host::PluginRecord Record(const std::string& path) {
    host::PluginRecord record;
    record.path = path;
    record.size = 100;
    record.modified = "2026-12-07T11:39:48.1234567Z";
    return record;
}

TEST(ScanPlan, StepsFollowTheRecordAndTheOptions) {
    enum Change { Same, OtherSize, OneTickLater };
    struct Row {
        Status status;
        Change change;
        bool rescan;
        bool retryFailed;
        PlanStep step;
    } rows[] = {
        {Status::Ok, Same, false, false, PlanStep::FromCache},
        {Status::Ok, Same, false, true, PlanStep::FromCache},          // retrying leaves "ok" alone
        {Status::Ok, Same, true, false, PlanStep::Scan},               // rescan takes everything
        {Status::Ok, OtherSize, false, false, PlanStep::Scan},
        {Status::Ok, OneTickLater, false, false, PlanStep::Scan},      // all seven digits count
        {Status::Failed, Same, false, false, PlanStep::FromCache},     // a failure is an answer
        {Status::Failed, Same, false, true, PlanStep::Scan},
        {Status::Crashed, Same, false, false, PlanStep::Skip},
        {Status::Crashed, Same, false, true, PlanStep::Scan},
        {Status::Crashed, OtherSize, false, false, PlanStep::Scan},    // changed: a new chance
        {Status::TimedOut, Same, false, false, PlanStep::Skip},
        {Status::TimedOut, Same, false, true, PlanStep::Scan},
        {Status::Ended, Same, false, false, PlanStep::Skip},
        {Status::Ended, Same, true, false, PlanStep::Scan},
    };
    host::Results cache;
    cache.plugins.push_back(Record("C:\\Other.dll"));
    cache.plugins.push_back(Record("C:\\VST\\\xC3\x89t\xC3\xA9.dll"));
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        cache.plugins[1].status = row.status;
        host::FoundPlugin found = Found(L"c:\\vst\\\u00e9T\u00c9.DLL");  // same path, other case
        found.size += row.change == OtherSize;
        found.modified.dwLowDateTime += row.change == OneTickLater;
        std::vector<host::PlannedPlugin> plan =
            host::PlanScan({found, Found(L"C:\\New.dll")}, cache, {row.rescan, row.retryFailed});
        ASSERT_EQ(plan.size(), 2u);
        EXPECT_EQ(plan[0].step, row.step);
        EXPECT_EQ(plan[0].cached, &cache.plugins[1]);
        EXPECT_EQ(plan[1].step, PlanStep::Scan);  // never seen before
        EXPECT_EQ(plan[1].cached, nullptr);
    }
}

TEST(ScanPlan, SamePathComparesOrdinallyIgnoringCase) {
    struct Row {
        const char* a;
        const char* b;
        bool same;
    } rows[] = {
        {"C:\\VST\\a.dll", "c:\\vst\\A.DLL", true},
        {"C:\\\xC3\x89t\xC3\xA9.dll", "c:\\\xC3\xA9T\xC3\x89.dll", true},  // case beyond ASCII
        {"C:\\a.dll", "C:/a.dll", false},                         // names, not normalised paths
        {"C:\\stra\xC3\x9F" "e.dll", "C:\\STRASSE.dll", false},  // no linguistic folding
    };
    for (const Row& row : rows)
        EXPECT_EQ(host::SamePath(row.a, row.b), row.same) << row.a << " " << row.b;
}

TEST(ScanPlan, KeptRecordsDropOnlyVanishedFilesInsideWalkedFolders) {
    testing_support::TempFolder folder;
    std::string root = host::ToUtf8(folder.path());
    for (const wchar_t* name : {L"\\Kept.dll", L"\\Found.dll", L"\\Shell.dll"})
        CloseHandle(CreateFileW((folder.path() + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, 0, nullptr));

    host::Discovery discovery;
    discovery.plugins.push_back(Found(folder.path() + L"\\found.DLL"));
    std::wstring walked = folder.path() + L"\\";  // a trailing separator, other letter case
    std::transform(walked.begin(), walked.end(), walked.begin(), ::towupper);
    discovery.folders.push_back(walked);

    host::Results cache;
    for (const std::string& path : {
             root + "\\Found.dll",                    // found again: the run's record replaces it
             std::string("Q:\\Elsewhere\\Gone.dll"),  // outside the walk: kept
             root + "\\Gone.dll",                     // inside and vanished: dropped
             root + "\\Kept.dll",                     // inside and still there: kept
             root + "\\Sub\\Gone.dll",                // deeper inside and vanished: dropped
             root + "-other\\Gone.dll",               // a sibling sharing the name's start: kept
             root + "\\Shell.dll>00000001",           // a sub-plug-in of a file still there: kept
             root + "\\GoneShell.dll>00000002",       // a sub-plug-in of a vanished file: dropped
         })
        cache.plugins.push_back(Record(path));

    int dropped = -1;
    std::vector<host::PluginRecord> kept = host::KeptRecords(cache, discovery, &dropped);
    std::vector<std::string> keptPaths;
    for (const host::PluginRecord& record : kept)
        keptPaths.push_back(record.path);
    EXPECT_EQ(keptPaths, (std::vector<std::string>{"Q:\\Elsewhere\\Gone.dll", root + "\\Kept.dll",
                                                   root + "-other\\Gone.dll",
                                                   root + "\\Shell.dll>00000001"}));
    EXPECT_EQ(dropped, 3);
}

}  // namespace
