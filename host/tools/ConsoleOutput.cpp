#include "host/tools/ConsoleOutput.h"

#include <cmath>
#include <cstdio>

#include "host/engine/plan/Discovery.h"
#include "host/engine/util/Text.h"

namespace tools {

namespace {

size_t Characters(const std::string& utf8) {
    size_t count = 0;
    for (char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// Cuts UTF-8 text to at most width characters, never inside one.
std::string Fit(const std::string& text, size_t width) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++characters > width)
            return text.substr(0, i);
    }
    return text;
}

size_t ConsoleWidth(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(console, &info) && info.dwSize.X > 1)
        return static_cast<size_t>(info.dwSize.X - 1);
    return 79;
}

}  // namespace

std::string Clock(double seconds) {
    if (seconds < 0)
        return "?";
    long total = std::lround(seconds);
    char text[32];
    if (total >= 3600)
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

ConsoleOutput::ConsoleOutput(bool quiet) : error_(GetStdHandle(STD_ERROR_HANDLE)), quiet_(quiet) {
    DWORD mode = 0;
    live_ = !quiet && GetConsoleMode(error_, &mode);
}

void ConsoleOutput::Write(const std::string& utf8) {
    DWORD mode = 0;
    if (GetConsoleMode(error_, &mode)) {
        // A console takes UTF-16 whatever its code page.
        std::wstring wide = host::FromUtf8(utf8);
        DWORD written = 0;
        WriteConsoleW(error_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    DWORD written = 0;
    WriteFile(error_, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void ConsoleOutput::ClearLine() {
    if (!shownWidth_)
        return;
    Write("\r" + std::string(shownWidth_, ' ') + "\r");
    shownWidth_ = 0;
}

void ConsoleOutput::Progress(const host::ScanProgress& progress) {
    if (quiet_)
        return;
    if (!live_) {
        if (!progress.finished)
            return;
        const host::PluginRecord& record = *progress.finished;
        char head[64];
        snprintf(head, sizeof head, "[%d/%d] %-9s ", progress.done, progress.total,
                 host::StatusName(record.status));
        std::string line = head + record.path;
        if (record.status == host::Status::Ok || record.status == host::Status::Failed) {
            if (!record.name.empty())
                line += " (" + record.name + ")";
        }
        if (record.status != host::Status::Ok)
            line += ": " + record.error;
        Write(line + "\n");
        return;
    }
    // Redrawing a console line costs more than a scan: a few times a second
    // is enough for a person.
    uint64_t now = GetTickCount64();
    if (progress.done < progress.total && now - lastDraw_ < 100)
        return;
    lastDraw_ = now;
    char head[160];
    snprintf(head, sizeof head, "[%d/%d] %3.0f%%  %.0f/s  %s left  ", progress.done,
             progress.total, progress.Fraction() * 100, progress.perSecond,
             Clock(progress.secondsLeft).c_str());
    std::string line = head;
    if (!progress.inFlight.empty())
        line += host::FileNameOf(progress.inFlight.front());
    size_t width = ConsoleWidth(error_);
    line = Fit(line, width);
    size_t shown = Characters(line);
    std::string padding = shown < shownWidth_ ? std::string(shownWidth_ - shown, ' ') : "";
    Write("\r" + line + padding);
    shownWidth_ = shown;
}

void ConsoleOutput::Warning(const std::string& text) {
    ClearLine();
    Write("warning: " + text + "\n");
}

void ConsoleOutput::Finish() {
    ClearLine();
}

}  // namespace tools
