#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// One plug-in to scan, as found on disk.
struct FoundPlugin {
    std::wstring path;     // the full path as people write it; "PATH>ID" for a sub-plug-in request
    std::wstring request;  // what the server is sent: path, with the long-path prefix
                           // ("\\?\", "\\?\UNC\") when the file's path passes MAX_PATH
    uint64_t size = 0;
    FILETIME modified = {};  // last write time
};

// What a walk over the inputs found.
struct Discovery {
    std::vector<FoundPlugin> plugins;   // in a stable order, each file once
    std::vector<std::wstring> folders;  // full paths of the folders that were walked,
                                        // without a trailing backslash but a drive's
    std::vector<std::string> warnings;  // one per input that does not exist or folder that cannot be listed
};

// Finds the plug-ins named by inputs: files as they are (whatever their
// extension), folders walked recursively for "*.dll" in any letter case,
// and "PATH>HEXID" requests passed through as they are. Relative paths are
// made full. Folders are listed in sorted order (ordinal, ignoring case),
// so that the same tree always gives the same order. Links and junctions
// are followed, but never into a folder already being walked.
Discovery DiscoverPlugins(const std::vector<std::wstring>& inputs);

// The machine's standard VST 2 folders that exist: the one named by the
// registry value VSTPluginsPath under HKEY_LOCAL_MACHINE\SOFTWARE\VST, then
// Program Files\VSTPlugins, Program Files\Steinberg\VSTPlugins, Program
// Files\Common Files\VST2 and Program Files\Common Files\Steinberg\VST2,
// each once.
std::vector<std::wstring> StandardPluginFolders();

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
