#include "host/engine/failures/ExitCode.h"

#include <cstdio>

#include "host/engine/failures/DumpReader.h"

namespace host {

std::string ExitCodeText(uint32_t code) {
    if (code < 0x10000)
        return std::to_string(code);
    char text[16];
    snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

bool IsExceptionExitCode(uint32_t code) {
    constexpr uint32_t kControlCExit = 0xC000013A;
    if (code >= 0xC0000000 && code <= 0xCFFFFFFF)
        return code != kControlCExit;
    return (code >= 0x80000001 && code <= 0x80000004) || code == 0xE06D7363;
}

bool FaultFromExitCode(uint32_t code, Fault* fault) {
    if (!IsExceptionExitCode(code))
        return false;
    Fault out;
    out.kind = "crash";
    out.code = code;
    out.name = ExceptionName(code);
    if (out.name.empty())
        out.name = "exception " + ExitCodeText(code);
    out.threadKnown = false;
    out.text = out.name + ", exit code " + ExitCodeText(code) + ": no crash dump tells where";
    *fault = std::move(out);
    return true;
}

std::optional<Fault> FaultOfDeadServer(const std::string& dump, std::optional<uint32_t> exitCode,
                                       uint32_t serverThread, std::string* modulePath) {
    Fault fault;
    if (ReadCrashFault(dump, serverThread, &fault, modulePath) ||
        (exitCode && FaultFromExitCode(*exitCode, &fault)))
        return fault;
    return std::nullopt;
}

}  // namespace host
