// Windows that kit plug-ins open in a real server while it scans them,
// watched from the test as the engine watches them: answered, recorded as
// shown, left open, or failing the request.
#include "host/engine/servers/DialogWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "badge/BadgeWindow.h"
#include "host/engine/wire/Report.h"
#include "tests/support/ScanSession.h"

namespace {

using host::Dialog;
using host::DialogPolicy;
using host::DialogWatch;
using testing_support::PluginRequest;
using testing_support::ScanSession;

struct Watched {
    bool prompted = false;     // the answer came, up to the next prompt
    bool lookFailed = false;   // the watch failed the request first
    std::vector<std::string> lines;
};

// Sends one request and looks at the server's windows every interval, as
// the engine does, until the prompt comes, the watch fails the request, or
// limitMs pass.
Watched ScanWatched(ScanSession* session, const std::string& request, DialogWatch* watch,
                    DWORD limitMs) {
    Watched watched;
    uint64_t end = GetTickCount64() + limitMs;
    if (!session->process().WriteLine(request, end))
        return watched;
    std::string line;
    while (GetTickCount64() < end) {
        if (!watch->Look()) {
            watched.lookFailed = true;
            return watched;
        }
        uint64_t next = std::min<uint64_t>(GetTickCount64() + DialogWatch::kIntervalMs, end);
        host::LineWait wait = session->process().NextLine(&line, next);
        if (wait == host::LineWait::Ended)
            return watched;
        if (wait != host::LineWait::Line)
            continue;
        if (line == "ready:\n") {
            watched.prompted = true;
            return watched;
        }
        watched.lines.push_back(line);
    }
    return watched;
}

std::string ReportedName(const Watched& watched) {
    host::Report report;
    std::string error;
    if (!host::ParseReport(testing_support::ReportOf(watched.lines), &report, &error))
        return "(no report: " + error + ")";
    return report.name;
}

std::string Describe(const Dialog& dialog) {
    std::string text = "\"" + dialog.title + "\" [";
    for (const std::string& line : dialog.texts)
        text += "\"" + line + "\" ";
    return text + "] " + dialog.answer;
}

// A visible top-level window of the server's own, other than its badge.
HWND FindServerWindow(DWORD processId, const wchar_t* title) {
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, title); window;
         window = FindWindowExW(nullptr, window, nullptr, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

TEST(DialogWatch, AnsweredWindowsLetTheScanFinishAndAreRecordedAsShown) {
    struct Case {
        const wchar_t* plugin;
        const char* reportedName;  // the plug-in's name tells which button it saw pressed
        Dialog recorded;
    };
    const Case cases[] = {
        {L"msgbox_ok.dll", "Demo Version answered OK",
         {"Demo Version", {"This is a demo version.", "OK"}, "pressed OK"}},  // the only button
        {L"msgbox_yesno.dll", "Licence answered YES",
         {"Licence", {"Register now?", "Yes", "No"}, "pressed Yes"}},  // Yes is the default
        {L"msgbox_abort.dll", "Error answered ABORT",
         {"Error", {"Disk not ready.", "Abort", "Retry", "Ignore"}, "pressed Abort"}},  // the default of three
        {L"msgbox_second.dll", "Unsaved answered CANCEL",
         {"Unsaved", {"Discard the changes?", "OK", "Cancel"}, "pressed Cancel"}},  // MB_DEFBUTTON2
        {L"own_window.dll", "Own Window",
         {"Plug-in Window", {"Hello from a plug-in"}, "closed"}},  // no dialog, no button: closed
        {L"own_window_stubborn.dll", "Own Window",
         {"Plug-in Window", {"Hello from a plug-in"}, "closed"}},  // refuses once: closed again
    };
    // One server for all: after each window it goes on to the next request.
    ScanSession session;
    ASSERT_TRUE(session.started());
    for (const Case& row : cases) {
        SCOPED_TRACE(host::ToUtf8(row.plugin));
        DialogWatch watch(session.process().processId(), DialogPolicy::Answer);
        Watched watched = ScanWatched(&session, PluginRequest(row.plugin), &watch, 10000);
        ASSERT_TRUE(watched.prompted);
        EXPECT_EQ(ReportedName(watched), row.reportedName);
        // Looked at every interval while the window closed and the scan
        // went on, it is still one window.
        ASSERT_EQ(watch.dialogs().size(), 1u);
        EXPECT_EQ(Describe(watch.dialogs()[0]), Describe(row.recorded));
        EXPECT_EQ(watch.failure(), "");
    }
}

TEST(DialogWatch, WaitLeavesTheBoxOpenAndFailStopsTheRequestNamingIt) {
    struct Case {
        DialogPolicy policy;
        bool lookFails;
        const char* answer;
        const char* failure;
    };
    const Case cases[] = {
        {DialogPolicy::Wait, false, "left open", ""},  // the time limit decides
        {DialogPolicy::Fail, true, "failed the scan", "opened a window: \"Licence\""},  // at once
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.answer);
        ScanSession session;
        ASSERT_TRUE(session.started());
        DialogWatch watch(session.process().processId(), row.policy);
        Watched watched = ScanWatched(&session, PluginRequest(L"msgbox_yesno.dll"), &watch, 3000);
        EXPECT_FALSE(watched.prompted);
        EXPECT_EQ(watched.lookFailed, row.lookFails);
        ASSERT_EQ(watch.dialogs().size(), 1u);
        EXPECT_EQ(Describe(watch.dialogs()[0]),
                  Describe({"Licence", {"Register now?", "Yes", "No"}, row.answer}));
        EXPECT_EQ(watch.failure(), row.failure);
        // Nobody pressed anything: the box is still there, and so is the scan.
        EXPECT_NE(FindServerWindow(session.process().processId(), L"Licence"), nullptr);
        EXPECT_FALSE(session.process().HasExited());
        session.process().Kill();
    }
}

TEST(DialogWatch, NeitherTheBadgeNorAWindowOfAnotherProcessIsReported) {
    ScanSession session;
    ASSERT_TRUE(session.started());
    // The badge is up, and so is a window of the test's own.
    ASSERT_NE(FindServerWindow(session.process().processId(), kBadgeTitle), nullptr);
    HWND mine = CreateWindowExW(0, L"STATIC", L"Not the server's", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(mine, nullptr);
    // Under Fail the first window it counted would fail the request.
    DialogWatch watch(session.process().processId(), DialogPolicy::Fail);
    Watched watched = ScanWatched(&session, PluginRequest(L"slow_entry_100.dll"), &watch, 10000);
    DestroyWindow(mine);
    EXPECT_TRUE(watched.prompted);
    EXPECT_FALSE(watched.lookFailed);
    EXPECT_TRUE(watch.dialogs().empty());
    EXPECT_TRUE(watch.Look());
}

}  // namespace
