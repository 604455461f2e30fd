// CallWithFaultGuard(function, context), for 32-bit Windows: calls
// function(context) and returns true, or returns false when a structured
// exception of any kind ends the call. x86 has no unwind tables; a guarded
// frame puts an exception registration record (the next record, then the
// handler) on its own stack and links it at the head of the thread's
// handler chain, fs:[0]. The system walks that chain on every exception,
// and refuses a record that does not lie within the thread's stack or is
// not 4-byte aligned (Wine checks both), or whose handler is not in its
// image's table of safe handlers (SafeSEH; Windows checks it, Wine does
// not). GNU as cannot list a handler in that table (it has no .safeseh), so
// the images are linked with no table at all, which Windows takes as every
// handler in them allowed; FaultGuardTest checks the image for it.
//
// On a fault the handler first has RtlUnwind call every handler registered
// after ours with the unwinding flag (their frames end), then takes the
// stack back to our record, and leaves as the normal return does, with
// false. The callee-saved registers come back from our own frame.

    .text
    .p2align 4
    .globl _CallWithFaultGuard
    .def _CallWithFaultGuard
    .scl 2
    .type 32
    .endef
_CallWithFaultGuard:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    // The registration record, at ebp - 20.
    pushl $_FaultGuardHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)             // context
    call *8(%ebp)              // function
    movl $1, %eax
.Lleave:
    leal -20(%ebp), %esp
    popl %fs:0                 // the record registered before ours
    addl $4, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

// The handler, called as cdecl handler(record, frame, context, dispatcher).
    .p2align 4
    .def _FaultGuardHandler
    .scl 3
    .type 32
    .endef
_FaultGuardHandler:
    movl 4(%esp), %eax         // EXCEPTION_RECORD
    // ExceptionFlags: EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND. An
    // unwind passing through (a guard further out taking a fault) ends this
    // frame: nothing to undo but the record, which goes with the unwind.
    testl $6, 4(%eax)
    jnz .Lpass
    pushl $0                   // ReturnValue
    pushl %eax                 // ExceptionRecord
    pushl $.Lunwound           // TargetIp
    pushl 20(%esp)             // TargetFrame: our record (8(%esp) before the pushes)
    call _RtlUnwind@16
.Lunwound:
    // RtlUnwind keeps no promise about ebx, esi and edi: the record's
    // address is read again from the handler's arguments.
    movl 8(%esp), %ecx
    leal 20(%ecx), %ebp
    xorl %eax, %eax
    jmp .Lleave
.Lpass:
    movl $1, %eax              // ExceptionContinueSearch
    ret

