#pragma once

#include <map>
#include <string>
#include <vector>

namespace host {

// What a VST3 bundle folder NAME.vst3 holds, as far as a scan needs it.
struct BundleLayout {
    // Contents\x86_64-win\NAME.vst3, else Contents\x86-win\NAME.vst3 (the
    // only binaries a scan server can load); empty with neither.
    std::wstring binary;
    // The other "Contents\*-win" folders that hold NAME.vst3, for saying
    // why there is nothing to load: "arm64-win", "arm64x-win".
    std::vector<std::string> otherBinaries;
    // Contents\Resources\moduleinfo.json; empty when the bundle has none.
    std::wstring moduleInfo;
};

// The layout of the bundle folder at path (a full path, in the form the
// file functions take).
BundleLayout ReadBundleLayout(const std::wstring& bundle);

// What a bundle's moduleinfo.json says a host needs beyond the factory:
// for each class id it names as "New" in its "Compatibility" list, the ids
// it names as "Old" - the plug-ins, VST 2 ones among them, that the class
// replaces. Ids are 32 uppercase hexadecimal digits.
struct ModuleInfo {
    std::map<std::string, std::vector<std::string>> replaces;
};

// Reads the file, which is JSON5 as the format writes it (comments and
// trailing commas). False, with the reason, when it cannot be read or is
// not such a file.
bool ReadModuleInfo(const std::wstring& path, ModuleInfo* info, std::string* error);

// The same from the file's text.
bool ParseModuleInfo(const std::string& text, ModuleInfo* info, std::string* error);

}  // namespace host
