#pragma once

#include <windows.h>

#include <string>

#include "server/ServerState.h"

namespace testing_support {

// Points serverState.outputPipe at a pipe for the life of the object and
// collects what is written to it. A thread drains the pipe, because the
// channel flushes after every line and a flush on a pipe waits until the
// reader has taken the bytes.
class OutputCapture {
public:
    OutputCapture() {
        saved_ = serverState.outputPipe;
        if (!CreatePipe(&read_, &write_, nullptr, 0))
            return;
        serverState.outputPipe = write_;
        reader_ = CreateThread(nullptr, 0, Drain, this, 0, nullptr);
    }
    ~OutputCapture() { Finish(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Ends the capture and returns every byte written during it. Closing the
    // write end lets the reader see the end of the pipe once it has read all.
    std::string Finish() {
        serverState.outputPipe = saved_;
        if (write_) {
            CloseHandle(write_);
            write_ = nullptr;
        }
        if (reader_) {
            WaitForSingleObject(reader_, INFINITE);
            CloseHandle(reader_);
            reader_ = nullptr;
        }
        if (read_) {
            CloseHandle(read_);
            read_ = nullptr;
        }
        return text_;
    }

private:
    static DWORD WINAPI Drain(void* self) {
        auto* capture = static_cast<OutputCapture*>(self);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(capture->read_, chunk, sizeof chunk, &got, nullptr) && got > 0)
            capture->text_.append(chunk, got);
        return 0;
    }

    HANDLE saved_ = nullptr;
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE reader_ = nullptr;
    std::string text_;
};

}  // namespace testing_support
