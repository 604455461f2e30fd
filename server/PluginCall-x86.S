// CallPluginCode(function, context), for 32-bit Windows: calls
// function(context) with an exception registration record of its own at the
// head of the thread's handler chain (fs:[0]; see FaultGuard-x86.S), whose
// handler hands the exception to PluginCodeFilter as the outermost frame's
// filter would get it, before any frame further out sees it.

    .text
    .p2align 4
    .globl _CallPluginCode
    .def _CallPluginCode
    .scl 2
    .type 32
    .endef
_CallPluginCode:
    pushl %ebp
    movl %esp, %ebp
    pushl $_PluginCodeHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)             // context
    call *8(%ebp)              // function
    leal -8(%ebp), %esp
    popl %fs:0
    addl $4, %esp
    popl %ebp
    ret

// handler(record, frame, context, dispatcher), cdecl.
    .p2align 4
    .def _PluginCodeHandler
    .scl 3
    .type 32
    .endef
_PluginCodeHandler:
    movl 4(%esp), %eax         // EXCEPTION_RECORD
    testl $6, 4(%eax)          // unwinding: nothing to judge
    jnz .Lsearch
    // EXCEPTION_POINTERS { record, context } on the stack.
    pushl 12(%esp)             // ContextRecord
    pushl %eax                 // ExceptionRecord
    movl %esp, %ecx
    pushl 16(%esp)             // establisher frame (8(%esp) before the pushes)
    pushl %ecx
    call _PluginCodeFilter
    addl $16, %esp
    // The filter's answer as a handler's: "continue execution" (-1) is
    // ExceptionContinueExecution (0); anything else, "continue search" (1).
    // "Execute handler" never comes back: the filter ends the process.
    cmpl $-1, %eax
    jne .Lsearch
    xorl %eax, %eax
    ret
.Lsearch:
    movl $1, %eax
    ret

