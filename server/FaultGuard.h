#pragma once

// Calls function(context) inside a structured-exception guard that takes
// every exception raised during the call (access violations, illegal
// instructions, exceptions of other compilers' runtimes). Returns true when
// the call returned, false when a fault ended it; nothing escapes.
//
// GCC has no __try/__except; the guard is a small assembly function whose
// unwind data names __C_specific_handler with one scope record.
extern "C" bool CallWithFaultGuard(void (*function)(void* context), void* context);
