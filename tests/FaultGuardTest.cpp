#include "server/FaultGuard.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>

// These tests raise real faults. Without a working guard the first of them
// is not caught by anything and the test program dies (no dump filter is
// installed here), so a run that reaches its summary is itself the proof
// that each fault was taken.

namespace {

// What a guarded function saw: set before it faults, and after the point
// where it faults (never reached when the fault is taken).
// Volatile, so that the compiler keeps each store where it is written: the
// 32-bit build moved "started" past the division that faults.
struct Progress {
    volatile bool started = false;
    volatile bool finished = false;
};

void ReturnNormally(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    progress->finished = true;
}

// A null the optimiser cannot see through: a store to a null it knows of is
// dropped as undefined behaviour (GCC 12 does, even through a volatile
// local holding the pointer).
template <typename T>
T* HiddenNull() {
    T* pointer = nullptr;
    __asm__ volatile("" : "+r"(pointer));
    return pointer;
}

void WriteToAddressZero(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    *HiddenNull<volatile int>() = 1;
    progress->finished = true;
}

void ExecuteIllegalInstruction(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    __asm__ volatile("ud2");
    progress->finished = true;
}

void DivideByZero(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    volatile int divisor = 0;
    volatile int quotient = 100 / divisor;
    (void)quotient;
    progress->finished = true;
}

// 0xE06D7363 is the code another compiler's C++ runtime raises for throw.
void RaiseForeignCxxException(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    progress->finished = true;
}

// This compiler's own throw travels as a structured exception too; a
// plug-in built with it may let one out.
[[maybe_unused]] void ThrowGccCxxException(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    throw 42;
}

void CallThroughNullPointer(void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->started = true;
    void (*function)() = nullptr;
    __asm__ volatile("" : "+r"(function));
    function();
    progress->finished = true;
}

struct FaultCase {
    const char* name;
    void (*function)(void*);
};

const FaultCase kFaults[] = {
    {"access violation", WriteToAddressZero},
    {"illegal instruction", ExecuteIllegalInstruction},
    {"integer divide by zero", DivideByZero},
    {"foreign C++ exception", RaiseForeignCxxException},
#if defined(__x86_64__)
    // GCC's 32-bit runtime unwinds by DWARF tables: its throw is no
    // structured exception, and one that nothing catches aborts.
    {"GCC C++ exception", ThrowGccCxxException},
#endif
    {"call through a null pointer", CallThroughNullPointer},  // faults with rip 0, no unwind data
};

TEST(CallWithFaultGuard, ANormalReturnGivesTrueAndTheCallHappened) {
    Progress progress;
    EXPECT_TRUE(CallWithFaultGuard(ReturnNormally, &progress));
    EXPECT_TRUE(progress.started);
    EXPECT_TRUE(progress.finished);
}

TEST(CallWithFaultGuard, EachKindOfFaultGivesFalseAndEndsTheCallThere) {
    for (const FaultCase& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        Progress progress;
        EXPECT_FALSE(CallWithFaultGuard(fault.function, &progress));
        EXPECT_TRUE(progress.started);
        EXPECT_FALSE(progress.finished);
    }
}

struct NestedRun {
    bool innerResult = true;
    bool afterInner = false;
    bool faultAfterInner = false;
};

// Runs an inner guard around a fault, then goes on; optionally faults itself
// afterwards, which only the outer guard can take.
void GuardAFaultInside(void* context) {
    auto* run = static_cast<NestedRun*>(context);
    Progress progress;
    run->innerResult = CallWithFaultGuard(WriteToAddressZero, &progress);
    run->afterInner = true;
    if (run->faultAfterInner)
        __asm__ volatile("ud2");
}

TEST(CallWithFaultGuard, TheInnermostGuardTakesAFaultAndTheOuterCallGoesOn) {
    NestedRun run;
    EXPECT_TRUE(CallWithFaultGuard(GuardAFaultInside, &run));
    EXPECT_FALSE(run.innerResult);
    EXPECT_TRUE(run.afterInner);
}

TEST(CallWithFaultGuard, AFaultAfterAnInnerGuardReturnedGoesToTheOuterGuard) {
    NestedRun run;
    run.faultAfterInner = true;
    EXPECT_FALSE(CallWithFaultGuard(GuardAFaultInside, &run));
    EXPECT_FALSE(run.innerResult);
    EXPECT_TRUE(run.afterInner);
}

}  // namespace

