#pragma once

#include <windows.h>

#include <string>

#include "host/engine/records/Progress.h"

namespace tools {

// Where plugin-scan tells a person how the scan goes: standard error. On a
// console, one line that rewrites itself; otherwise one plain line per
// plug-in finished, so that a log or a pipe reads well.
class ConsoleOutput {
public:
    explicit ConsoleOutput(bool quiet);

    void Progress(const host::ScanProgress& progress);
    void Warning(const std::string& text);
    // Ends the live line, if one is shown, before other output follows.
    void Finish();

    bool live() const { return live_; }

private:
    void Write(const std::string& utf8);
    void ClearLine();

    HANDLE error_;
    bool live_ = false;
    bool quiet_;
    size_t shownWidth_ = 0;
    uint64_t lastDraw_ = 0;
};

// "1:05", "12:00:00"; "?" for a negative number of seconds.
std::string Clock(double seconds);

}  // namespace tools
