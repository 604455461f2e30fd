#include "server/PluginCall.h"

LONG PluginCodeFilter(EXCEPTION_POINTERS* exception, void*) {
    LONG answer = UnhandledExceptionFilter(exception);
    // Ended here, inside the filter, rather than by unwinding to a handler:
    // unwinding would run the plug-in's destructors, and after a stack
    // overflow walk every frame a second time.
    if (answer == EXCEPTION_EXECUTE_HANDLER)
        TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return answer;
}
