// The fault guard of the win32 build: a structured-exception frame registered
// by hand. mingw-w64 for i686 has no __try/__except, so RunGuarded does what
// those keywords compile to. On 32-bit Windows the frames form a linked list
// whose head is at fs:[0]; the system walks it when a fault is raised and
// calls each frame's handler. Ours unwinds every frame above it (so their
// handlers see the unwind, as with __except), takes itself off the list and
// jumps back into RunGuarded, which reports the fault.
#include "platform/platform.h"

#include <intrin.h>

namespace {

// The first two fields are the layout the system expects of a frame.
struct GuardFrame {
    GuardFrame *previous;
    void *handler;
    void *resumePoint[5]; // __builtin_setjmp's buffer
};

bool IsDebuggerEvent(DWORD code) { return code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP; }

// Unwinds every frame above `frame`. RtlUnwind does not preserve ebx, esi
// and edi on every version of Windows, so they are kept across the call here
// rather than trusted to the compiler's calling convention.
__attribute__((noinline)) void UnwindTo(GuardFrame *frame, EXCEPTION_RECORD *record)
{
    __asm__ __volatile__("pushl %%ebx\n\t"
                         "pushl %%esi\n\t"
                         "pushl %%edi\n\t"
                         "pushl $0\n\t"  // return value
                         "pushl %1\n\t"  // exception record
                         "pushl $0\n\t"  // target address: return here
                         "pushl %0\n\t"  // target frame
                         "call _RtlUnwind@16\n\t"
                         "popl %%edi\n\t"
                         "popl %%esi\n\t"
                         "popl %%ebx"
                         :
                         : "r"(frame), "r"(record)
                         : "eax", "ecx", "edx", "memory", "cc");
}

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *record, void *establisherFrame,
                                                      CONTEXT *, void *)
{
    constexpr DWORD unwinding = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
    if ((record->ExceptionFlags & unwinding) || IsDebuggerEvent(record->ExceptionCode))
        return ExceptionContinueSearch;
    auto *frame = static_cast<GuardFrame *>(establisherFrame);
    // Let the frames between the fault and us clean up, and drop the
    // dispatcher's own frames; afterwards ours is the head of the list.
    UnwindTo(frame, record);
    __writefsdword(0, reinterpret_cast<DWORD>(frame->previous));
    __builtin_longjmp(frame->resumePoint, 1);
}

} // namespace

__attribute__((noinline)) bool RunGuarded(GuardedBody body, void *context)
{
    GuardFrame frame;
    frame.previous = reinterpret_cast<GuardFrame *>(__readfsdword(0));
    frame.handler = reinterpret_cast<void *>(&GuardHandler);
    if (__builtin_setjmp(frame.resumePoint))
        return false; // the handler has already taken the frame off the list
    __writefsdword(0, reinterpret_cast<DWORD>(&frame));
    // The system reads the frame through fs:[0]: make sure it is in memory.
    __asm__ __volatile__("" ::: "memory");
    body(context);
    __writefsdword(0, reinterpret_cast<DWORD>(frame.previous));
    return true;
}