#if defined(__x86_64__)

// The registers a Windows x64 function must preserve, filled with known
// patterns around one guarded call, then read back into after[]: rbx, rbp,
// rsi, rdi, r12 to r15, and the low half of xmm6. Written in assembly because
// a compiler gives no way to pin values in chosen registers across a call.
extern "C" bool CallGuardWithMarkedRegisters(void (*function)(void*), void* context,
                                             uintptr_t after[9]);
__asm__(
    ".text\n"
    ".globl CallGuardWithMarkedRegisters\n"
    ".def CallGuardWithMarkedRegisters; .scl 2; .type 32; .endef\n"
    ".seh_proc CallGuardWithMarkedRegisters\n"
    "CallGuardWithMarkedRegisters:\n"
    "    pushq %rbx\n .seh_pushreg %rbx\n"
    "    pushq %rbp\n .seh_pushreg %rbp\n"
    "    pushq %rsi\n .seh_pushreg %rsi\n"
    "    pushq %rdi\n .seh_pushreg %rdi\n"
    "    pushq %r12\n .seh_pushreg %r12\n"
    "    pushq %r13\n .seh_pushreg %r13\n"
    "    pushq %r14\n .seh_pushreg %r14\n"
    "    pushq %r15\n .seh_pushreg %r15\n"
    // 8 + 8 * 8 + 72 is a multiple of 16: rsp is aligned at the call.
    // 0..31 shadow space, 32..47 saved xmm6, 48 the after[] pointer.
    "    subq $72, %rsp\n .seh_stackalloc 72\n"
    "    movaps %xmm6, 32(%rsp)\n .seh_savexmm %xmm6, 32\n"
    "    .seh_endprologue\n"
    "    movq %r8, 48(%rsp)\n"
    "    movabsq $0x1111111111111111, %rbx\n"
    "    movabsq $0x2222222222222222, %rbp\n"
    "    movabsq $0x3333333333333333, %rsi\n"
    "    movabsq $0x4444444444444444, %rdi\n"
    "    movabsq $0x5555555555555555, %r12\n"
    "    movabsq $0x6666666666666666, %r13\n"
    "    movabsq $0x7777777777777777, %r14\n"
    "    movabsq $0x0123456789ABCDEF, %r15\n"
    "    movabsq $0x0FEDCBA987654321, %rax\n"
    "    movq %rax, %xmm6\n"
    "    call CallWithFaultGuard\n"
    "    movq 48(%rsp), %r8\n"
    "    movq %rbx, 0(%r8)\n"
    "    movq %rbp, 8(%r8)\n"
    "    movq %rsi, 16(%r8)\n"
    "    movq %rdi, 24(%r8)\n"
    "    movq %r12, 32(%r8)\n"
    "    movq %r13, 40(%r8)\n"
    "    movq %r14, 48(%r8)\n"
    "    movq %r15, 56(%r8)\n"
    "    movq %xmm6, 64(%r8)\n"
    "    movaps 32(%rsp), %xmm6\n"
    "    addq $72, %rsp\n"
    "    popq %r15\n"
    "    popq %r14\n"
    "    popq %r13\n"
    "    popq %r12\n"
    "    popq %rdi\n"
    "    popq %rsi\n"
    "    popq %rbp\n"
    "    popq %rbx\n"
    "    ret\n"
    ".seh_endproc\n");

