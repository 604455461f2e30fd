#pragma once

#include <windows.h>

#include <cstdint>

#include "server/ServerState.h"

// The system DLLs a request brings into the process stay loaded after it:
// the server takes one reference of its own on each, so that the next
// plug-in that imports them finds them loaded, as it would in a host, and
// does not pay for loading and unloading them again. Only files in the
// Windows folders are kept; a plug-in's own DLL, and any DLL from its folder
// or elsewhere, goes with the plug-in.

// True when the file lies anywhere under the system folder, the 32-bit
// system folder or the side-by-side store, or directly in the Windows
// folder. Letter case, a "\\?\" prefix and "/" for "\" do not matter; a
// path with a "." or ".." part never counts.
bool IsInWindowsFolders(const wchar_t* path);

// Notes the modules loaded now in serverState.modulesBeforeRequest. When
// memory runs short the note falls short, and modules missing from it
// count as new later: at worst system DLLs loaded earlier are kept too.
void NoteLoadedModules();

// Takes one reference on each module loaded since NoteLoadedModules whose
// file lies in the Windows folders, except `plugin`, and adds it to
// serverState.keptModules; one kept already is not referenced again. Kept
// modules stay loaded until the process ends. Returns how many it added.
int32_t KeepNewSystemModules(HMODULE plugin);
