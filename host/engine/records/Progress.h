#pragma once

#include <string>
#include <vector>

#include "host/engine/records/Records.h"

namespace host {

// Plug-ins of this run by how their scan ended; sub-plug-ins are counted
// with their shell.
struct StatusCounts {
    int ok = 0;
    int failed = 0;
    int crashed = 0;
    int timedOut = 0;
    int ended = 0;

    void Add(Status status);
    void Remove(Status status);
    int Of(Status status) const;
    int Total() const { return ok + failed + crashed + timedOut + ended; }
};

// Where a scan stands, for a progress bar.
struct ScanProgress {
    int total = 0;      // plug-ins this run scans
    int done = 0;       // of them, finished
    int fromCache = 0;  // taken from the results file unchanged
    int skipped = 0;    // earlier failures not tried again
    StatusCounts counts;
    double elapsedSeconds = 0;
    double perSecond = 0;      // plug-ins finished per second so far
    double secondsLeft = -1;   // an estimate; negative until there is one
    const PluginRecord* finished = nullptr;  // the record just finished, or null for a tick
    std::vector<std::string> inFlight;       // paths being scanned now

    // Fraction done, from 0 to 1; 1 when there is nothing to scan.
    double Fraction() const { return total ? static_cast<double>(done) / total : 1.0; }
};

// Updates the rate and the estimate from the elapsed time and what is done.
void UpdateEstimate(ScanProgress* progress, double elapsedSeconds);

}  // namespace host
