// Linux stand-in for the Win32 calls in platform/platform.h. Glue only: it
// follows the Win32 behaviour the plug-in relies on and adds counters and
// failure injection for local memory, so tests can prove that every block is
// freed and that every out-of-memory path returns its code.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

// Stands in for the loader: attach before main, detach after it.
struct NativeLoader {
    NativeLoader() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
    ~NativeLoader() { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); }
} loader;

int DescriptorOf(HANDLE file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)); }

// --- local memory ---------------------------------------------------------

// A handle points at this header; the bytes follow it.
struct LocalBlock {
    size_t size;
    unsigned lockCount;
    UINT flags;
};

std::atomic<long> liveBlocks{0};
std::atomic<long> allocationCalls{0};
std::atomic<long> lockCalls{0};
std::atomic<long> growths{0};
std::atomic<size_t> largestRequest{0};
std::atomic<size_t> blockSizeLimit{0};
std::atomic<long> refusedAllocations{0};

bool Refused(size_t bytes)
{
    size_t limit = blockSizeLimit.load();
    return bytes > SIZE_MAX - sizeof(LocalBlock) || (limit != 0 && bytes > limit);
}

HLOCAL Refusal()
{
    refusedAllocations++;
    return nullptr;
}

void NoteRequest(size_t bytes)
{
    size_t largest = largestRequest.load();
    while (bytes > largest && !largestRequest.compare_exchange_weak(largest, bytes)) {
    }
}

// An armed failure: let `skip` calls succeed, then fail the next `fail` ones.
struct Injection {
    std::mutex guard;
    long skip = 0;
    long fail = 0;

    void Arm(long nth, long count)
    {
        std::lock_guard<std::mutex> hold(guard);
        skip = nth > 0 ? nth - 1 : 0;
        fail = nth > 0 ? count : 0;
    }
    bool FailsNow()
    {
        std::lock_guard<std::mutex> hold(guard);
        if (fail == 0)
            return false;
        if (skip > 0) {
            skip--;
            return false;
        }
        fail--;
        return true;
    }
};
Injection allocationFailure;
Injection lockFailure;

unsigned char *BytesOf(LocalBlock *block) { return reinterpret_cast<unsigned char *>(block + 1); }

} // namespace

HANDLE CreateFileA(const char *name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE)
{
    if (name == nullptr)
        return INVALID_HANDLE_VALUE;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    struct stat status {};
    // Windows refuses to open a directory as a file.
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD count, DWORD *countRead, void *)
{
    if (countRead)
        *countRead = 0;
    DWORD total = 0;
    while (total < count) {
        ssize_t got = read(DescriptorOf(file), static_cast<char *>(buffer) + total, count - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FALSE;
        if (got == 0)
            break;
        total += static_cast<DWORD>(got);
    }
    if (countRead)
        *countRead = total;
    return TRUE;
}

namespace {
int64_t FileSizeOf(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
}
} // namespace

namespace {
thread_local DWORD lastError = NO_ERROR;

DWORD FailedMove(DWORD error)
{
    lastError = error;
    return INVALID_SET_FILE_POINTER;
}
} // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distanceHigh, DWORD method)
{
    int fd = DescriptorOf(file);
    int64_t base = 0;
    if (method == FILE_CURRENT)
        base = lseek(fd, 0, SEEK_CUR);
    else if (method == FILE_END)
        // Found without moving: a refused move leaves the position alone.
        base = FileSizeOf(fd);
    else if (method != FILE_BEGIN)
        return FailedMove(ERROR_INVALID_HANDLE);
    if (base < 0)
        return FailedMove(ERROR_INVALID_HANDLE);
    int64_t high = distanceHigh ? *distanceHigh : (distance < 0 ? -1 : 0);
    int64_t target = base + static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | static_cast<uint32_t>(distance));
    if (target < 0 || (distanceHigh == nullptr && target >= (int64_t(1) << 32)))
        return FailedMove(ERROR_NEGATIVE_SEEK);
    if (lseek(fd, target, SEEK_SET) < 0)
        return FailedMove(ERROR_NEGATIVE_SEEK);
    if (distanceHigh)
        *distanceHigh = static_cast<LONG>(target >> 32);
    return static_cast<DWORD>(target);
}

