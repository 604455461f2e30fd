#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/engine/records/Records.h"

namespace host {

// What a dead server's remains say of the plug-ins it had loaded: which
// one its dump names, and whether two deaths are the same death. A culprit
// is named by evidence or by a death that comes again the same way, never
// by a death of another kind.

// The plug-in among candidates (plug-in files, as requests named them)
// whose code holds the fault's address or a frame of the faulting thread's
// walked stack, nearest first: a module the dump lists, one it lists as
// unloaded, or the range where loads say that server had loaded the file
// (its size read from the file). Empty when the dump names none of them,
// or cannot be read. *how says what placed it there, as people read it.
std::string PluginNamedByDump(const std::string& dump, const std::vector<PluginLoad>& loads,
                              const std::vector<std::string>& candidates, std::string* how);

// How a server died, in the terms two deaths are compared in.
struct DeathMark {
    bool dump = false;  // a crash dump was read
    uint32_t code = 0;  // its exception code
    // Where the fault lay: the file name of the module (lower case) and the
    // offset from its base, a plug-in's own base when the code lay where
    // loads say one had been loaded; an empty module with the address when
    // no module held it.
    std::string module;
    uint64_t offset = 0;
    std::optional<uint32_t> exitCode;
};

DeathMark MarkOfDeath(const std::string& dump, std::optional<uint32_t> exitCode,
                      const std::vector<PluginLoad>& loads);

// The same death: with a dump on both sides, the same exception at the same
// offset of the same module; with a dump on neither, the same exit code.
bool SameDeath(const DeathMark& a, const DeathMark& b);

// A death in a few words, for a step of a culprit search: "access violation
// in foo.dll+0x1A2B", "exit code 0 without a crash dump".
std::string DeathText(const DeathMark& mark);

}  // namespace host
