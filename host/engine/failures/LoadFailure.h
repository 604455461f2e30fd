#pragma once

#include <string>
#include <vector>

#include "host/engine/failures/PeFile.h"

namespace host {

struct ScanResult;

// Where the loader looks for the DLLs a plug-in needs when the server loads
// it with LOAD_WITH_ALTERED_SEARCH_PATH: the plug-in's own folder, then the
// system folders, then the folders of the PATH. The first systemCount
// folders after the plug-in's are the system's, whose DLLs' own needs are
// the system's business and not followed.
struct SearchFolders {
    std::vector<std::wstring> folders;
    size_t systemFrom = 1;   // folders[systemFrom, systemTo) are the system's
    size_t systemTo = 1;
};

// The folders as this machine and this process have them, for a plug-in at
// pluginPath.
SearchFolders LoaderSearchFolders(const std::wstring& pluginPath);

// Why a file could not be loaded or was no plug-in of the format it was
// scanned as, in words a user can act on, from the file itself and the
// DLLs it names.
struct LoadExplanation {
    std::string reason;                // see the results file's "reason"; empty: nothing found
    std::vector<std::string> missing;  // "NAME.dll" or "NAME.dll!Function", in the order found
    // The format its exports say it is of ("VST2", "VST3", "CLAP"): the one
    // it was scanned as when it exports that entry; empty when it exports none.
    std::string format;
    std::string words;                 // as people read it, without the server's text
};

// What the server said, as far as explaining it goes: loadError is the
// Windows error of a load that failed (0 when the file loaded), noEntry that
// it loaded but has no entry point of the format it was scanned as.
struct ServerFailure {
    unsigned loadError = 0;
    bool noEntry = false;
};
bool ParseServerFailure(const std::string& serverError, ServerFailure* failure);

// Explains failure of the file at path, scanned as a plug-in of format
// scannedAs ("VST2", "VST3", "CLAP"), searching its dependencies in search.
LoadExplanation ExplainLoadFailure(const std::wstring& path, const ServerFailure& failure,
                                   const SearchFolders& search, const std::string& scannedAs = "VST2");

// The DLLs the file at path needs that are not found in search, each with
// the chain of DLLs through which it is needed; and, when functions is true,
// the functions it and the DLLs found import that those DLLs do not export.
struct MissingDependency {
    std::string dll;                  // as the importing file names it
    std::vector<std::string> through; // the DLLs between the plug-in and it, nearest the plug-in first
    std::string function;             // for a missing function: its name, or "#ordinal"
};
std::vector<MissingDependency> FindMissing(const std::wstring& path, const SearchFolders& search,
                                           bool functions);

// A well-known redistributable a DLL name belongs to ("the Microsoft Visual
// C++ 2015-2022 runtime"), or empty.
std::string RedistributableOf(const std::string& dll);

// Gives a failed record its reason, missing DLLs, format and words, keeping
// the server's text in them; sets the reason of any failure to at least
// "scan failed". path is the file the server loads, as it was sent it (a
// VST3 bundle's binary); the record's format is the one it was scanned as.
void ExplainFailure(const std::wstring& path, ScanResult* result);

}  // namespace host
