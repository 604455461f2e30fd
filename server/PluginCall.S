// CallPluginCode(function, context): calls function(context) in a frame whose
// unwind data names __C_specific_handler with one scope record around the
// call, like a compiler's __try/__except(PluginCodeFilter(...)). The filter
// never answers EXCEPTION_EXECUTE_HANDLER, so the jump target is never used.

    .text
    .p2align 4
    .globl CallPluginCode
    .def CallPluginCode
    .scl 2
    .type 32
    .endef
    .seh_proc CallPluginCode
CallPluginCode:
    // One push and the 32-byte shadow space keep rsp 16-byte aligned at the
    // call, as in FaultGuard.S.
    pushq %rbp
    .seh_pushreg %rbp
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    movq %rcx, %rax            // function
    movq %rdx, %rcx            // its one argument: context
.Lplugin_begin:
    call *%rax
    // Keeps the return address inside the scope (see FaultGuard.S).
    nop
.Lplugin_end:
    addq $32, %rsp
    popq %rbp
    ret

    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    // SCOPE_TABLE: a count, then BeginAddress, EndAddress, the filter and
    // JumpTarget.
    .long 1
    .rva .Lplugin_begin
    .rva .Lplugin_end
    .rva PluginCodeFilter
    .rva .Lplugin_end
    .text
    .seh_endproc
