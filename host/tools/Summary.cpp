#include "host/tools/Summary.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "host/tools/ConsoleOutput.h"

namespace tools {

namespace {

constexpr size_t kSlowestShown = 5;
// Most plug-ins scan in milliseconds; listing them as "0.0 s" among the
// slowest says nothing, so the list holds only those that took at least
// what its precision shows.
constexpr int64_t kSlowestAtLeastMs = 100;
constexpr size_t kSuspectsShown = 10;

std::string Seconds(int64_t milliseconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
    return text;
}

std::string FailureLine(const std::string& path, const std::string& platform,
                        const host::ScanResult& result) {
    char status[16];
    snprintf(status, sizeof status, "%-9s", host::StatusName(result.status));
    std::string line = std::string("  ") + status + " " + path + " [" + platform + "]: " + result.error;
    if (result.fault && result.error.find(result.fault->text) == std::string::npos)
        line += "; " + result.fault->text;
    if (!result.dump.empty())
        line += " (dump " + result.dump + ")";
    return line + "\n";
}

bool NotVst2(const host::ScanResult& result);

std::string CountsText(const host::StatusCounts& counts) {
    char text[160];
    snprintf(text, sizeof text, "ok %d   failed %d   crashed %d   timed out %d   ended %d", counts.ok,
             counts.failed, counts.crashed, counts.timedOut, counts.ended);
    return text;
}
std::string FailureList(const std::vector<host::PluginRecord>& records, const char* heading);

// What a run that scanned nothing leaves standing: what the results file
// holds, the failures in it, and how to scan them again.
std::string Standing(const std::vector<host::PluginRecord>& plugins) {
    host::StatusCounts counts, subs;
    size_t others = 0;
    for (const host::PluginRecord& record : plugins) {
        counts.Add(record.status);
        others += NotVst2(record);
        for (const host::ShellRecord& shell : record.shells)
            subs.Add(shell.status);
    }
    char line[256];
    snprintf(line, sizeof line, "Nothing needed scanning. The results file holds %zu plug-in%s: ",
             plugins.size(), plugins.size() == 1 ? "" : "s");
    std::string text = line + CountsText(counts) + "\n";
    if (others) {
        snprintf(line, sizeof line, "  %zu of the failed %s no VST 2 plug-in%s\n", others,
                 others == 1 ? "is" : "are", others == 1 ? "" : "s");
        text += line;
    }
    if (subs.Total())
        text += "  sub-plug-ins of shells: " + CountsText(subs) + "\n";
    text += FailureList(plugins, "Failures that stand");
    if (counts.Total() - counts.ok > static_cast<int>(others) || subs.Total() - subs.ok)
        text += "To scan them again: plugin-scan --retry-failed (with the same paths and --out)\n";
    return text;
}

bool NotVst2(const host::ScanResult& result) {
    return result.status == host::Status::Failed && result.reason == "not a VST 2 plug-in";
}

// What a user can do about each kind of failure in records, one line for
// each kind there is.
std::string WhatToDo(const std::vector<host::PluginRecord>& records) {
    bool died = false, slow = false, failed = false;
    auto note = [&](const host::ScanResult& result) {
        died = died || result.status == host::Status::Crashed || result.status == host::Status::Ended;
        slow = slow || result.status == host::Status::TimedOut;
        failed = failed || (result.status == host::Status::Failed && !NotVst2(result));
    };
    for (const host::PluginRecord& record : records) {
        note(record);
        for (const host::ShellRecord& shell : record.shells)
            note(shell);
    }
    std::string text;
    if (died)
        text += "  crashed, ended: the plug-in would take down any host that loads it; ask its maker for a "
                "version that mends it, and send them its crash dump\n";
    if (slow)
        text += "  timed out: it may only be slow to start; scan it again with a longer limit: "
                "plugin-scan --retry-failed --timeout 300\n";
    if (failed)
        text += "  failed: the words after its name say what is wrong with the file or what it needs "
                "(a missing DLL: install what the plug-in comes with)\n";
    return text.empty() ? text : "What to do:\n" + text;
}

// Failures and files of other kinds, apart: a folder of support DLLs must
// not read as that many broken plug-ins.
std::string FailureList(const std::vector<host::PluginRecord>& records, const char* heading) {
    std::string failures, others;
    size_t failureCount = 0, otherCount = 0;
    for (const host::PluginRecord& record : records) {
        if (NotVst2(record)) {
            others += "  " + record.path + ": " + record.error + "\n";
            otherCount++;
        } else if (record.status != host::Status::Ok) {
            failures += FailureLine(record.path, record.platform, record);
            failureCount++;
        }
        for (const host::ShellRecord& shell : record.shells) {
            if (shell.status != host::Status::Ok) {
                failures += FailureLine(record.path + ">" + shell.id, record.platform, shell);
                failureCount++;
            }
        }
    }
    std::string text;
    if (failureCount)
        text += std::string(heading) + " (" + std::to_string(failureCount) + "):\n" + failures +
                WhatToDo(records);
    if (otherCount)
        text += "Not VST 2 plug-ins (" + std::to_string(otherCount) + "):\n" + others;
    return text;
}

}  // namespace

std::string Summary(const host::Scanner& scanner, const std::string& resultsPath, int jobs) {
    const host::ScanProgress& progress = scanner.progress();
    const host::RunInfo& run = scanner.results().run;
    const std::vector<host::PluginRecord>& scanned = scanner.scanned();
    std::string text;
    char line[256];

    snprintf(line, sizeof line, "Scanned %zu plug-in%s in %s", scanned.size(),
             scanned.size() == 1 ? "" : "s", Clock(run.seconds).c_str());
    text += line;
    if (!scanned.empty() && run.seconds > 0) {
        snprintf(line, sizeof line, " (%.1f per second, %d server%s at once)",
                 scanned.size() / run.seconds, jobs, jobs == 1 ? "" : "s");
        text += line;
    }
    snprintf(line, sizeof line, "; %d unchanged from the results file, %d earlier failure%s skipped.\n",
             progress.fromCache, progress.skipped, progress.skipped == 1 ? "" : "s");
    text += line;
    if (scanner.stopped())
        text += "The scan was stopped before it finished: the next run goes on from here.\n";

    host::StatusCounts subs;
    for (const host::PluginRecord& record : scanned)
        for (const host::ShellRecord& shell : record.shells)
            subs.Add(shell.status);
    const host::StatusCounts& counts = progress.counts;
    // A run that scanned nothing says what the results file holds instead.
    if (!scanned.empty() || scanner.stopped()) {
        text += "  " + CountsText(counts) + "\n";
    }
    if (subs.Total())
        text += "  sub-plug-ins of shells: " + CountsText(subs) + "\n";
    // x64 first, then x86, then whatever else was found.
    std::map<std::string, int> platforms;
    for (const host::PluginRecord& record : scanned)
        platforms[record.platform.empty() ? "unknown" : record.platform]++;
    if (!platforms.empty()) {
        text += "  platforms:";
        for (const char* known : {"x64", "x86"}) {
            auto found = platforms.find(known);
            if (found != platforms.end()) {
                text += "   " + found->first + " " + std::to_string(found->second);
                platforms.erase(found);
            }
        }
        for (const auto& other : platforms)
            text += "   " + other.first + " " + std::to_string(other.second);
        text += "\n";
    }
    // Said only when more than one format was scanned.
    std::map<std::string, int> formats;
    for (const host::PluginRecord& record : scanned)
        formats[record.format.empty() ? "VST2" : record.format]++;
    if (formats.size() > 1) {
        text += "  formats:  ";
        for (const char* known : {"VST2", "VST3", "CLAP"}) {
            auto found = formats.find(known);
            if (found != formats.end())
                text += "   " + found->first + " " + std::to_string(found->second);
        }
        text += "\n";
    }

    std::vector<const host::PluginRecord*> slowest;
    for (const host::PluginRecord& record : scanned) {
        if (record.durationMs >= kSlowestAtLeastMs)
            slowest.push_back(&record);
    }
    std::sort(slowest.begin(), slowest.end(),
              [](const host::PluginRecord* a, const host::PluginRecord* b) {
                  return a->durationMs > b->durationMs;
              });
    if (slowest.size() > kSlowestShown)
        slowest.resize(kSlowestShown);
    if (!slowest.empty()) {
        text += "Slowest:\n";
        for (const host::PluginRecord* record : slowest) {
            snprintf(line, sizeof line, "  %8s  ", Seconds(record->durationMs).c_str());
            text += line + record->path;
            if (record->status != host::Status::Ok)
                text += std::string(" (") + host::StatusName(record->status) + ")";
            text += "\n";
        }
    }

    text += FailureList(scanned, "Failures");
    if (scanned.empty() && !scanner.stopped())
        text += Standing(scanner.results().plugins);

    if (!run.incidents.empty()) {
        snprintf(line, sizeof line, "Incidents (%zu): servers that died when no plug-in explains it\n",
                 run.incidents.size());
        text += line;
        for (const host::Incident& incident : run.incidents) {
            text += "  " + incident.reason;
            if (!incident.during.empty())
                text += " (during " + incident.during + ")";
            if (!incident.dump.empty())
                text += " (dump " + incident.dump + ")";
            text += "\n";
            if (incident.fault)
                text += "    " + incident.fault->text + "\n";
            if (!incident.culprit.empty())
                text += "    culprit: " + incident.culprit + "\n";
            else if (!incident.tried.empty())
                text += "    " + incident.tried.back() + "\n";
            if (!incident.suspects.empty()) {
                snprintf(line, sizeof line, "    %zu suspect%s, scanned earlier by that server:\n",
                         incident.suspects.size(), incident.suspects.size() == 1 ? "" : "s");
                text += line;
                // The last ones scanned are the likeliest: a plug-in's
                // thread tends to fault soon after its report.
                size_t from = incident.suspects.size() > kSuspectsShown
                                  ? incident.suspects.size() - kSuspectsShown
                                  : 0;
                if (from) {
                    snprintf(line, sizeof line, "      (%zu earlier ones in the results file)\n", from);
                    text += line;
                }
                for (size_t i = from; i < incident.suspects.size(); i++)
                    text += "      " + incident.suspects[i] + "\n";
            }
        }
    }
    text += "Results: " + resultsPath + "\n";
    return text;
}

}  // namespace tools
