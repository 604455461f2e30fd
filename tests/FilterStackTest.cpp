// A thread that uses up its stack still reaches the process's filter, with
// the reserved stack to run it on.
#include "server/FilterStack.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

struct Overflow {
    DWORD code = 0;
    size_t stackLeft = 0;  // between the filter's frame and the stack's end
};
Overflow seen;

__attribute__((noinline)) int Recurse(volatile char* previous) {
    volatile char frame[256];
    frame[0] = static_cast<char>(previous[0] + 1);
    if (previous == frame)
        return 0;
    return Recurse(frame) + frame[0];
}

LONG WINAPI RecordAndEndThread(EXCEPTION_POINTERS* exception) {
    char here = 0;
    MEMORY_BASIC_INFORMATION stack;
    VirtualQuery(&here, &stack, sizeof stack);
    seen.code = exception->ExceptionRecord->ExceptionCode;
    seen.stackLeft = static_cast<size_t>(&here - static_cast<char*>(stack.AllocationBase));
    ExitThread(0);
}

DWORD WINAPI OverflowWithReserve(void*) {
    ReserveFilterStack(kFilterStackBytes);
    volatile char first[1] = {0};
    Recurse(first);
    return 0;
}

TEST(ReserveFilterStack, AStackOverflowReachesTheFilterWithTheReserveToRunOn) {
    LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(RecordAndEndThread);
    HANDLE thread = CreateThread(nullptr, 0, OverflowWithReserve, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    SetUnhandledExceptionFilter(previous);
    EXPECT_EQ(seen.code, static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW));
    // The system's dispatch of the exception takes a few KiB of the reserve
    // before the filter runs; most of it must be left.
    EXPECT_GT(seen.stackLeft, kFilterStackBytes / 2);
}

}  // namespace
