#include "host/tools/Summary.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "host/tools/ConsoleOutput.h"

namespace tools {

namespace {

constexpr size_t kSlowestShown = 5;
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
    snprintf(line, sizeof line, "  ok %d   failed %d   crashed %d   timed out %d   ended %d\n",
             counts.ok, counts.failed, counts.crashed, counts.timedOut, counts.ended);
    text += line;
    if (subs.Total()) {
        snprintf(line, sizeof line,
                 "  sub-plug-ins of shells: ok %d   failed %d   crashed %d   timed out %d   ended %d\n",
                 subs.ok, subs.failed, subs.crashed, subs.timedOut, subs.ended);
        text += line;
    }
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

    std::vector<const host::PluginRecord*> slowest;
    for (const host::PluginRecord& record : scanned)
        slowest.push_back(&record);
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

    std::string failures;
    size_t failureCount = 0;
    for (const host::PluginRecord& record : scanned) {
        if (record.status != host::Status::Ok) {
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
    if (failureCount) {
        snprintf(line, sizeof line, "Failures (%zu):\n", failureCount);
        text += line + failures;
    }

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
