#include "server/CommandLine.h"

#include <shellapi.h>

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

uint64_t ParseHexArgument(const wchar_t* text) {
    uint64_t value = 0;
    if (!text)
        return 0;
    for (; HexDigitValue(*text) >= 0; text++)
        value = (value << 4) + static_cast<uint64_t>(HexDigitValue(*text));
    return value;
}

bool ReadServerArguments(const wchar_t* commandLine, ServerArguments* arguments) {
    arguments->inputPipe = 0;
    arguments->outputPipe = 0;
    arguments->hostWindow = 0;
    arguments->dumpFolder.Release();

    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (!argv)
        return false;
    if (count > 1)
        arguments->inputPipe = ParseHexArgument(argv[1]);
    if (count > 2)
        arguments->outputPipe = ParseHexArgument(argv[2]);
    if (count > 3)
        arguments->hostWindow = ParseHexArgument(argv[3]);
    if (count > 4 && argv[4][0])
        arguments->dumpFolder = argv[4];
    LocalFree(argv);
    return true;
}
