#include "server/MessageChannel.h"

#include "server/CrashGate.h"
#include "server/ServerState.h"

namespace {

void WriteBytes(const char* bytes, int32_t count) {
    // After a fault has reached the crash filter the host must see nothing
    // more, not even a prompt: the broken pipe is its next news.
    StopIfCrashing();
    DWORD written = 0;
    WriteFile(serverState.outputPipe, bytes, static_cast<DWORD>(count), &written, nullptr);
    if (!serverState.holdFlushes)
        FlushFileBuffers(serverState.outputPipe);
}

}  // namespace

void LogLine(const char* tag, const wchar_t* format, va_list args) {
    CStringA line(tag);
    if (!line.Append(":"))
        return;
    CStringW message = Simple::FormatStringV(format, args);
    // Every message ends with its line feed, so an empty one means the
    // format could not be formatted; sent, it would glue two lines together.
    if (message.GetLength() == 0)
        return;
    CStringA utf8 = Simple::ToUtf8(message);
    // A line that cannot be built whole is dropped rather than sent cut
    // short: the host would read half a line as a whole one.
    if (utf8.IsNull() || !line.Append(utf8))
        return;
    WriteBytes(line, line.GetLength());
}

void LogTaggedLine(const char* tag, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogLine(tag, format, args);
    va_end(args);
}

void WritePrompt() {
    WriteBytes("ready:\n", 7);
}
