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

// rcx: body, rdx: context. The frame is 40 bytes: the 32-byte home area a
// call needs and 8 bytes to keep rsp 16-byte aligned. GuardedCallFaulted is
// entered with rsp where the prologue left it, so both ends share the
// epilogue's shape.
__asm__(".text\n"
        ".p2align 4\n"
        ".globl GuardedCall\n"
        ".def GuardedCall; .scl 2; .type 32; .endef\n"
        ".seh_proc GuardedCall\n"
        "GuardedCall:\n"
        "    subq $40, %rsp\n"
        "    .seh_stackalloc 40\n"
        "    .seh_handler GuardHandler, @except\n"
        "    .seh_endprologue\n"
        "    movq %rcx, %rax\n"
        "    movq %rdx, %rcx\n"
        "    callq *%rax\n"
        "    movl $1, %eax\n"
        "    addq $40, %rsp\n"
        "    ret\n"
        ".globl GuardedCallFaulted\n"
        "GuardedCallFaulted:\n"
        "    xorl %eax, %eax\n"
        "    addq $40, %rsp\n"
        "    ret\n"
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
