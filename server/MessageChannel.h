#pragma once

#include <cstdarg>

// Every line the server writes: a tag, ":" and the formatted message as
// UTF-8, in one WriteFile to serverState.outputPipe followed by a flush.
// Formats use the Microsoft wide conventions ("%s" wide, "%S" bytes).
// Failures are ignored: a line that cannot be written or built is lost.
void LogLine(const char* tag, const wchar_t* format, va_list args);
void LogError(const wchar_t* format, ...);
void LogWarning(const wchar_t* format, ...);
void LogInfo(const wchar_t* format, ...);
void LogData(const wchar_t* format, ...);

// The request loop's prompt, the 7 bytes "ready:\n".
void WritePrompt();
