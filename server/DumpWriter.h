#pragma once

#include <windows.h>

// The crash dump is written by a thread of the server's own, started at
// start-up, rather than on the faulting thread: that thread may have no
// stack left (a stack overflow), and a plug-in's thread has only what the
// plug-in gave it. The writer loads DbgHelp ahead, waits for a fault, writes
// the dump of the faulting thread and ends the process with kCrashExitCode,
// also when DbgHelp cannot be had: the host must still see a crash. DbgHelp
// allocates from a heap of the writer's own, not the process heap a plug-in
// may have broken or left locked.

// Starts the writer; call on the main thread once the dump path is prepared
// (PrepareCrashDumpPath). Should the main thread end (a plug-in may call
// ExitThread on it), the writer ends the process with that thread's exit
// code. It waits to load DbgHelp until
// LetDumpWriterPrepare is called or a fault comes. False when it cannot be
// started: faults then leave no dump.
bool StartDumpWriter();

// Lets the writer load DbgHelp now, on its own thread. Only the first call
// does anything.
void LetDumpWriterPrepare();

// Waits (a few seconds at most) until the writer has loaded DbgHelp, which
// it does on its own thread after LetDumpWriterPrepare. Call before the
// first plug-in code runs: loading a DLL takes the loader's lock and the
// process heap, and a plug-in that faults holding either, or breaks the
// heap, would leave the writer stuck in the load with no dump to show.
void WaitUntilDumpWriterPrepared();

// Hands the calling thread's fault to the writer and waits while it writes
// the dump and ends the process; writes the dump itself when the writer
// hands it back (the calling thread holds the loader's lock). Returns only
// when there is no writer, it has gone or taken too long, or the calling
// thread has written the dump; the caller then ends the process itself.
void HandFaultToDumpWriter(EXCEPTION_POINTERS* exception);

// True on the writer's own thread.
bool IsDumpWriterThread();

// Creates (replacing) the dump file at path, marked to be deleted when its
// last handle closes, which includes the end of the process: a dump cut
// short leaves nothing behind. INVALID_HANDLE_VALUE when it cannot be created.
HANDLE CreateDumpFile(const wchar_t* path);

// Takes the deletion mark off a dump file written whole. False when the
// system refused: the file then goes when it is closed.
bool KeepDumpFile(HANDLE file);
