// wic/codec.h -- ZQV pictures in Windows itself: the WIC codec and the
// thumbnail provider.
//
// zqvwic.dll is a COM in-process server with two classes:
//   - the decoder (CLSID_ZqvDecoder, threading model Both), registered in
//     the Windows Imaging Component's decoder category, which every WIC
//     program reaches (CreateDecoderFromFilename and CreateDecoderFromStream
//     pick it by a file's first two bytes: ZqvPatterns below), and
//   - the thumbnail provider (CLSID_ZqvThumbnailProvider, Apartment), which
//     Explorer asks for the thumbnail of a .zqv file.
// Its four exports are the ones every in-process server has:
// DllGetClassObject, DllCanUnloadNow, DllRegisterServer and
// DllUnregisterServer. README.md says how to install it.
//
// How a picture is read. The decoder's Initialize reads the whole container
// from the stream it is given (from its start: WIC does not rewind it after
// matching patterns) into a PictureFileDecode (codec/container.h), the
// streaming decoder the plug-in uses, fed; the BMP file it decodes to is
// handed, over a stream on that memory, to WIC's own BMP decoder, whose one
// frame the decoder's frame forwards. So a ZQV picture has exactly the pixels,
// pixel format, size, resolution and palette its BMP file has in every WIC
// program, whatever its depth and compression. What the BMP decoder does
// not check is judged first, as the plug-in and the desktop loader judge it:
//   - the head of the BMP file (JudgePictureHead), before memory is taken
//     for the rest: a picture of more than MostPixels pixels, a bitmap header
//     longer than any, a palette the bits cannot index, pixel data inside the
//     headers or past all the picture can hold are refused;
//   - a stream that decodes to more than its picture can hold
//     (MostDecodedBytes) is stopped there, a decompression bomb;
//   - a picture cut short (its stream never ends, or its pixel data falls
//     short) is padded with zero bytes to all the pixel data its header
//     describes (CompleteFileLength), so it is shown as far as it goes and
//     the rest as the plug-in's blocks show it: black, palette entry 0 in a
//     picture of 8 bits or fewer.
// No C++ exception is thrown in this room (it is compiled without them,
// and every allocation is the platform's), so none can cross a COM method.
//
// The results, where a decoder's Initialize fails (QueryCapability gives
// the same for the head alone, as a capability of 0 where the content is not
// a picture):
//   WINCODEC_ERR_UNKNOWNIMAGEFORMAT  not a ZQV picture: no container start,
//                                    a stream that is no zlib stream from its
//                                    first bytes, or not a BMP file inside
//   WINCODEC_ERR_BADHEADER           a head JudgePictureHead refuses, rows
//                                    too long to pad, or a BMP file WIC's BMP
//                                    decoder refuses or has no pixel format for
//   WINCODEC_ERR_BADIMAGE            damaged compressed data or checksum, or
//                                    a decompression bomb
//   E_OUTOFMEMORY                    more than MostPixels pixels, or no memory
//   the stream's own                 where reading the stream fails
//   WINCODEC_ERR_WRONGSTATE          Initialize called twice
// Before Initialize succeeds, every other call that needs the picture gives
// WINCODEC_ERR_NOTINITIALIZED.
//
// The thumbnail provider decodes through the same decoder: GetThumbnail(cx)
// gives a 32-bit top-down DIB section of the picture converted to
// 32bppBGRA, scaled with WIC's Fant scaler so that its longer side is cx
// when the picture is larger (never enlarged), with alpha type WTSAT_ARGB
// when the picture's pixel format has alpha, else WTSAT_RGB.
//
// COM rules: every object counts its references and holds the module's
// lock while it lives; DllCanUnloadNow is S_OK exactly when no object is
// alive and no LockServer(TRUE) is outstanding, which is the only state
// the module keeps. The class factories are static and thread-safe.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <objbase.h>
#include <thumbcache.h>
#include <wincodec.h>

#include "codec/container.h"
#include "wic/imaging.h"

// ===========================================================================
// The server's classes and the format's identifiers.

inline constexpr CLSID CLSID_ZqvDecoder = {
    0x4658c226, 0x8470, 0x496c, {0x85, 0xb4, 0x50, 0xaf, 0xf3, 0x30, 0x1b, 0x29}};
inline constexpr CLSID CLSID_ZqvThumbnailProvider = {
    0x84001eea, 0xf146, 0x484c, {0x89, 0xed, 0xa5, 0xe0, 0x37, 0x94, 0xc7, 0x8f}};
inline constexpr GUID GUID_ContainerFormatZqv = {
    0x39f9f0c5, 0x487c, 0x44eb, {0x91, 0x25, 0xec, 0x64, 0x19, 0x4c, 0x1d, 0x63}};
