// The platform's imaging in the Windows builds: the Windows Imaging
// Component's decoders read pictures, its encoders write them.
#include "tools/imaging.h"

#include "codec/container.h"
#include "wic/imaging.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// An interface pointer released when it goes.
template <typename Interface> class Com {
public:
    Com() = default;
    ~Com()
    {
        if (pointer_ != nullptr)
            pointer_->Release();
    }
    Com(const Com &) = delete;
    Com &operator=(const Com &) = delete;
    Interface *operator->() const { return pointer_; }
    Interface *get() const { return pointer_; }
    Interface **out() { return &pointer_; }

private:
    Interface *pointer_ = nullptr;
};

// COM on this thread for as long as it lives (zqv's threads each work alone).
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;
    // RPC_E_CHANGED_MODE: COM is up already, in the other kind of apartment.
    bool Ready() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT result_;
};

struct HresultText {
    HRESULT code;
    const char *text;
};
constexpr HresultText HresultTexts[] = {
    {WINCODEC_ERR_COMPONENTNOTFOUND, "no decoder of the Windows Imaging Component reads it"},
    {WINCODEC_ERR_UNKNOWNIMAGEFORMAT, "no decoder of the Windows Imaging Component reads it"},
    {WINCODEC_ERR_BADIMAGE, "the picture is damaged"},
    {WINCODEC_ERR_BADHEADER, "its header is damaged"},
    {WINCODEC_ERR_STREAMREAD, "the picture ends early"},
    {WINCODEC_ERR_STREAMNOTAVAILABLE, "the picture ends early"},
    {E_OUTOFMEMORY, "out of memory"},
};

// What went wrong, as the Windows Imaging Component said it.
Status Failed(const char *doing, HRESULT result)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(result));
    for (const HresultText &known : HresultTexts)
        if (known.code == result)
            return Status::Failure(std::string(doing) + ": " + known.text + " (" + code + ")");
    return Status::Failure(std::string(doing) + ": the Windows Imaging Component failed (" + code + ")");
}

struct EncoderOf {
    const char *format;
    const GUID *container;
};
const EncoderOf Encoders[] = {
    {"png", &GUID_ContainerFormatPng},
    {"jpeg", &GUID_ContainerFormatJpeg},
    {"tiff", &GUID_ContainerFormatTiff},
};

const GUID *ContainerOf(const ImageFormat &format)
{
    for (const EncoderOf &encoder : Encoders)
        if (std::strcmp(encoder.format, format.name) == 0)
            return encoder.container;
    return nullptr;
}

Status MakeFactory(Com<IWICImagingFactory> *factory)
{
    HRESULT result = S_OK;
    *factory->out() = CreateImagingFactory(&result);
    return SUCCEEDED(result) ? Status::Success() : Failed("the Windows Imaging Component cannot start", result);
}

// The first frame of the picture in bytes: of the container format given,
// or (null) of whatever format the Windows Imaging Component finds it to be.
Status FirstFrame(IWICImagingFactory *factory, const Bytes &bytes, const GUID *container,
                  Com<IWICBitmapDecoder> *decoder, Com<IWICBitmapFrameDecode> *frame)
{
    HRESULT result = bytes.size() > UINT32_MAX ? E_OUTOFMEMORY
                                               : OpenFrameOfBytes(factory, bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                                  container, WICDecodeMetadataCacheOnDemand,
                                                                  decoder->out(), frame->out());
    return SUCCEEDED(result) ? Status::Success() : Failed("not a picture the Windows Imaging Component reads", result);
}

// A picture opened for one call: COM on the thread, a factory, and the
// picture's first frame.
struct OpenPicture {
    ComApartment apartment;
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapDecoder> decoder;
    Com<IWICBitmapFrameDecode> frame;

    // Opens bytes of the container format given, or (null) of any.
    Status Open(const Bytes &bytes, const GUID *container)
    {
        if (!apartment.Ready())
            return Status::Failure("COM cannot start");
        Status status = MakeFactory(&factory);
        return status.Ok() ? FirstFrame(factory.get(), bytes, container, &decoder, &frame) : status;
    }
};

// The bytes an HGLOBAL stream holds.
Status StreamBytes(IStream *stream, Bytes *bytes)
{
    HGLOBAL memory = nullptr;
    STATSTG status{};
    HRESULT result = GetHGlobalFromStream(stream, &memory);
    if (SUCCEEDED(result))
        result = stream->Stat(&status, STATFLAG_NONAME);
    const auto *start = SUCCEEDED(result) ? static_cast<const uint8_t *>(GlobalLock(memory)) : nullptr;
    if (start == nullptr)
        return Failed("cannot read what was written", FAILED(result) ? result : E_OUTOFMEMORY);
    bytes->assign(start, start + status.cbSize.QuadPart);
    GlobalUnlock(memory);
    return Status::Success();
}

// Sets JPEG's quality (0 to 1) in a new frame's options.
HRESULT SetQuality(IPropertyBag2 *options, int quality)
{
    PROPBAG2 option{};
    option.pstrName = const_cast<LPOLESTR>(L"ImageQuality");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = static_cast<float>(quality) / HighestQuality;
    return options->Write(1, &option, &value);
}

