#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/engine/plan/Bundle.h"

namespace host {

// The plug-in formats a scan finds, by the file's name: a VST3 module ends
// in ".vst3" (a bundle folder or a single file), a CLAP one in ".clap",
// and a VST 2 plug-in is a ".dll".
enum class PluginFormat { Vst2, Vst3, Clap };
constexpr PluginFormat kFormats[] = {PluginFormat::Vst2, PluginFormat::Vst3, PluginFormat::Clap};

// "VST2", "VST3", "CLAP", as records name them.
const char* FormatName(PluginFormat format);

// A set of formats, one bit each.
using FormatSet = unsigned;
constexpr FormatSet FormatBit(PluginFormat format) {
    return 1u << static_cast<unsigned>(format);
}
constexpr FormatSet kAllFormats = FormatBit(PluginFormat::Vst2) | FormatBit(PluginFormat::Vst3) |
                                  FormatBit(PluginFormat::Clap);

// Reads "vst2,vst3,clap" (any of them, in any order and letter case, each
// at most once). False with the reason otherwise.
bool ParseFormats(const std::string& text, FormatSet* formats, std::string* error);

// The format a file or folder's name says it is of, by its ending.
PluginFormat FormatOfName(const std::wstring& path);

// A file's size and last write.
struct FileTimes {
    uint64_t size = 0;
    FILETIME modified = {};
};

// One plug-in to scan, as found on disk.
struct FoundPlugin {
    std::wstring path;     // the full path as people write it; "PATH>ID" for a sub-plug-in request
    std::wstring request;  // what the server is sent: path, with the long-path prefix
                           // ("\\?\", "\\?\UNC\") when the file's path passes MAX_PATH
    uint64_t size = 0;
    FILETIME modified = {};  // last write time; for a VST3 bundle, both of its binary
    PluginFormat format = PluginFormat::Vst2;
    // The file the server loads, in the form request has: the request's own
    // file, or a VST3 bundle's binary; empty for a bundle without one for
    // x64 or x86.
    std::wstring binary;
    std::optional<BundleLayout> bundle;  // for a VST3 bundle folder
    std::optional<FileTimes> moduleInfo;  // a bundle's moduleinfo.json, when it has one
};

// What a walk over the inputs found.
struct Discovery {
    std::vector<FoundPlugin> plugins;   // in a stable order, each file once
    std::vector<std::wstring> folders;  // full paths of the folders that were walked,
                                        // without a trailing backslash but a drive's
    std::vector<std::string> warnings;  // one per input that does not exist or folder that cannot be listed
};

// Finds the plug-ins named by inputs: files as they are (whatever their
// extension; the format by it), folders named "*.vst3" as VST3 bundles,
// other folders walked recursively for the files of the formats asked for
// ("*.dll", "*.vst3" files and bundle folders, "*.clap", in any letter
// case), and "PATH>HEXID" requests passed through as they are. Relative
// paths are made full. Folders are listed in sorted order (ordinal,
// ignoring case), so that the same tree always gives the same order. Links
// and junctions are followed, but never into a folder already being walked.
Discovery DiscoverPlugins(const std::vector<std::wstring>& inputs, FormatSet formats = kAllFormats);

// The machine's standard folders of the formats asked for that exist, each
// once. VST 2: the one named by the registry value VSTPluginsPath under
// HKEY_LOCAL_MACHINE\SOFTWARE\VST, then Program Files\VSTPlugins, Program
// Files\Steinberg\VSTPlugins, Program Files\Common Files\VST2 and Program
// Files\Common Files\Steinberg\VST2. VST3: Common Files\VST3, then the
// 32-bit Common Files\VST3. CLAP: Common Files\CLAP, the user's
// AppData\Local\Programs\Common\CLAP, then each folder of CLAP_PATH.
std::vector<std::wstring> StandardPluginFolders(FormatSet formats);

// The full path of path as people write it ("C:\x", "\\server\share\x"),
// without a trailing backslash but a drive's; empty when it cannot be made
// full.
std::wstring FullPath(const std::wstring& path);

// A full path as the server is sent it: with the long-path prefix ("\\?\",
// "\\?\UNC\") when it is MAX_PATH characters or longer, since LoadLibrary
// and the other file functions refuse it otherwise.
std::wstring RequestPath(const std::wstring& path);

// The last part of a path: the file's name.
std::string FileNameOf(const std::string& path);

}  // namespace host
