#pragma once

#include <windows.h>

#include "server/ServerState.h"

// A request line may run past one 1024-byte read; it is then read on to its
// line feed, and served whole up to this many bytes, line feed included.
constexpr DWORD kRequestReadSize = 1024;
constexpr DWORD kMaxRequestLineBytes = 64 * 1024;

enum class RequestRead {
    Line,      // *line holds the request, cut at its line feed
    TooLong,   // the line ran past kMaxRequestLineBytes and was discarded
    NoMemory,  // the line was read but could not be held
    Closed,    // the read failed or delivered nothing: the host has gone
};

// Reads one request line from pipe.
RequestRead ReadRequestLine(HANDLE pipe, CStringA* line);

// Prompts, reads and serves requests until the host closes the pipe.
void RunRequestLoop();

// A plain message loop, for a server started without an input pipe.
void RunWindowLoop();
