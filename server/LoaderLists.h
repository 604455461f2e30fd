#pragma once

// The loader keeps three lists of the process's modules, whose heads lie in
// its data block of the process environment block. A plug-in that writes
// past a heap block may break their links; the dispatcher (x64), DbgHelp
// and module enumeration then fault on every walk, and no dump could be
// written. The dump writer mends them before it writes.

// Notes where each list's head is and its first module, which stays first
// for the life of the process (modules join at the tail). Call at start-up,
// while the lists are sound.
void NoteLoaderLists();

// Makes each list walkable again: a head that no longer points at its first
// module is pointed back at it, and a list is ended at the last entry whose
// forward link leads to an entry that links back to it. Modules past a break
// are left out. Reads no memory it has not checked and allocates nothing;
// call holding the loader's lock, once the process belongs to a crash.
void MendLoaderLists();
