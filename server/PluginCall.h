#pragma once

#include <windows.h>

// Calls function(context), which runs plug-in code, so that an exception
// escaping it is judged by the process's unhandled-exception filter at once
// (UnhandledExceptionFilter, which calls whatever filter is installed: the
// server's crash filter, or one a plug-in installed since). The frames above
// never see it: among them is the C runtime's start-up frame, whose filter
// answers "continue execution" to GCC's C++ throw (the plug-in's runtime
// then calls std::terminate) and to faults its signal table, shared with
// every plug-in built on msvcrt, says to ignore (the fault runs again, for
// ever).
//
// The filter's answer is kept as the system keeps it for a thread's outermost
// frame: "execute handler" ends the process with the exception's code,
// "continue execution" resumes where the context now points, and "continue
// search" (a debugger is attached) lets the search go on.
extern "C" void CallPluginCode(void (*function)(void* context), void* context);

// The filter of CallPluginCode's frame, in the shape __C_specific_handler
// calls a scope's filter with.
extern "C" LONG PluginCodeFilter(EXCEPTION_POINTERS* exception, void* establisherFrame);