// The picture in the pixel format every encoder starts from: 32-bit BGRA
// where it has alpha (WIC's BMP decoder gives that format only then), else
// 24-bit BGR. Encoders differ in what else they take (JPEG no palette), and
// converters in what they convert from: every format goes to 32-bit BGRA.
HRESULT Unpacked(IWICBitmapSource *source, IWICBitmapSource **unpacked)
{
    WICPixelFormatGUID format{};
    HRESULT result = source->GetPixelFormat(&format);
    bool alpha = IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA);
    Com<IWICBitmapSource> bgra;
    if (SUCCEEDED(result))
        result = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, source, alpha ? unpacked : bgra.out());
    if (SUCCEEDED(result) && !alpha)
        result = WICConvertBitmapSource(GUID_WICPixelFormat24bppBGR, bgra.get(), unpacked);
    return result;
}

// Writes source as one frame of the encoder, converted to a pixel format
// the encoder takes where it asks for another.
HRESULT WriteFrame(IWICBitmapEncoder *encoder, IWICBitmapSource *picture, bool lossy, int quality)
{
    Com<IWICBitmapSource> unpacked;
    HRESULT unpacking = Unpacked(picture, unpacked.out());
    if (FAILED(unpacking))
        return unpacking;
    IWICBitmapSource *source = unpacked.get();
    Com<IWICBitmapFrameEncode> frame;
    Com<IPropertyBag2> options;
    HRESULT result = encoder->CreateNewFrame(frame.out(), options.out());
    if (SUCCEEDED(result) && lossy)
        result = SetQuality(options.get(), quality);
    if (SUCCEEDED(result))
        result = frame->Initialize(options.get());
    UINT width = 0, height = 0;
    WICPixelFormatGUID pixelFormat{};
    if (SUCCEEDED(result))
        result = source->GetSize(&width, &height);
    if (SUCCEEDED(result))
        result = source->GetPixelFormat(&pixelFormat);
    WICPixelFormatGUID taken = pixelFormat;
    if (SUCCEEDED(result))
        result = frame->SetSize(width, height);
    if (SUCCEEDED(result))
        result = frame->SetPixelFormat(&taken);
    Com<IWICBitmapSource> converted;
    if (SUCCEEDED(result) && !IsEqualGUID(taken, pixelFormat))
        result = WICConvertBitmapSource(taken, source, converted.out());
    if (SUCCEEDED(result))
        result = frame->WriteSource(converted.get() != nullptr ? converted.get() : source, nullptr);
    if (SUCCEEDED(result))
        result = frame->Commit();
    return result;
}

} // namespace

Status EncodeImage(const Bytes &bmp, const ImageFormat &format, int quality, Bytes *image)
{
    const GUID *container = ContainerOf(format);
    if (container == nullptr)
        return Status::Failure(std::string("the Windows Imaging Component writes no ") + format.name + " here");
    OpenPicture picture;
    Status opened = picture.Open(bmp, &GUID_ContainerFormatBmp);
    if (!opened.Ok())
        return opened;
    Com<IStream> output;
    Com<IWICBitmapEncoder> encoder;
    HRESULT result = CreateStreamOnHGlobal(nullptr, TRUE, output.out());
    if (SUCCEEDED(result))
        result = picture.factory->CreateEncoder(*container, nullptr, encoder.out());
    if (SUCCEEDED(result))
        result = encoder->Initialize(output.get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(result))
        result = WriteFrame(encoder.get(), picture.frame.get(), !format.lossless, quality);
    if (SUCCEEDED(result))
        result = encoder->Commit();
    if (FAILED(result))
        return Failed((std::string("cannot write it as ") + format.name).c_str(), result);
    return StreamBytes(output.get(), image);
}

Status DecodeImage(const Bytes &file, bool keepAlpha, Bytes *bmp)
{
    OpenPicture opened;
    Status status = opened.Open(file, nullptr);
    if (!status.Ok())
        return status;
    Com<IWICBitmapSource> bgra;
    BgraPicture picture;
    UINT width = 0, height = 0;
    HRESULT result = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, opened.frame.get(), bgra.out());
    if (SUCCEEDED(result))
        result = bgra->GetSize(&width, &height);
    uint64_t bytes = uint64_t(width) * height * 4;
    if (SUCCEEDED(result) && (bytes > UINT32_MAX || uint64_t(width) * height > MostPixels))
        result = E_OUTOFMEMORY;
    if (SUCCEEDED(result)) {
        picture.width = width;
        picture.height = height;
        picture.pixels.resize(bytes);
        result = bgra->CopyPixels(nullptr, width * 4, static_cast<UINT>(bytes), picture.pixels.data());
    }
    if (FAILED(result))
        return Failed("cannot read its pixels", result);
    *bmp = BmpOfPicture(picture, keepAlpha && HasTransparency(picture));
    return Status::Success();
}
