// One request from start to end: splitting the request text, the file
// version, and the library cache across a series of requests.
#include "scan/ScanRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/Architecture.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::HasLine;
using testing_support::LogOf;
using testing_support::PluginPath;
using testing_support::PluginRequest;
using testing_support::ReportOf;
using testing_support::ScanSession;

struct SplitCase {
    const wchar_t* request;
    const wchar_t* path;
    int32_t shellId;
};

TEST(SplitRequest, TakesThePathBeforeTheFirstMarkAndTheHexDigitsAfterIt) {
    const SplitCase cases[] = {
        {L"C:\\a.dll", L"C:\\a.dll", 0},                      // no mark: the whole text
        {L"C:\\a.dll>1A2g7", L"C:\\a.dll", 0x1A2},            // g ends the digits
        {L"C:\\a.dll>123456789", L"C:\\a.dll", 0x23456789},   // nine digits: the last eight count
        {L"C:\\a.dll>", L"C:\\a.dll", 0},                     // a mark without digits
        {L"C:\\a.dll>0x10", L"C:\\a.dll", 0},                 // no prefix: x ends the digits
        {L">10", L"", 0x10},                                  // an empty path
        {L"C:\\a.dll>ab>cd", L"C:\\a.dll", 0xAB},             // split at the first mark
        {L"C:\\a.dll>FFFFFFFF", L"C:\\a.dll", -1},            // all 32 bits
        {L" C:\\a b.dll \r", L" C:\\a b.dll \r", 0},         // verbatim: spaces and CR stay
        {L"", L"", 0},                                        // empty request
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(host::ToUtf8(c.request));
        CStringW path;
        int32_t shellId = 7;
        ASSERT_TRUE(SplitRequest(c.request, &path, &shellId));
        EXPECT_EQ(std::wstring(path), std::wstring(c.path));
        EXPECT_EQ(shellId, c.shellId);
    }
}

VS_FIXEDFILEINFO Versions(DWORD productMS, DWORD productLS, DWORD fileMS, DWORD fileLS) {
    VS_FIXEDFILEINFO info = {};
    info.dwProductVersionMS = productMS;
    info.dwProductVersionLS = productLS;
    info.dwFileVersionMS = fileMS;
    info.dwFileVersionLS = fileLS;
    return info;
}

TEST(FileVersionText, PrefersTheProductVersionThenTheFileVersion) {
    EXPECT_EQ(std::wstring(FileVersionText(Versions(0x00050006, 0x00070008, 0x00010002, 0x00030004))),
              L"5.6.7.8");
    EXPECT_EQ(std::wstring(FileVersionText(Versions(0, 0, 0x00010002, 0x00030004))), L"1.2.3.4");
    EXPECT_EQ(std::wstring(FileVersionText(Versions(0, 1, 0x00010002, 0x00030004))), L"0.0.0.1");
    // Each word half is an unsigned 16-bit number.
    EXPECT_EQ(std::wstring(FileVersionText(Versions(0xFFFF8000, 0x00000000, 0, 0))), L"65535.32768.0.0");
    EXPECT_TRUE(FileVersionText(Versions(0, 0, 0, 0)).IsNull());
}

TEST(ReadFileVersion, ReadsTheFixedRecordOfAFileAndNothingOfOneWithout) {
    VS_FIXEDFILEINFO info = {};
    ASSERT_TRUE(ReadFileVersion(PluginPath(L"version_both.dll").c_str(), &info));
    EXPECT_EQ(info.dwProductVersionMS, 0x00050006u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00070008u);
    EXPECT_EQ(info.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00030004u);
    EXPECT_FALSE(ReadFileVersion(PluginPath(L"version_none.dll").c_str(), &info));
    EXPECT_FALSE(ReadFileVersion(PluginPath(L"missing.dll").c_str(), &info));
}

// The log lines of one request, without the probe's own lines, so that the
// cache's steps can be read in order.
std::vector<std::string> CacheSteps(const std::vector<std::string>& lines) {
    const char* steps[] = {"info:Re-using previous library instance...\n",
                           "info:Freeing cached library...\n",
                           "info:Freed\n",
                           "info:Loading library...\n",
                           "info:Keeping shell library loaded for now...\n",
                           "info:Freeing library...\n",
                           "info:Finished\n"};
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        for (const char* step : steps)
            if (line == step)
                found.push_back(line);
        if (line.rfind("error:", 0) == 0)
            found.push_back(line);
    }
    return found;
}

std::vector<std::string> Steps(std::initializer_list<const char*> names) {
    std::vector<std::string> steps;
    for (const char* name : names)
        steps.push_back(std::string("info:") + name + "\n");
    return steps;
}

