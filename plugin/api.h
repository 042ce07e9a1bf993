// plugin/api.h -- the plug-in as its host sees it.
//
// A host's calls, in order (error handling left out):
//
//   char name[64];
//   GetPluginInfo(1, name, sizeof name);              // list: what it is
//   if (IsSupported(path, (HandleOrAddress)head)) {  // probe: the file's first 2,048 bytes
//       HLOCAL info, bits;
//       if (GetPicture(path, 0, 0, &info, &bits, nullptr, 0) == ResultOk) {  // decode
//           BITMAPINFO *header = (BITMAPINFO *)LocalLock(info);            // lock
//           void *pixels = LocalLock(bits);
//           /* ... draw ... */
//           LocalUnlock(bits); LocalUnlock(info);
//           LocalFree(bits); LocalFree(info);                               // free
//       }
//   }
//
// IFYZQV.SPI is a picture filter with interface code "00IN". It reads one
// format, ZQV: a whole Windows BMP file, compressed as a zlib stream, with
// every byte of the stream XORed with 0xD4 (see codec/container.h). A host
// loads the library, finds these five functions by their undecorated names,
// and calls them with the Win32 API calling convention. Two builds share
// these declarations: IFYZQV.SPI for 32-bit hosts, where every integer and
// pointer here is 32 bits wide, and IFYZQV.SPH for 64-bit hosts, where the
// integers that carry an address, a handle, a length, an offset or the
// host's user data (HandleOrAddress, intptr_t) are 64 bits wide and the
// others (int32_t, uint32_t) stay 32.
//
// The plug-in keeps no state between calls and creates no threads. Any host
// thread may call any export at any time; decoding is serialised inside the
// library (plugin/lock.h).
//
// What a call costs the host: no thread; little of the calling thread's
// stack (a few KB for IsSupported and GetPicture alike: the decode's work
// areas, up to 181 KB, sized to the container and the picture, and its
// source's 16 KB read-ahead are local blocks made and freed within the
// call); and
// memory about as large as the decoded picture, its two blocks, which are
// written once, where the host receives them.
#pragma once

#include "platform/platform.h"
#include "streams/results.h"

#include <cstdint>


extern "C" {

// The library entry. Attach creates the decode lock and detach destroys it;
// thread attach and detach do nothing. Always succeeds.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// GetPluginInfo copies entry `index` of the information table into dest and
// returns the number of bytes written:
//   0  "00IN"                                          interface code
//   1  "Yelk *.ZQV to DIB filter Ver 0.01.1 by wusk"    name and version
//   2  "*.ZQV"                                         file pattern
//   3  "Yelk ZQV File"                                 its description
// At most destLength bytes are written; the terminating NUL only when the
// whole entry and its NUL fit. An index outside 0..3 (negative included) or a
// destLength of 0 or less writes nothing and returns 0.
int32_t WINAPI GetPluginInfo(int32_t index, char *dest, int32_t destLength);

// IsSupported answers 1 if the data is a ZQV picture, 0 if not. The first
// argument (the file name) is not read. headOrHandle above 0xFFFF is the
// address of a 2,048-byte buffer holding the start of the file, which is left
// unchanged; otherwise it is an open file handle positioned at the start of
// the data, from which 2,048 bytes are read (a shorter file is never a ZQV
// picture). The answer rests on those bytes alone: they must decompress to
// the start of a BMP file ("BM", zero reserved words). Any failure, a fault
// on an unreadable buffer included, answers 0.
int32_t WINAPI IsSupported(const char *ignored, HandleOrAddress headOrHandle);

// Not provided: always ResultNotImplemented. The arguments are not read.
int32_t WINAPI GetPictureInfo(const char *data, intptr_t lengthOrOffset, uint32_t flags, void *info);

// GetPicture decodes a whole ZQV container and hands the picture over as two
// fixed, zero-filled local memory blocks that the host then owns and frees:
//   *infoOut  the bitmap information (BITMAPINFO: header and colour table),
//             bytes 14 to off-1 of the BMP file, off being its pixel-data offset;
//   *bitsOut  a block as long as the whole BMP file: its pixel data first
//             (bytes off to the end), then zeros.
// A host may trust the bitmap header: each block is at least as long as what
// the header describes, zero past what the file held. The info block covers
// the header, its bit-field masks and the palette (for 1 to 8 bits the whole
// 2^bits entries, whatever the colours-used count says); the pixel block
// covers the rows of an uncompressed or bit-field bitmap and the header's
// image size (that last one only when a block so large can be had). So a
// picture cut short shows as far as it goes, the rest black.
// If no low three bits of flags are set, data is a file name and
// lengthOrOffset the byte offset at which the container starts in that file;
// otherwise data is the container in memory and lengthOrOffset its length.
// progress may be null; its numbers fit an int32_t for a container of any
// size (from 2 GiB on both are scaled down alike). The out-parameters are written
// only on ResultOk.
// Results: ResultOk; ResultAborted when progress asked to stop (during the
// decode or at its last call, (100, 100)); ResultBadFormat when the data is
// not a BMP file (an empty container included, a pixel-data offset beyond
// the file's end, bitmap information shorter than the 12 bytes of the
// smallest bitmap header, and a header size beyond the largest kind, 124
// bytes, that the bitmap information does not hold); ResultBrokenData for damaged compressed data or a fault
// while decoding (the callback's own included); ResultNoMemory when a block
// cannot be allocated, or the pixel-data offset is below 14; ResultMemoryError
// when the decoded block cannot be locked, or infoOut or bitsOut is null
// (then nothing is read); ResultFileError when the file
// cannot be opened or positioned (a negative offset included: it names no
// byte of the file). A truncated container whose decoded part
// starts with a BMP file header is delivered as far as it goes.
int32_t WINAPI GetPicture(const char *data, intptr_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut,
                          HLOCAL *bitsOut, ProgressCallback progress, intptr_t userData);

// Not provided: always ResultNotImplemented. The arguments are not read.
int32_t WINAPI GetPreview(const char *data, intptr_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut,
                          HLOCAL *bitsOut, ProgressCallback progress, intptr_t userData);

} // extern "C"

// ---------------------------------------------------------------------------
// The work behind the exports, callable without going through them.

// The probe behind IsSupported: fromMemory tells how headOrHandle is taken.
// Nonzero when the head is a ZQV picture.
int32_t ProbeHead(HandleOrAddress headOrHandle, bool fromMemory);

// The retrieval behind GetPicture: same arguments, same result.
int32_t LoadPicture(const char *data, intptr_t lengthOrOffset, uint32_t flags, HLOCAL *infoOut, HLOCAL *bitsOut,
                    ProgressCallback progress, intptr_t userData);
