#pragma once

#include <string>
#include <vector>

#include "host/engine/plan/Discovery.h"
#include "host/engine/records/Records.h"

namespace host {

// What the cache says about each plug-in found.
enum class PlanStep {
    Scan,       // new, changed, or asked for again
    FromCache,  // unchanged since its record: the record stands
    Skip,       // unchanged, and it crashed, timed out or ended last time
};

struct PlannedPlugin {
    FoundPlugin found;
    PlanStep step = PlanStep::Scan;
    const PluginRecord* cached = nullptr;  // the matching record of the cache, if any
};

struct PlanOptions {
    bool rescan = false;       // scan everything again
    bool retryFailed = false;  // scan again what did not end "ok"
};

// Matches each plug-in found with the cache's record of the same path
// (ignoring letter case): a record whose size and last-write time are the
// file's (for a VST3 bundle: its binary's, and its moduleinfo.json's too)
// is taken as it is, unless the options ask for a new scan; one that
// crashed, timed out or ended is skipped unless retryFailed is set.
std::vector<PlannedPlugin> PlanScan(const std::vector<FoundPlugin>& found, const Results& cache,
                                    const PlanOptions& options);

// The cache's records that stay beside this run's: a record of a plug-in
// this run found is replaced by the run, and one whose file lay inside a
// folder this run walked but is gone is dropped (*dropped counts those);
// records of anything else are kept as they are.
std::vector<PluginRecord> KeptRecords(const Results& cache, const Discovery& discovery, int* dropped);

// Paths compare as Windows compares them: ordinal, ignoring letter case.
bool SamePath(const std::string& a, const std::string& b);

}  // namespace host
