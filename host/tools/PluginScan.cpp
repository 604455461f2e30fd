// plugin-scan: scans VST 2 plug-ins in files and folders with a pool of scan
// servers and keeps what it learns in a results file, which is also the
// cache of the next run. See README.md for the options and the file.
//
// Exit code: 0 when the scan ran (whatever the plug-ins did), 2 on bad
// usage, when the scan could not run or its --html page could not be
// written, 130 when it was interrupted.
#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/engine/ResultsFile.h"
#include "host/engine/Discovery.h"
#include "host/engine/Scanner.h"
#include "host/engine/ServerProcess.h"
#include "host/engine/Text.h"
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

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
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

    std::vector<std::string> inputs;
    std::string out = "plugins.json";
    std::string dumpFolder;
    std::string server;
    std::string server32;
    int jobs = 0;
    double timeoutSeconds = 60;
    int recycleAfter = 200;
    unsigned memoryLimitMb = 1024;
    bool rescan = false;
    bool retryFailed = false;
    bool quiet = false;
    double graceSeconds = 2;
    std::string dialogs = "answer";
    std::string html;
    bool noScan = false;

    CLI::App app{"Scans VST 2 plug-ins with a pool of scan servers and keeps the results, which are "
                 "also the cache of the next run.",
                 "plugin-scan"};
    // Paths may start with a slash ("/VST" on the current drive, Unix paths
    // under Wine): no slash options.
    app.allow_windows_style_options(false);
    app.add_option("paths", inputs,
                   "plug-in files, folders (searched for .dll files) and FILE>ID requests for a "
                   "shell's sub-plug-in; none: the machine's standard VST 2 folders");
    app.add_option("--out", out, "the results file (JSON), also the cache")->capture_default_str();
    app.add_option("--jobs", jobs, "servers at once (default: one per logical processor)")
        ->check(CLI::Range(1, 64));
    app.add_option("--timeout", timeoutSeconds, "time limit for each plug-in, in seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0));
    app.add_option("--dump-folder", dumpFolder,
                   "where crash dumps go (default: a dumps folder beside the results file)");
    app.add_option("--recycle-after", recycleAfter,
                   "plug-ins a server scans before a fresh one takes over")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    app.add_option("--memory-limit", memoryLimitMb,
                   "a server's memory in MiB above which a fresh one takes over (0: none)")
        ->capture_default_str();
    app.add_option("--grace", graceSeconds,
                   "when a server died and no dump names the plug-in, the seconds to wait after each "
                   "plug-in while its suspects are scanned again")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 600.0));
    const std::map<std::string, host::DialogPolicy> dialogPolicies = {
        {"answer", host::DialogPolicy::Answer},
        {"wait", host::DialogPolicy::Wait},
        {"fail", host::DialogPolicy::Fail},
    };
    app.add_option("--dialogs", dialogs,
                   "windows plug-ins open while scanned: answer (press the default button, or "
                   "close), wait (leave them to the time limit), fail (fail the plug-in at once)")
        ->capture_default_str()
        ->check(CLI::IsMember({"answer", "wait", "fail"}));
    app.add_option("--server", server, "the scan server (default: ScanServer.exe beside this program)");
    app.add_option("--server32", server32,
                   "the x86 scan server, for 32-bit plug-ins (default: ScanServer32.exe beside this "
                   "program)");
    app.add_flag("--rescan", rescan, "scan everything again, ignoring the cache");
    app.add_flag("--retry-failed", retryFailed,
                 "scan again the plug-ins that failed, crashed, timed out or ended last time");
    app.add_flag("--quiet,-q", quiet, "no progress, only warnings and the summary");
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

    host::ScanOptions options;
    for (const std::string& input : inputs)
        options.inputs.push_back(host::FromUtf8(input));
    options.resultsPath = host::FullPath(host::FromUtf8(out));
    options.dumpFolder = dumpFolder.empty() ? FolderOf(options.resultsPath) + L"\\dumps"
                                            : host::FullPath(host::FromUtf8(dumpFolder));
    options.serverPath = server.empty() ? std::wstring() : host::FullPath(host::FromUtf8(server));
    options.serverPath32 = server32.empty() ? std::wstring() : host::FullPath(host::FromUtf8(server32));
    options.jobs = jobs;
    options.timeoutMs = static_cast<DWORD>(timeoutSeconds * 1000);
    options.recycleAfter = recycleAfter;
    options.memoryLimit = static_cast<uint64_t>(memoryLimitMb) * 1024 * 1024;
    options.rescan = rescan;
    options.retryFailed = retryFailed;
    options.graceMs = static_cast<DWORD>(graceSeconds * 1000);
    options.dialogs = dialogPolicies.at(dialogs);
    if (!options.jobs) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        options.jobs = static_cast<int>(system.dwNumberOfProcessors);
    }

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

    tools::ConsoleOutput console(quiet);
    host::Scanner scanner(options);
    scanner.onProgress = [&](const host::ScanProgress& progress) { console.Progress(progress); };
    scanner.onWarning = [&](const std::string& text) { console.Warning(text); };
    runningScanner = &scanner;
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
    bool ran = scanner.Run();
    SetConsoleCtrlHandler(OnConsoleBreak, FALSE);
    runningScanner = nullptr;
    console.Finish();

    if (!ran && scanner.scanned().empty() && scanner.progress().fromCache == 0) {
        fprintf(stderr, "plugin-scan: %s\n", scanner.error().c_str());
        return kBadUsage;
    }
    PrintOut(tools::Summary(scanner, host::ToUtf8(options.resultsPath), options.jobs));
    bool pageWritten = true;
    if (!html.empty()) {
        std::string error;
        pageWritten = tools::WriteHtmlReport(htmlPath, scanner.results(), &error);
        if (pageWritten)
            PrintOut("Report: " + host::ToUtf8(htmlPath) + "\n");
        else
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
