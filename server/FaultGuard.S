// CallWithFaultGuard(function, context): calls function(context) and
// returns true, or returns false when a structured exception of any kind
// ends the call. GCC has no __try/__except, so the guard is written the way
// a Windows x64 compiler lays one out: unwind data that names the
// system's __C_specific_handler, with a scope table whose one record covers
// the call and says EXCEPTION_EXECUTE_HANDLER outright. When an exception
// passes through this frame the handler unwinds the stack (restoring every
// callee-saved register from the unwind data of the frames in between) and
// resumes at the jump target below with rsp as it was after the prologue.

    .text
    .p2align 4
    .globl CallWithFaultGuard
    .def CallWithFaultGuard
    .scl 2
    .type 32
    .endef
    .seh_proc CallWithFaultGuard
CallWithFaultGuard:
    // The return address left rsp 8 bytes off a 16-byte boundary; one push
    // plus the 32-byte shadow space brings it back to one at the call.
    pushq %rbp
    .seh_pushreg %rbp
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    movq %rcx, %rax            // function
    movq %rdx, %rcx            // its one argument: context
.Lguarded_begin:
    call *%rax
    // The handler tests the return address against the scope, so it must lie
    // inside: without this nop a call that ends the scope would fall out.
    nop
.Lguarded_end:
    movl $1, %eax
    addq $32, %rsp
    popq %rbp
    ret
.Lfault:
    xorl %eax, %eax
    addq $32, %rsp
    popq %rbp
    ret

    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    // SCOPE_TABLE: a count, then BeginAddress, EndAddress, HandlerAddress
    // and JumpTarget. A HandlerAddress of 1 (EXCEPTION_EXECUTE_HANDLER) is
    // taken as the filter's answer itself, so no filter function runs.
    .long 1
    .rva .Lguarded_begin
    .rva .Lguarded_end
    .long 1
    .rva .Lfault
    .text
    .seh_endproc
