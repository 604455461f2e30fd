#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/engine/records/Records.h"

namespace host {

// A server's exit code as people look it up: small codes in decimal,
// NTSTATUS values in hexadecimal ("0xC0000409").
std::string ExitCodeText(uint32_t code);

// Whether a process that ended with this code died of an exception: the
// system ends a process with the code of an exception nothing handled, and
// fail-fast ends (which no filter sees) with theirs. These are the NTSTATUS
// error codes, 0xC0000000 to 0xCFFFFFFF, all but 0xC000013A (what a
// console's Ctrl+C ends a process with), and the exception codes below them
// that the processor or a runtime raises: 0x80000001 to 0x80000004 (guard
// page, misaligned data, breakpoint, single step) and 0xE06D7363 (a C++
// exception of the Microsoft runtime). Codes a program picks for itself
// (0xFFFFFFFF, 1, 9, ...) are not.
bool IsExceptionExitCode(uint32_t code);

// The fault an exception exit code tells of, from the code alone: its
// name and the code; no address, module or thread. False for other codes.
bool FaultFromExitCode(uint32_t code, Fault* fault);

// What a dead server's fault was: what its crash dump (path in UTF-8,
// maybe empty) says, or without a readable one, what an exception exit
// code says. *modulePath gets the full path of the loaded module a dump
// places the fault in, or stays empty.
std::optional<Fault> FaultOfDeadServer(const std::string& dump, std::optional<uint32_t> exitCode,
                                       uint32_t serverThread, std::string* modulePath = nullptr);

}  // namespace host
