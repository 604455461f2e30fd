#include "host/engine/records/Progress.h"

namespace host {

void StatusCounts::Add(Status status) {
    switch (status) {
    case Status::Ok: ok++; break;
    case Status::Failed: failed++; break;
    case Status::Crashed: crashed++; break;
    case Status::TimedOut: timedOut++; break;
    case Status::Ended: ended++; break;
    }
}

void StatusCounts::Remove(Status status) {
    switch (status) {
    case Status::Ok: ok--; break;
    case Status::Failed: failed--; break;
    case Status::Crashed: crashed--; break;
    case Status::TimedOut: timedOut--; break;
    case Status::Ended: ended--; break;
    }
}

int StatusCounts::Of(Status status) const {
    switch (status) {
    case Status::Ok: return ok;
    case Status::Failed: return failed;
    case Status::Crashed: return crashed;
    case Status::TimedOut: return timedOut;
    case Status::Ended: return ended;
    }
    return 0;
}

void UpdateEstimate(ScanProgress* progress, double elapsedSeconds) {
    progress->elapsedSeconds = elapsedSeconds;
    progress->perSecond = elapsedSeconds > 0 ? progress->done / elapsedSeconds : 0;
    // An estimate from the first plug-ins or two would swing wildly.
    if (progress->done >= 3 && progress->perSecond > 0)
        progress->secondsLeft = (progress->total - progress->done) / progress->perSecond;
    else
        progress->secondsLeft = -1;
}

}  // namespace host
