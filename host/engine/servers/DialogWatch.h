#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/engine/records/Records.h"

namespace host {

// What the scanner does about a window that a plug-in opens while it is
// scanned. The server runs plug-ins on its main thread, so a modal box
// there stops the scan until someone answers it.
enum class DialogPolicy {
    Answer,  // press its default button, or close a window without buttons
    Wait,    // leave it open: the request's time limit decides
    Fail,    // fail the request at once
};

// Watches one server's visible top-level windows while one request is in
// flight (one watch per request), apart from the server's own badge. Each
// new window is recorded once, with its title and texts, and dealt with by
// the policy. A plug-in may have hung the thread that owns its windows, so
// answers are posted, never sent, and the one question asked of a window
// has a short time limit.
class DialogWatch {
public:
    // How often the engine should Look while a request is in flight.
    static constexpr DWORD kIntervalMs = 100;
    // A window still open this long after it was answered is answered
    // again: a posted click can be lost, and wizards open page after page
    // in one window.
    static constexpr DWORD kRetryMs = 1000;

    DialogWatch(DWORD serverProcessId, DialogPolicy policy);

    // Looks at the server's windows once. False when the policy is Fail and
    // a window has opened: the request fails, failure() says why, and the
    // engine ends the server.
    bool Look();

    // The windows seen so far, in the order they were found.
    const std::vector<Dialog>& dialogs() const { return dialogs_; }
    // Why the request failed under Fail, for the plug-in's record; empty
    // before.
    const std::string& failure() const { return failure_; }

private:
    struct Known {
        HWND window;
        uint64_t answeredAt;  // when it was last answered (or first seen)
    };

    void Take(HWND window, uint64_t now);

    DWORD processId_;
    DialogPolicy policy_;
    std::vector<Known> known_;
    std::vector<Dialog> dialogs_;
    std::string failure_;
};

}  // namespace host