inline constexpr GUID GUID_VendorZqv = {0xd3cf8301, 0x1c19, 0x4a16, {0x84, 0x57, 0x02, 0x89, 0xa1, 0x7b, 0xcc, 0xfc}};

inline constexpr const wchar_t *ZqvExtension = L".zqv";
inline constexpr const wchar_t *ZqvMimeType = L"image/x-zqv";

// The pixel formats a frame may have: WIC's BMP decoder's.
inline constexpr const GUID *ZqvPixelFormats[] = {
    &GUID_WICPixelFormat1bppIndexed, &GUID_WICPixelFormat2bppIndexed, &GUID_WICPixelFormat4bppIndexed,
    &GUID_WICPixelFormat8bppIndexed, &GUID_WICPixelFormat16bppBGR555, &GUID_WICPixelFormat16bppBGR565,
    &GUID_WICPixelFormat24bppBGR,    &GUID_WICPixelFormat32bppBGR,    &GUID_WICPixelFormat32bppBGRA,
};

// ===========================================================================
// The module.

// Every live object and every LockServer(TRUE) holds the module's lock.
void LockModule();
void UnlockModule();

// New objects, one reference held by *object on S_OK.
HRESULT CreateZqvDecoder(REFIID iid, void **object);
HRESULT CreateZqvThumbnailProvider(REFIID iid, void **object);

// The HRESULT a decoder gives for a container the file decode refused.
HRESULT ResultForVerdict(FileVerdict verdict, HeadVerdict head);


// What every object of the server shares: its reference count, the
// module's lock it holds while it lives, QueryInterface for the interfaces
// it derives from (IUnknown answered by the first) and for the interfaces
// its first one derives from, which IsFirstsBase names, and its memory,
// from the process heap: new (FromHeap) gives null when there is none, and
// no allocator of the C++ runtime, which would throw, is linked in. Objects
// are made holding one reference.
enum class HeapTag { FromHeap };
template <typename First, typename... Others> class ComObject : public First, public Others... {
public:
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

    static void *operator new(size_t bytes, HeapTag) noexcept { return HeapAlloc(GetProcessHeap(), 0, bytes); }
    static void operator delete(void *object, HeapTag) noexcept { HeapFree(GetProcessHeap(), 0, object); }
    static void operator delete(void *object) noexcept { HeapFree(GetProcessHeap(), 0, object); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = Interface(iid);
        if (*object == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = InterlockedDecrement(&references_);
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ComObject() { LockModule(); }
    virtual ~ComObject() { UnlockModule(); }
    virtual bool IsFirstsBase(REFIID) const { return false; }

private:
    void *Interface(REFIID iid)
    {
        if (iid == IID_IUnknown || iid == __uuidof(First) || IsFirstsBase(iid))
            return static_cast<First *>(this);
        void *found = nullptr;
        ((found = found != nullptr || iid != __uuidof(Others) ? found : static_cast<Others *>(this)), ...);
        return found;
    }

    LONG references_ = 1;
};

// Makes an Object and answers for the interface iid names, as a class
// factory's CreateInstance does.
template <typename Object> HRESULT CreateObject(REFIID iid, void **object)
{
    auto *made = new (HeapTag::FromHeap) Object;
    if (made == nullptr)
        return E_OUTOFMEMORY;
    HRESULT result = made->QueryInterface(iid, object);
    made->Release();
    return result;
}

// Releases the object a pointer holds, if any, and clears the pointer.
template <typename Interface> void ReleaseOnce(Interface *&object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

// ===========================================================================
// Registration, per machine, in the registry view of the DLL's own kind (a
// 32-bit DLL on 64-bit Windows registers in the 32-bit view), below
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes:
//   CLSID\{decoder}                the codec's description (FriendlyName,
//                                  Author, Vendor, ContainerFormat, Version,
//                                  MimeTypes, FileExtensions, the Support*
//                                  flags), InprocServer32 (this DLL, Both),
//                                  Formats\{pixel format} for each of
//                                  ZqvPixelFormats, and Patterns\0 to N-1:
//                                  every two-byte container start
//                                  (IsContainerStart), at position 0
//   CLSID\{CATID_WICBitmapDecoders}\Instance\{decoder}   CLSID, FriendlyName
//   CLSID\{thumbnail provider}     InprocServer32 (this DLL, Apartment)
//   .zqv                           Content Type image/x-zqv, PerceivedType
//                                  image, and ShellEx\{IThumbnailProvider}
//                                  naming the thumbnail provider
// and the provider among the approved shell extensions
// (SOFTWARE\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved).
// Unregistration removes every key and value registration writes and
// nothing else: a key it made is removed only when nothing else is left in
// it. Windows shares .zqv and the approved list between the two views, so
// those values stay while the other view still registers the thumbnail
// provider.
HRESULT RegisterServer();
HRESULT UnregisterServer();