namespace {

constexpr int kMarkedCount = 9;
const uintptr_t kMarkedRegisters[kMarkedCount] = {
    0x1111111111111111, 0x2222222222222222, 0x3333333333333333,
    0x4444444444444444, 0x5555555555555555, 0x6666666666666666,
    0x7777777777777777, 0x0123456789ABCDEF, 0x0FEDCBA987654321,
};
const char* const kMarkedRegisterNames[kMarkedCount] = {"rbx", "rbp", "rsi", "rdi", "r12",
                                             "r13", "r14", "r15", "xmm6"};

// Uses every callee-saved register, so the compiler saves them all in its
// prologue and describes that in its unwind data, then faults with them
// overwritten. Only unwinding through that data brings the caller's back.
void FaultWithRegistersOverwritten(void*) {
    __asm__ volatile(
        "movq $-1, %%rbx\n movq $-1, %%rsi\n movq $-1, %%rdi\n"
        "movq $-1, %%r12\n movq $-1, %%r13\n movq $-1, %%r14\n movq $-1, %%r15\n"
        "pcmpeqd %%xmm6, %%xmm6\n pcmpeqd %%xmm15, %%xmm15\n" ::
            : "rbx", "rsi", "rdi", "r12", "r13", "r14", "r15", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    *HiddenNull<volatile int>() = 1;
}

#elif defined(__i386__)

// The registers a 32-bit Windows function must preserve, ebx, ebp, esi and
// edi, filled with known patterns around one guarded call, then read back
// into after[].
extern "C" bool CallGuardWithMarkedRegisters(void (*function)(void*), void* context,
                                             uintptr_t after[4]);
__asm__(
    ".text\n"
    ".globl _CallGuardWithMarkedRegisters\n"
    "_CallGuardWithMarkedRegisters:\n"
    "    pushl %ebx\n"
    "    pushl %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    // The arguments are at 20, 24 and 28(%esp); each push moves them by 4.
    "    pushl 28(%esp)\n"  // after[], kept for after the call
    "    pushl 28(%esp)\n"  // context
    "    pushl 28(%esp)\n"  // function
    "    movl $0x11111111, %ebx\n"
    "    movl $0x22222222, %ebp\n"
    "    movl $0x33333333, %esi\n"
    "    movl $0x44444444, %edi\n"
    "    call _CallWithFaultGuard\n"
    "    addl $8, %esp\n"
    "    popl %ecx\n"
    "    movl %ebx, 0(%ecx)\n"
    "    movl %ebp, 4(%ecx)\n"
    "    movl %esi, 8(%ecx)\n"
    "    movl %edi, 12(%ecx)\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    popl %ebx\n"
    "    ret\n");

namespace {

constexpr int kMarkedCount = 4;
const uintptr_t kMarkedRegisters[kMarkedCount] = {0x11111111, 0x22222222, 0x33333333,
                                                  0x44444444};
const char* const kMarkedRegisterNames[kMarkedCount] = {"ebx", "ebp", "esi", "edi"};

// Overwrites the callee-saved registers, then faults: only a guard that
// brings back its own frame's saved registers returns the caller's.
void FaultWithRegistersOverwritten(void*) {
    __asm__ volatile("movl $-1, %%ebx\n movl $-1, %%esi\n movl $-1, %%edi\n" ::
                         : "ebx", "esi", "edi");
    *HiddenNull<volatile int>() = 1;
}

#endif

void ExpectRegistersKept(const uintptr_t after[kMarkedCount]) {
    for (int i = 0; i < kMarkedCount; i++)
        EXPECT_EQ(after[i], kMarkedRegisters[i]) << kMarkedRegisterNames[i];
}

TEST(CallWithFaultGuard, CalleeSavedRegistersSurviveAFault) {
    uintptr_t after[kMarkedCount] = {};
    EXPECT_FALSE(CallGuardWithMarkedRegisters(FaultWithRegistersOverwritten, nullptr, after));
    ExpectRegistersKept(after);
}

TEST(CallWithFaultGuard, CalleeSavedRegistersSurviveANormalReturn) {
    uintptr_t after[kMarkedCount] = {};
    Progress progress;
    EXPECT_TRUE(CallGuardWithMarkedRegisters(ReturnNormally, &progress, after));
    ExpectRegistersKept(after);
}

#if defined(__x86_64__)

// Leaf functions that look at the frame the guard built for them: the stack
// alignment at entry (a call leaves rsp 8 bytes past a 16-byte boundary),
// and the 32 bytes of shadow space above the return address, which a callee
// may use as it likes, here by filling them with 0xCC.
extern "C" void StoreEntryStackMisalignment(void* result);
extern "C" void ScribbleOverShadowSpace(void* unused);
__asm__(
    ".text\n"
    ".globl StoreEntryStackMisalignment\n"
    "StoreEntryStackMisalignment:\n"
    "    leaq 8(%rsp), %rax\n"
    "    andq $15, %rax\n"
    "    movq %rax, (%rcx)\n"
    "    ret\n"
    ".globl ScribbleOverShadowSpace\n"
    "ScribbleOverShadowSpace:\n"
    "    movabsq $0xCCCCCCCCCCCCCCCC, %rax\n"
    "    movq %rax, 8(%rsp)\n"
    "    movq %rax, 16(%rsp)\n"
    "    movq %rax, 24(%rsp)\n"
    "    movq %rax, 32(%rsp)\n"
    "    ret\n");

TEST(CallWithFaultGuard, CallsWithTheStackAlignedAndShadowSpaceToSpare) {
    uint64_t misalignment = 99;
    EXPECT_TRUE(CallWithFaultGuard(StoreEntryStackMisalignment, &misalignment));
    EXPECT_EQ(misalignment, 0u) << "rsp + 8 at entry, modulo 16";

    uintptr_t after[kMarkedCount] = {};
    EXPECT_TRUE(CallGuardWithMarkedRegisters(ScribbleOverShadowSpace, nullptr, after));
    ExpectRegistersKept(after);
}

#endif

// The address of a local in a fresh frame: it moves if a guard leaves the
// stack pointer anywhere but where the call found it.
__attribute__((noinline)) uintptr_t FrameDepth() {
    volatile char local = 0;
    return reinterpret_cast<uintptr_t>(&local);
}

TEST(CallWithFaultGuard, StaysUsableAfterManyFaultsWithTheStackIntact) {
    volatile uint64_t local = 0x5EEDF00D5EEDF00D;
    const uintptr_t depthBefore = FrameDepth();
    int taken = 0;
    int returned = 0;
    for (int round = 0; round < 2000; round++) {
        const FaultCase& fault = kFaults[round % (sizeof kFaults / sizeof kFaults[0])];
        Progress progress;
        if (!CallWithFaultGuard(fault.function, &progress))
            taken++;
        if (CallWithFaultGuard(ReturnNormally, &progress))
            returned++;
    }
    EXPECT_EQ(taken, 2000);
    EXPECT_EQ(returned, 2000);
    EXPECT_EQ(local, 0x5EEDF00D5EEDF00Du);
    EXPECT_EQ(FrameDepth(), depthBefore);

    uintptr_t after[kMarkedCount] = {};
    EXPECT_FALSE(CallGuardWithMarkedRegisters(FaultWithRegistersOverwritten, nullptr, after));
    ExpectRegistersKept(after);
}

}  // namespace

#if defined(__i386__)

namespace {

// Windows calls a frame's handler only if the handler's image allows it: not
// marked "no SEH", and either with no table of safe handlers (SafeSEH) at
// all or with the handler listed in it. GNU as cannot list one, so the
// image that holds the guard must have no table. Wine checks none of this;
// the test stands in for Windows.
TEST(CallWithFaultGuard, ItsImageLetsWindowsCallItsFrameHandlers) {
    HMODULE image = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<const wchar_t*>(&CallWithFaultGuard), &image));
    auto* base = reinterpret_cast<const BYTE*>(image);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH, 0);
    const IMAGE_DATA_DIRECTORY& loadConfig =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    if (loadConfig.VirtualAddress == 0)
        return;
    auto* config = reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY32*>(base + loadConfig.VirtualAddress);
    if (config->Size > offsetof(IMAGE_LOAD_CONFIG_DIRECTORY32, SEHandlerCount)) {
        EXPECT_EQ(config->SEHandlerTable, 0u) << "a SafeSEH table that cannot list the guard's handler";
    }
}

}  // namespace

#endif