TEST(ScanRequest, KeepsAShellLoadedForTheRequestsThatNameIt) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::string shell = PluginRequest(L"shell.dll");

    // Empty -> holding the shell: it lists sub-plug-ins.
    std::vector<std::string> lines = session.Scan(shell);
    EXPECT_EQ(CacheSteps(lines), Steps({"Loading library...", "Keeping shell library loaded for now...", "Finished"}));

    // Same path with an id: reused, probed as that sub-plug-in, kept
    // although its own record lists nothing.
    lines = session.Scan(shell + ">2");
    EXPECT_EQ(CacheSteps(lines), Steps({"Re-using previous library instance...",
                                        "Keeping shell library loaded for now...", "Finished"}));
    std::string report = ReportOf(lines);
    EXPECT_NE(report.find("\"id\":        \"00000002\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"name\":      \"Shell Sub Two\""), std::string::npos) << report;

    // Another path frees the shell before loading.
    lines = session.Scan(PluginRequest(L"effect.dll"));
    EXPECT_EQ(CacheSteps(lines), Steps({"Freeing cached library...", "Freed", "Loading library...",
                                        "Freeing library...", "Finished"}));

    // A non-shell twice: loaded and freed twice.
    lines = session.Scan(PluginRequest(L"effect.dll"));
    EXPECT_EQ(CacheSteps(lines), Steps({"Loading library...", "Freeing library...", "Finished"}));

    // A sub-plug-in while the cache is empty: loaded, probed, freed.
    lines = session.Scan(shell + ">1");
    EXPECT_EQ(CacheSteps(lines), Steps({"Loading library...", "Freeing library...", "Finished"}));
    EXPECT_NE(ReportOf(lines).find("\"name\":      \"Shell Sub One\""), std::string::npos);
}

TEST(ScanRequest, ComparesCachedPathsExactlySoOtherLetterCaseReloads) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::wstring path = PluginPath(L"shell.dll");
    session.Scan(host::ToUtf8(path));
    std::wstring upper = path.substr(0, path.size() - 9) + L"SHELL.DLL";
    std::vector<std::string> lines = session.Scan(host::ToUtf8(upper));
    EXPECT_EQ(CacheSteps(lines), Steps({"Freeing cached library...", "Freed", "Loading library...",
                                        "Keeping shell library loaded for now...", "Finished"}));
}

TEST(ScanRequest, ALoadFailureEmptiesTheCacheAndReportsTheSystemError) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    session.Scan(PluginRequest(L"shell.dll"));
    std::string missing = PluginRequest(L"missing.dll");
    std::vector<std::string> lines = session.Scan(missing);
    ASSERT_GE(lines.size(), 5u);
    // ERROR_MOD_NOT_FOUND, as GetLastError gives it for a missing file.
    const std::vector<std::string> expected = {
        "info:Scanning plugin: '" + missing + "'\n",
        "info:Freeing cached library...\n",
        "info:Freed\n",
        "info:Loading library...\n",
        "error:Failed to load library, err=126\n",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expected);
    std::string report = ReportOf(lines);
    EXPECT_EQ(report,
              "{\n"
              "  \"id\":        \"00000000\",\n"
              "  \"name\":      \"\",\n"
              "  \"vendor\":    \"\",\n"
              "  \"product\":   \"\",\n"
              "  \"version\":   \"\",\n"
              "  \"error\":     \"Failed to load library, err=126\",\n"
              "  \"numInputs\": 0,\n"
              "  \"numOutputs\":0,\n"
              "  \"wantsMidi\":  false,\n"
              "  \"sendsMidi\": false,\n"
              "  \"platform\":  \"" SERVER_ARCHITECTURE_TEXT "\",\n"
              "  \"audio64\":   false,\n"
              "  \"category\":  -1,\n"
              "  \"synthEdit\": false,\n"
              "}\n");
    EXPECT_EQ(lines.size(), 5u + 16u);
    // The cache is empty: the shell loads anew.
    lines = session.Scan(PluginRequest(L"shell.dll"));
    EXPECT_EQ(CacheSteps(lines), Steps({"Loading library...", "Keeping shell library loaded for now...", "Finished"}));
}

TEST(ScanRequest, AProbeFailureStillTakesTheFilesVersion) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    std::vector<std::string> lines = session.Scan(PluginRequest(L"null_entry.dll"));
    EXPECT_TRUE(HasLine(lines, "error:Entry point returned NULL\n"));
    EXPECT_NE(ReportOf(lines).find("\"version\":   \"3.1.4.1\""), std::string::npos) << ReportOf(lines);
}

TEST(ScanRequest, FreesACachedShellAtShutDownAndEndsWithExitCodeZero) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    session.Scan(PluginRequest(L"shell.dll"));
    DWORD exitCode = 1;
    std::string rest = session.Finish(&exitCode);
    EXPECT_EQ(rest, "info:Freeing cached library...\ninfo:Freed\n");
    EXPECT_EQ(exitCode, 0u);
}

}  // namespace
