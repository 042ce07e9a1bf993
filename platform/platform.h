// platform/platform.h -- the few Win32 calls the plug-in makes.
//
// In the win32 build these are the system's own, from <windows.h>. In the
// native build platform/native.cpp stands in for them on Linux, so that the
// same plug-in, stream and codec sources run under sanitizers, valgrind and
// fuzzers. Only what the plug-in uses is declared here; the stand-in follows
// the Win32 contracts the plug-in relies on, nothing more.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cstddef>
#include <cstdint>
#include <pthread.h>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef void *HLOCAL;
typedef void *LPVOID;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define NO_ERROR 0u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NEGATIVE_SEEK 131u

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define OPEN_EXISTING 3u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

// Files: a handle is a POSIX file descriptor in disguise. Only reading is
// provided, as that is all the plug-in does.
HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void *buffer, DWORD count, DWORD *countRead, void *overlapped);
// Without a high part a move to a position below 0 or at 4 GiB or beyond
// fails with INVALID_SET_FILE_POINTER, as on Windows. With one, positions are
// 64 bits wide, and a failure also sets the last error (a position whose low
// part is 0xFFFFFFFF is no failure).
DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method);
// The calling thread's last error.
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE object);

// Local memory. Every handle, fixed or moveable, must be locked to reach its
// bytes; LocalLock of a zero-sized block fails, as for a moveable block on
// Windows.
HLOCAL LocalAlloc(UINT flags, size_t bytes);
HLOCAL LocalReAlloc(HLOCAL block, size_t bytes, UINT flags);
void *LocalLock(HLOCAL block);
BOOL LocalUnlock(HLOCAL block);
HLOCAL LocalFree(HLOCAL block);
size_t LocalSize(HLOCAL block);

// Critical sections: re-entrant for the owning thread.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION *section);
void DeleteCriticalSection(CRITICAL_SECTION *section);
void EnterCriticalSection(CRITICAL_SECTION *section);
void LeaveCriticalSection(CRITICAL_SECTION *section);
#endif

#include <cstdint>

// A value that is either a file handle or the address of a buffer: as wide
// as a pointer, 32 bits in the win32 build and 64 in the win64 one.
typedef uintptr_t HandleOrAddress;

// ---------------------------------------------------------------------------
// Fault guard.
//
// RunGuarded calls body(context) so that a hardware fault raised inside it
// (an access violation, say, in a host callback or on an unreadable buffer)
// abandons the body instead of ending the process. Returns true when the body
// ran to its end, false when a fault cut it short; either way the calling
// thread goes on in a sound state. Whatever the body had acquired must be
// released by the caller afterwards, so keep such state in the context.
//
// The win32 build registers a structured-exception frame for the call
// (platform/guard_win32.cpp); the win64 build calls the body through a
// function whose unwind information names a handler (guard_win64.cpp). The
// native build has no such mechanism and simply calls the body.
//
// In the win64 build the system finds that handler by unwinding the stack
// from the fault, frame by frame, with each function's unwind information.
// The host's progress callback, where a fault is likeliest, is called
// between inflate steps, never from inside the inflater, so no ISA-L frame
// is on the stack then and the unwind is the compiler's. ISA-L's assembly
// (the Huffman decoding loops and the Adler-32 sums) carries no unwind
// information: a fault inside it, which only a fault in ISA-L itself could
// raise, since it touches nothing but the decoder's own areas, is unwound
// through its frame as if it were a leaf function, taking a word of its
// frame for the return address. Under 64-bit wine 8 that has still reached
// the handler every time it was tried (the word is a return address into
// ISA-L's C code, which has unwind information, left by an earlier call),
// but the registers the assembly saved in its frame came back as it left
// them, not as its caller had them; so the guard keeps every register a
// callee must preserve in its own frame and restores them itself
// (tests/guard_test.cpp provokes such a fault). Should an unwind ever fail
// to reach the handler, the fault ends the process, as it would unguarded.
typedef void (*GuardedBody)(void *context);
bool RunGuarded(GuardedBody body, void *context);

// ---------------------------------------------------------------------------
// Native stand-in controls for tests. Not in the win32 build.
#ifndef _WIN32
// Number of local memory blocks allocated and not yet freed.
long LocalMemoryLiveBlocks();
// Make the Nth LocalAlloc or LocalReAlloc from now fail (1 = the next one),
// and the count - 1 calls after it; 0 turns failure off. The calls of both
// functions are counted together.
void LocalMemoryFailAllocation(long nth, long count = 1);
// The same for LocalLock.
void LocalMemoryFailLock(long nth, long count = 1);
// The largest block LocalAlloc and LocalReAlloc give from now on; a larger
// one is refused, as a 32-bit process's address space refuses it. 0, the
// default, sets no limit.
void LocalMemoryLimitBlockSize(size_t bytes);
// Number of LocalAlloc and LocalReAlloc calls refused so far, for whatever
// reason (failure injection, the limit, the C library).
long LocalMemoryRefusedAllocations();
// Number of LocalAlloc and LocalReAlloc calls so far, for sweeps.
long LocalMemoryAllocationCalls();
// Number of LocalReAlloc calls so far that made a block larger: each may
// move the block, copying all it holds.
long LocalMemoryGrowths();
// Number of LocalLock calls so far.
long LocalMemoryLockCalls();
// The largest size asked of LocalAlloc or LocalReAlloc since the last call.
size_t LocalMemoryTakeLargestRequest();
#endif
