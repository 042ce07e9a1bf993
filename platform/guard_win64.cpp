// The fault guard of the win64 build. 64-bit Windows keeps no chain of
// exception frames: when a fault is raised, the system walks the stack with
// each function's unwind information and calls the handlers that information
// names. So the guard is a small function, GuardedCall, whose unwind
// information names GuardHandler, written in assembly to fix its frame. When
// a fault raised anywhere below it reaches GuardHandler, the handler unwinds
// every frame above GuardedCall's (their handlers see the unwind, as with
// __except) and resumes at GuardedCallFaulted, in GuardedCall's own frame,
// which returns 0 to RunGuarded.
#include "platform/platform.h"

extern "C" {

// body(context), returning 1; 0 after a fault inside it.
int GuardedCall(GuardedBody body, void *context);
void GuardedCallFaulted();

EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD *record, void *establisherFrame, CONTEXT *context,
                                   DISPATCHER_CONTEXT *dispatch);

} // extern "C"

// rcx: body, rdx: context. GuardedCall keeps every register the calling
// convention has a callee preserve (rbx, rbp, rsi, rdi, r12-r15, xmm6-xmm15)
// in its own frame, and both ways out restore them from there. After a fault
// the system's unwind restores the registers of each frame between the fault
// and GuardedCall only as far as those frames' unwind information says, and
// code without any (ISA-L's assembly, whose functions save registers with
// plain moves) leaves its own values in them: the caller must not see those.
// The frame: 8 pushes (64 bytes) above the 200 allocated, which hold the
// 32-byte home area a call needs, ten 16-byte xmm slots at 32 and 8 bytes
// that keep rsp 16-byte aligned. GuardedCallFaulted is entered with rsp where
// the prologue left it, so both ends share the epilogue.
__asm__(".text\n"
        ".p2align 4\n"
        ".globl GuardedCall\n"
        ".def GuardedCall; .scl 2; .type 32; .endef\n"
        ".seh_proc GuardedCall\n"
        "GuardedCall:\n"
        "    pushq %rbx\n"
        "    .seh_pushreg %rbx\n"
        "    pushq %rbp\n"
        "    .seh_pushreg %rbp\n"
        "    pushq %rsi\n"
        "    .seh_pushreg %rsi\n"
        "    pushq %rdi\n"
        "    .seh_pushreg %rdi\n"
        "    pushq %r12\n"
        "    .seh_pushreg %r12\n"
        "    pushq %r13\n"
        "    .seh_pushreg %r13\n"
        "    pushq %r14\n"
        "    .seh_pushreg %r14\n"
        "    pushq %r15\n"
        "    .seh_pushreg %r15\n"
        "    subq $200, %rsp\n"
        "    .seh_stackalloc 200\n"
        "    movaps %xmm6, 32(%rsp)\n"
        "    .seh_savexmm %xmm6, 32\n"
        "    movaps %xmm7, 48(%rsp)\n"
        "    .seh_savexmm %xmm7, 48\n"
        "    movaps %xmm8, 64(%rsp)\n"
        "    .seh_savexmm %xmm8, 64\n"
        "    movaps %xmm9, 80(%rsp)\n"
        "    .seh_savexmm %xmm9, 80\n"
        "    movaps %xmm10, 96(%rsp)\n"
        "    .seh_savexmm %xmm10, 96\n"
        "    movaps %xmm11, 112(%rsp)\n"
        "    .seh_savexmm %xmm11, 112\n"
        "    movaps %xmm12, 128(%rsp)\n"
        "    .seh_savexmm %xmm12, 128\n"
        "    movaps %xmm13, 144(%rsp)\n"
        "    .seh_savexmm %xmm13, 144\n"
        "    movaps %xmm14, 160(%rsp)\n"
        "    .seh_savexmm %xmm14, 160\n"
        "    movaps %xmm15, 176(%rsp)\n"
        "    .seh_savexmm %xmm15, 176\n"
        "    .seh_handler GuardHandler, @except\n"
        "    .seh_endprologue\n"
        "    movq %rcx, %rax\n"
        "    movq %rdx, %rcx\n"
        "    callq *%rax\n"
        "    movl $1, %eax\n"
        ".LGuardedCallLeave:\n"
        "    movaps 32(%rsp), %xmm6\n"
        "    movaps 48(%rsp), %xmm7\n"
        "    movaps 64(%rsp), %xmm8\n"
        "    movaps 80(%rsp), %xmm9\n"
        "    movaps 96(%rsp), %xmm10\n"
        "    movaps 112(%rsp), %xmm11\n"
        "    movaps 128(%rsp), %xmm12\n"
        "    movaps 144(%rsp), %xmm13\n"
        "    movaps 160(%rsp), %xmm14\n"
        "    movaps 176(%rsp), %xmm15\n"
        "    addq $200, %rsp\n"
        "    popq %r15\n"
        "    popq %r14\n"
        "    popq %r13\n"
        "    popq %r12\n"
        "    popq %rdi\n"
        "    popq %rsi\n"
        "    popq %rbp\n"
        "    popq %rbx\n"
        "    ret\n"
        ".globl GuardedCallFaulted\n"
        "GuardedCallFaulted:\n"
        "    xorl %eax, %eax\n"
        "    jmp .LGuardedCallLeave\n"
        ".seh_endproc\n");

namespace {

bool IsDebuggerEvent(DWORD code) { return code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP; }

} // namespace

extern "C" EXCEPTION_DISPOSITION GuardHandler(EXCEPTION_RECORD *record, void *establisherFrame, CONTEXT *,
                                              DISPATCHER_CONTEXT *dispatch)
{
    constexpr DWORD unwinding = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
    if ((record->ExceptionFlags & unwinding) || IsDebuggerEvent(record->ExceptionCode))
        return ExceptionContinueSearch;
    // Restores GuardedCall's frame (rsp at establisherFrame, the caller's
    // registers as GuardedCall found them) and goes on at GuardedCallFaulted.
    RtlUnwindEx(establisherFrame, reinterpret_cast<void *>(&GuardedCallFaulted), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch; // not reached: RtlUnwindEx does not return
}

bool RunGuarded(GuardedBody body, void *context) { return GuardedCall(body, context) != 0; }
