// plugin/lock.h -- DecodeLock, the one lock of the plug-in.
//
// Every decompression in the process (setting up, running and ending a zlib
// stream) runs under this lock, so decodes never overlap and every allocation
// the decompressor makes happens while it is held. It is re-entrant for the
// thread that holds it: a progress callback that calls back into the plug-in
// on the same thread does not block itself. It exists from process attach to
// process detach (DllMain).
#pragma once

void CreateDecodeLock();
void DestroyDecodeLock();
void AcquireDecodeLock();
void ReleaseDecodeLock();
