// plugin-scan: scans VST 2 plug-ins in files and folders with a pool of scan
// servers and keeps what it learns in a results file, which is also the
// cache of the next run. See docs/plugin-scan.md for the options and
// docs/results.md for the file.
//
// Exit code: 0 when the scan ran (whatever the plug-ins did), 2 on bad
// usage, when the scan could not run or its --html page could not be
// written, 130 when it was interrupted.
#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "host/engine/Events.h"
#include "host/engine/ScanSettings.h"
#include "host/engine/Scanner.h"
#include "host/engine/Version.h"
#include "host/engine/plan/Discovery.h"
#include "host/engine/records/ResultsFile.h"
#include "host/engine/servers/ServerProcess.h"
#include "host/engine/util/Text.h"
#include "host/tools/ConsoleOutput.h"
#include "host/tools/HtmlReport.h"
#include "host/tools/Summary.h"

namespace {

constexpr int kBadUsage = 2;
constexpr int kInterrupted = 130;

host::Scanner* runningScanner = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleBreak(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (runningScanner)
        runningScanner->Stop();
    return TRUE;
}

void PrintOut(const std::string& utf8) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        std::wstring wide = host::FromUtf8(utf8);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // CLI11 reads UTF-8; Windows hands over UTF-16.
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; i++)
        arguments.push_back(host::ToUtf8(argv[i]));
    std::vector<char*> utf8Argv;
    for (std::string& argument : arguments)
        utf8Argv.push_back(&argument[0]);

    host::ScanSettings settings;
    bool quiet = false;
    bool events = false;
    std::string html;
    bool noScan = false;

    CLI::App app{"Scans VST 2, VST3 and CLAP plug-ins with a pool of scan servers and keeps the results, "
                 "which are also the cache of the next run.",
                 "plugin-scan"};
    // Paths may start with a slash ("/VST" on the current drive, Unix paths
    // under Wine): no slash options.
    app.allow_windows_style_options(false);
    app.add_option("paths", settings.inputs,
                   "plug-in files, VST3 bundles, folders (searched for .dll, .vst3 and .clap) and "
                   "FILE>ID requests for a shell's sub-plug-in; none: the machine's standard folders "
                   "of the formats");
    app.add_option("--formats", settings.formats,
                   "the formats folders are searched for: vst2, vst3, clap, comma-separated")
        ->capture_default_str()
        ->check([](const std::string& text) {
            host::FormatSet formats = 0;
            std::string problem;
            return host::ParseFormats(text, &formats, &problem) ? std::string() : problem;
        });
    app.add_option("--out", settings.out, "the results file (JSON), also the cache")->capture_default_str();
    app.add_option("--jobs", settings.jobs, "servers at once (default: one per logical processor)")
        ->check(CLI::Range(1, host::kMaxJobs));
    app.add_option("--timeout", settings.timeout, "time limit for each plug-in, in seconds")
        ->capture_default_str()
        ->check(CLI::Range(host::kMinTimeout, host::kMaxTimeout));
    app.add_option("--dump-folder", settings.dumpFolder,
                   "where crash dumps go (default: a dumps folder beside the results file)");
    app.add_option("--recycle-after", settings.recycleAfter,
                   "plug-ins a server scans before a fresh one takes over")
        ->capture_default_str()
        ->check(CLI::Range(1, host::kMaxRecycleAfter));
    app.add_option("--memory-limit", settings.memoryLimit,
                   "a server's memory in MiB above which a fresh one takes over (0: none)")
        ->capture_default_str();
    app.add_option("--grace", settings.grace,
                   "when a server died and no dump names the plug-in, the seconds to wait after each "
                   "plug-in while its suspects are scanned again")
        ->capture_default_str()
        ->check(CLI::Range(0.0, host::kMaxGrace));
    app.add_option("--dialogs", settings.dialogs,
                   "windows plug-ins open while scanned: answer (press the default button, or "
                   "close), wait (leave them to the time limit), fail (fail the plug-in at once)")
        ->capture_default_str()
        ->check(CLI::IsMember({"answer", "wait", "fail"}));
    app.add_option("--server", settings.server, "the scan server (default: ScanServer.exe beside this program)");
    app.add_option("--server32", settings.server32,
                   "the x86 scan server, for 32-bit plug-ins (default: ScanServer32.exe beside this "
                   "program)");
    app.add_flag("--rescan", settings.rescan, "scan everything again, ignoring the cache");
    app.add_flag("--retry-failed", settings.retryFailed,
                 "scan again the plug-ins that failed, crashed, timed out or ended last time");
    app.set_version_flag("--version", std::string("plugin-scan ") + host::kScannerVersion,
                         "the scanner's version");
    app.add_flag("--quiet,-q", quiet, "no progress, only warnings and the summary");
    app.add_flag("--events", events,
                 "the scan's events as JSON lines on standard output, instead of the progress and "
                 "the summary");
    CLI::Option* htmlOption =
        app.add_option("--html", html, "also write the results as a page for people (HTML) here");
    app.add_flag("--no-scan", noScan, "scan nothing: write the --html page of the results file")
        ->needs(htmlOption);
    try {
        app.parse(argc, utf8Argv.data());
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kBadUsage;
    }

    host::ScanOptions options = host::ToScanOptions(settings);

    std::wstring htmlPath = html.empty() ? std::wstring() : host::FullPath(host::FromUtf8(html));
    if (noScan) {
        host::Results results;
        std::string error;
        if (!host::ReadResultsFile(options.resultsPath, &results, &error) ||
            !tools::WriteHtmlReport(htmlPath, results, &error)) {
            fprintf(stderr, "plugin-scan: %s\n", error.c_str());
            return kBadUsage;
        }
        PrintOut("Report: " + host::ToUtf8(htmlPath) + "\n");
        return 0;
    }

    tools::ConsoleOutput console(quiet || events);
    host::Scanner scanner(options);
    scanner.onProgress = [&](const host::ScanProgress& progress) { console.Progress(progress); };
    scanner.onWarning = [&](const std::string& text) { console.Warning(text); };
    // Each line is written whole and at once, so a host reading the pipe
    // sees every event as it happens.
    host::EventStream stream([](const std::string& line) { PrintOut(line + "\n"); });
    if (events)
        stream.Attach(&scanner);
    runningScanner = &scanner;
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
    bool ran = scanner.Run();
    SetConsoleCtrlHandler(OnConsoleBreak, FALSE);
    runningScanner = nullptr;
    console.Finish();
    if (events)
        stream.End(scanner);

    if (!ran && scanner.scanned().empty() && scanner.progress().fromCache == 0) {
        fprintf(stderr, "plugin-scan: %s\n", scanner.error().c_str());
        return kBadUsage;
    }
    if (!events)
        PrintOut(tools::Summary(scanner, host::ToUtf8(options.resultsPath), options.jobs));
    bool pageWritten = true;
    if (!html.empty()) {
        std::string error;
        pageWritten = tools::WriteHtmlReport(htmlPath, scanner.results(), &error);
        if (pageWritten && !events)
            PrintOut("Report: " + host::ToUtf8(htmlPath) + "\n");
        else if (!pageWritten)
            fprintf(stderr, "plugin-scan: %s\n", error.c_str());
    }
    if (!ran) {
        fprintf(stderr, "plugin-scan: %s\n", scanner.error().c_str());
        return kBadUsage;
    }
    if (!pageWritten)
        return kBadUsage;
    return scanner.stopped() ? kInterrupted : 0;
}
