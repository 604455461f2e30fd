#pragma once

#include <cstdint>

#include "server/ServerState.h"

// The four positional arguments a host starts the server with.
struct ServerArguments {
    uint64_t inputPipe;   // handle values, read as bare hexadecimal
    uint64_t outputPipe;
    uint64_t hostWindow;
    CStringW dumpFolder;  // empty: no dumps
};

// The value of one hexadecimal digit (either letter case), or -1.
int HexDigitValue(wchar_t c);

// Reads a bare hexadecimal number from the first character on: no prefix,
// sign or white space; the first non-digit ends it ("0x1A" reads as 0).
// Beyond 16 digits only the last 16 count. Null or empty reads as 0.
uint64_t ParseHexArgument(const wchar_t* text);

// Splits the command line with CommandLineToArgvW; missing arguments are 0
// or empty. False when the platform cannot split it.
bool ReadServerArguments(const wchar_t* commandLine, ServerArguments* arguments);
