// wic/imaging.h -- the Windows Imaging Component calls that the codec
// (zqvwic.dll) and zqv.exe both make: an imaging factory, and a decoder over
// bytes in memory. Plain calls that throw nothing, for the server, which is
// built without exceptions, and for zqv.exe alike.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <wincodec.h>

#include <cstdint>

// An imaging factory, or null with *result saying why. COM must be started
// on the calling thread.
IWICImagingFactory *CreateImagingFactory(HRESULT *result);

// A decoder over the count bytes at bytes, which must stay where they are
// while it lives, and its first frame: of the container format given (WIC's
// decoder of that format), or with container null of whatever format WIC
// finds the bytes to be. S_OK with *decoder and *frame holding a reference
// each; else both null.
HRESULT OpenFrameOfBytes(IWICImagingFactory *factory, const uint8_t *bytes, uint32_t count, const GUID *container,
                         WICDecodeOptions options, IWICBitmapDecoder **decoder, IWICBitmapFrameDecode **frame);
