// The thumbnail provider of ZQV pictures (wic/codec.h).
#include "wic/codec.h"

namespace {

// A picture's size scaled to fit a square of side longest, the ratio kept
// (each side at least 1); a picture that fits already keeps its size.
void FitInSquare(UINT *width, UINT *height, UINT longest)
{
    UINT longer = *width > *height ? *width : *height;
    if (longer <= longest)
        return;
    auto scaled = [&](UINT side) {
        UINT fitted = static_cast<UINT>((uint64_t(side) * longest + longer / 2) / longer);
        return fitted > 0 ? fitted : 1;
    };
    *width = scaled(*width);
    *height = scaled(*height);
}

// Whether a pixel format carries alpha, as WIC describes it.
bool HasAlpha(IWICImagingFactory *factory, const WICPixelFormatGUID &format)
{
    IWICComponentInfo *component = nullptr;
    IWICPixelFormatInfo2 *pixelFormat = nullptr;
    BOOL transparency = FALSE;
    if (SUCCEEDED(factory->CreateComponentInfo(format, &component)) &&
        SUCCEEDED(component->QueryInterface(IID_IWICPixelFormatInfo2, reinterpret_cast<void **>(&pixelFormat))))
        pixelFormat->SupportsTransparency(&transparency);
    ReleaseOnce(pixelFormat);
    ReleaseOnce(component);
    return transparency != FALSE;
}

// A 32-bit top-down DIB section of width x height pixels, its bits at *bits.
HBITMAP CreateTopDownSection(UINT width, UINT height, void **bits)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

// The frame as 32bppBGRA, scaled to fit longest: a source of WIC's own.
HRESULT ScaledSource(IWICImagingFactory *factory, IWICBitmapFrameDecode *frame, UINT longest,
                     IWICBitmapSource **source, UINT *width, UINT *height)
{
    IWICFormatConverter *converter = nullptr;
    IWICBitmapScaler *scaler = nullptr;
    HRESULT result = frame->GetSize(width, height);
    if (SUCCEEDED(result))
        result = factory->CreateFormatConverter(&converter);
    if (SUCCEEDED(result))
        result = converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                       WICBitmapPaletteTypeCustom);
    UINT fittedWidth = *width, fittedHeight = *height;
    FitInSquare(&fittedWidth, &fittedHeight, longest);
    bool scaling = fittedWidth != *width || fittedHeight != *height;
    if (SUCCEEDED(result) && scaling)
        result = factory->CreateBitmapScaler(&scaler);
    if (SUCCEEDED(result) && scaling)
        result = scaler->Initialize(converter, fittedWidth, fittedHeight, WICBitmapInterpolationModeFant);
    if (SUCCEEDED(result)) {
        *source = scaling ? static_cast<IWICBitmapSource *>(scaler) : converter;
        (*source)->AddRef();
        *width = fittedWidth;
        *height = fittedHeight;
    }
    ReleaseOnce(scaler);
    ReleaseOnce(converter);
    return result;
}

// The thumbnail of the picture a frame holds: a DIB section, and whether
// its alpha counts.
HRESULT MakeThumbnail(IWICImagingFactory *factory, IWICBitmapFrameDecode *frame, UINT longest, HBITMAP *bitmap,
                      WTS_ALPHATYPE *alpha)
{
    IWICBitmapSource *source = nullptr;
    UINT width = 0, height = 0;
    HRESULT result = ScaledSource(factory, frame, longest, &source, &width, &height);
    if (FAILED(result))
        return result;
    void *bits = nullptr;
    HBITMAP made = CreateTopDownSection(width, height, &bits);
    // At most MostPixels pixels of 4 bytes: the sizes fit a UINT.
    UINT stride = width * 4;
    if (made == nullptr)
        result = E_OUTOFMEMORY;
    else
        result = source->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE *>(bits));
    source->Release();
    WICPixelFormatGUID format;
    if (SUCCEEDED(result))
        result = frame->GetPixelFormat(&format);
    if (FAILED(result)) {
        if (made != nullptr)
            DeleteObject(made);
        return result;
    }
    *bitmap = made;
    *alpha = HasAlpha(factory, format) ? WTSAT_ARGB : WTSAT_RGB;
    return S_OK;
}

class ThumbnailProvider final : public ComObject<IThumbnailProvider, IInitializeWithStream> {
public:
    // IInitializeWithStream: the stream is kept for GetThumbnail.
    HRESULT STDMETHODCALLTYPE Initialize(IStream *stream, DWORD) override
    {
        if (stream == nullptr)
            return E_INVALIDARG;
        if (InterlockedCompareExchangePointer(reinterpret_cast<void **>(&stream_), stream, nullptr) != nullptr)
            return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
        stream->AddRef();
        return S_OK;
    }

    // IThumbnailProvider
    HRESULT STDMETHODCALLTYPE GetThumbnail(UINT longest, HBITMAP *bitmap, WTS_ALPHATYPE *alpha) override;

private:
    ~ThumbnailProvider() override { ReleaseOnce(stream_); }

    IStream *stream_ = nullptr;
};

HRESULT ThumbnailProvider::GetThumbnail(UINT longest, HBITMAP *bitmap, WTS_ALPHATYPE *alpha)
{
    if (bitmap == nullptr || alpha == nullptr)
        return E_POINTER;
    *bitmap = nullptr;
    *alpha = WTSAT_UNKNOWN;
    if (longest == 0)
        return E_INVALIDARG;
    if (stream_ == nullptr)
        return E_UNEXPECTED;
    IWICBitmapDecoder *decoder = nullptr;
    IWICBitmapFrameDecode *frame = nullptr;
    HRESULT result = CreateZqvDecoder(IID_IWICBitmapDecoder, reinterpret_cast<void **>(&decoder));
    if (SUCCEEDED(result))
        result = decoder->Initialize(stream_, WICDecodeMetadataCacheOnDemand);
    if (SUCCEEDED(result))
        result = decoder->GetFrame(0, &frame);
    IWICImagingFactory *factory = SUCCEEDED(result) ? CreateImagingFactory(&result) : nullptr;
    if (factory != nullptr)
        result = MakeThumbnail(factory, frame, longest, bitmap, alpha);
    ReleaseOnce(factory);
    ReleaseOnce(frame);
    ReleaseOnce(decoder);
    return result;
}

} // namespace

HRESULT CreateZqvThumbnailProvider(REFIID iid, void **object)
{
    return CreateObject<ThumbnailProvider>(iid, object);
}
