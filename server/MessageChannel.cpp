#include "server/MessageChannel.h"

#include "server/ServerState.h"

namespace {

void WriteBytes(const char* bytes, int32_t count) {
    DWORD written = 0;
    WriteFile(serverState.outputPipe, bytes, static_cast<DWORD>(count), &written, nullptr);
    FlushFileBuffers(serverState.outputPipe);
}

}  // namespace

void LogLine(const char* tag, const wchar_t* format, va_list args) {
    CStringA line(tag);
    if (!line.Append(":"))
        return;
    CStringW message = Simple::FormatStringV(format, args);
    if (message.IsNull())
        return;
    CStringA utf8 = Simple::ToUtf8(message);
    // A line that cannot be built whole is dropped rather than sent cut
    // short: the host would read half a line as a whole one.
    if (utf8.IsNull() || !line.Append(utf8))
        return;
    WriteBytes(line, line.GetLength());
}

void LogError(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogLine("error", format, args);
    va_end(args);
}

void LogWarning(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogLine("warn", format, args);
    va_end(args);
}

void LogInfo(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogLine("info", format, args);
    va_end(args);
}

void LogData(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogLine(">", format, args);
    va_end(args);
}

void WritePrompt() {
    WriteBytes("ready:\n", 7);
}
