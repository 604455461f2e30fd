#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/engine/records/Records.h"
#include "host/engine/servers/PooledServer.h"

namespace host {

struct CulpritSearch {
    ServerSettings server;
    DWORD timeoutMs = 60000;  // for each request
    DWORD graceMs = 2000;     // after each report, for a late fault to show
    HANDLE stop = nullptr;    // ends the search early
    bool tryDuring = true;    // whether the plug-in in flight when the server died is tried too
};

// What the culprit's record takes from the crash that convicted it.
struct Conviction {
    std::string culprit;  // its path; empty when none was found
    std::optional<uint32_t> exitCode;
    std::string dump;
    std::optional<Fault> fault;
};

// Looks for the plug-in among an incident's suspects (and the plug-in in
// flight when its server died, unless search.tryDuring is false) whose
// thread, timer or window crashes a server after its report went out, by
// scanning them again in fresh servers, each report followed by a grace
// period in which the server is kept busy answering requests for a file
// that does not exist, as later scans kept it busy: a server that dies
// during a plug-in's scan or grace narrows the suspects to that plug-in
// and those before it, which is tried alone first; a server that survives
// them all clears them. Each round takes half of the suspects left, the
// later half first. A plug-in is blamed only when it crashes a server of
// its own, alone, and that server dies the incident's death (the same
// exception at the same place, or with no dump the same exit code): a
// crash that does not come again blames nobody. A suspect whose server dies
// otherwise is added to *otherDeaths, with that death, and leaves the
// suspects. Each step is added to incident->tried.
Conviction FindCulprit(Incident* incident, const CulpritSearch& search,
                       std::vector<Conviction>* otherDeaths = nullptr);

}  // namespace host