BOOL CloseHandle(HANDLE object) { return close(DescriptorOf(object)) == 0; }

HLOCAL LocalAlloc(UINT flags, size_t bytes)
{
    allocationCalls++;
    NoteRequest(bytes);
    if (allocationFailure.FailsNow() || Refused(bytes))
        return Refusal();
    // calloc leaves a large block's fresh pages untouched, as the system does.
    size_t total = sizeof(LocalBlock) + bytes;
    auto *block = static_cast<LocalBlock *>((flags & LMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total));
    if (block == nullptr)
        return Refusal();
    block->size = bytes;
    block->lockCount = 0;
    block->flags = flags;
    liveBlocks++;
    return block;
}

HLOCAL LocalReAlloc(HLOCAL handle, size_t bytes, UINT flags)
{
    allocationCalls++;
    NoteRequest(bytes);
    auto *block = static_cast<LocalBlock *>(handle);
    if (block == nullptr || allocationFailure.FailsNow() || Refused(bytes))
        return Refusal();
    size_t oldSize = block->size;
    auto *moved = static_cast<LocalBlock *>(std::realloc(block, sizeof(LocalBlock) + bytes));
    if (moved == nullptr)
        return Refusal();
    moved->size = bytes;
    growths += bytes > oldSize;
    if ((flags & LMEM_ZEROINIT) && bytes > oldSize)
        std::memset(BytesOf(moved) + oldSize, 0, bytes - oldSize);
    return moved;
}

void *LocalLock(HLOCAL handle)
{
    lockCalls++;
    auto *block = static_cast<LocalBlock *>(handle);
    if (block == nullptr || block->size == 0 || lockFailure.FailsNow())
        return nullptr;
    block->lockCount++;
    return BytesOf(block);
}

BOOL LocalUnlock(HLOCAL handle)
{
    auto *block = static_cast<LocalBlock *>(handle);
    if (block == nullptr || block->lockCount == 0)
        return FALSE;
    block->lockCount--;
    return block->lockCount > 0;
}

HLOCAL LocalFree(HLOCAL handle)
{
    if (handle == nullptr)
        return nullptr;
    liveBlocks--;
    std::free(handle);
    return nullptr;
}

size_t LocalSize(HLOCAL handle) { return handle ? static_cast<LocalBlock *>(handle)->size : 0; }

void InitializeCriticalSection(CRITICAL_SECTION *section)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void DeleteCriticalSection(CRITICAL_SECTION *section) { pthread_mutex_destroy(&section->mutex); }
void EnterCriticalSection(CRITICAL_SECTION *section) { pthread_mutex_lock(&section->mutex); }
void LeaveCriticalSection(CRITICAL_SECTION *section) { pthread_mutex_unlock(&section->mutex); }

// Linux offers no way to resume a thread after a fault that is safe to use
// around arbitrary code, so natively the guard only runs the body.
bool RunGuarded(GuardedBody body, void *context)
{
    body(context);
    return true;
}

long LocalMemoryLiveBlocks() { return liveBlocks.load(); }
void LocalMemoryFailAllocation(long nth, long count) { allocationFailure.Arm(nth, count); }
void LocalMemoryFailLock(long nth, long count) { lockFailure.Arm(nth, count); }
long LocalMemoryAllocationCalls() { return allocationCalls.load(); }
void LocalMemoryLimitBlockSize(size_t bytes) { blockSizeLimit = bytes; }
long LocalMemoryRefusedAllocations() { return refusedAllocations.load(); }
long LocalMemoryGrowths() { return growths.load(); }
long LocalMemoryLockCalls() { return lockCalls.load(); }
size_t LocalMemoryTakeLargestRequest() { return largestRequest.exchange(0); }
