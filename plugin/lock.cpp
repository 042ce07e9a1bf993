#include "plugin/lock.h"

#include "platform/platform.h"

namespace {
CRITICAL_SECTION DecodeLock;
}

void CreateDecodeLock() { InitializeCriticalSection(&DecodeLock); }
void DestroyDecodeLock() { DeleteCriticalSection(&DecodeLock); }
void AcquireDecodeLock() { EnterCriticalSection(&DecodeLock); }
void ReleaseDecodeLock() { LeaveCriticalSection(&DecodeLock); }
