#include "tests/plugins/kit/Faults.h"

#include <windows.h>

namespace kit {

void WriteToAddressZero() {
    // Hidden from the optimiser, which would otherwise drop a store to a
    // null it can see as undefined behaviour.
    volatile int* target = nullptr;
    __asm__ volatile("" : "+r"(target));
    *target = 1;
}

void ExecuteIllegalInstruction() {
    __asm__ volatile("ud2");
}

void RaiseForeignCxxException() {
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace kit
