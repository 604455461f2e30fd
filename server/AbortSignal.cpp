#include "server/AbortSignal.h"

#include <csignal>

namespace {

void OnAbortSignal(int) {
    // msvcrt puts SIG_DFL back before it calls a handler: a second abort
    // while this one is on its way ends the process as abort always did.
    RaiseException(kAbortExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace

void TreatAbortAsCrash() {
    signal(SIGABRT, OnAbortSignal);
}
