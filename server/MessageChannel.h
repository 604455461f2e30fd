#pragma once

#include <cstdarg>

#include "simple/String.h"

// Every line the server writes: a tag, ":" and the formatted message as
// UTF-8, in one WriteFile to serverState.outputPipe followed by a flush.
// Formats use the Microsoft wide conventions ("%s" wide, "%S" bytes).
// Failures are ignored: a line that cannot be written or built is lost.
// Once a crash has begun (CrashGate.h) the calling thread writes nothing and
// waits for the crash to end the process; the prompt does the same.
void LogLine(const char* tag, const wchar_t* format, va_list args);

// Gathers its arguments into a va_list for LogLine.
void LogTaggedLine(const char* tag, const wchar_t* format, ...);

// The four writers take strings (CStringW, CStringA) as they are: see
// Simple::VarArg for why they are not handed to "..." directly.
template <typename... Args>
void LogError(const wchar_t* format, const Args&... args) {
    LogTaggedLine("error", format, Simple::VarArg(args)...);
}
template <typename... Args>
void LogWarning(const wchar_t* format, const Args&... args) {
    LogTaggedLine("warn", format, Simple::VarArg(args)...);
}
template <typename... Args>
void LogInfo(const wchar_t* format, const Args&... args) {
    LogTaggedLine("info", format, Simple::VarArg(args)...);
}
template <typename... Args>
void LogData(const wchar_t* format, const Args&... args) {
    LogTaggedLine(">", format, Simple::VarArg(args)...);
}

// The request loop's prompt, the 7 bytes "ready:\n".
void WritePrompt();
