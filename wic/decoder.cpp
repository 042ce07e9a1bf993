// The WIC decoder of ZQV pictures and its one frame (wic/codec.h).
#include "wic/codec.h"

namespace {

// How much of the stream one read takes: a read chunk of the decoder's, or
// less when only the head is wanted.
constexpr ULONG WholeReadBytes = ChunkSize;
constexpr ULONG HeadReadBytes = 4096;

enum DecoderState : LONG { Fresh, Initializing, Ready };

bool IsReady(LONG *state) { return InterlockedCompareExchange(state, Ready, Ready) == Ready; }

// Feeds the container, from the stream's start, to the decode until the
// decode wants no more or the stream ends. The stream's own failure, or S_OK.
HRESULT FeedFromStream(IStream *stream, PictureFileDecode *decode, ULONG pieceBytes)
{
    // A stream that cannot seek is read from where it stands.
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    LocalBlock piece{};
    if (!AllocateWorkBlock(&piece, pieceBytes))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (;;) {
        ULONG got = 0;
        HRESULT read = stream->Read(piece.start, pieceBytes, &got);
        if (FAILED(read)) {
            result = read;
            break;
        }
        if (got == 0 || !FeedPictureFile(decode, piece.start, got))
            break;
    }
    FreeLocalBlock(&piece);
    return result;
}

// Decodes the stream's container into decode: S_OK with the file in its
// block, or why not.
HRESULT DecodeContainer(IStream *stream, PictureFileDecode *decode, bool headOnly)
{
    if (!StartPictureFileDecode(decode, headOnly))
        return E_OUTOFMEMORY;
    HRESULT read = FeedFromStream(stream, decode, headOnly ? HeadReadBytes : WholeReadBytes);
    if (FAILED(read))
        return read;
    FileVerdict verdict = FinishPictureFile(decode);
    return verdict == FileVerdict::Picture ? S_OK : ResultForVerdict(verdict, decode->head.verdict);
}

// WIC's BMP decoder over the decoded file, and its frame. A frame of no
// pixel format WIC knows is refused: nothing could be made of its pixels.
HRESULT OpenBmpFrame(IWICImagingFactory *factory, const LocalBlock &file, WICDecodeOptions options,
                     IWICBitmapDecoder **bmp, IWICBitmapFrameDecode **frame)
{
    HRESULT result = OpenFrameOfBytes(factory, file.start, file.used, &GUID_ContainerFormatBmp, options, bmp, frame);
    WICPixelFormatGUID format = GUID_WICPixelFormatUndefined;
    if (SUCCEEDED(result))
        result = (*frame)->GetPixelFormat(&format);
    if (SUCCEEDED(result) && format == GUID_WICPixelFormatUndefined)
        result = WINCODEC_ERR_BADHEADER;
    if (FAILED(result)) {
        ReleaseOnce(*frame);
        ReleaseOnce(*bmp);
    }
    return result == E_OUTOFMEMORY || SUCCEEDED(result) ? result : WINCODEC_ERR_BADHEADER;
}

// What neither the decoder nor its frame has: metadata, a preview, a
// thumbnail of its own (BMP files carry none).
template <typename Interface> HRESULT Unsupported(Interface **object)
{
    if (object == nullptr)
        return E_INVALIDARG;
    *object = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}

HRESULT NoThumbnail(IWICBitmapSource **thumbnail)
{
    HRESULT result = Unsupported(thumbnail);
    return result == WINCODEC_ERR_UNSUPPORTEDOPERATION ? WINCODEC_ERR_CODECNOTHUMBNAIL : result;
}

class ZqvDecoder final : public ComObject<IWICBitmapDecoder> {
public:
    // IWICBitmapDecoder
    HRESULT STDMETHODCALLTYPE QueryCapability(IStream *stream, DWORD *capability) override;
    HRESULT STDMETHODCALLTYPE Initialize(IStream *stream, WICDecodeOptions options) override;
    HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID *format) override
    {
        if (format == nullptr)
            return E_INVALIDARG;
        *format = GUID_ContainerFormatZqv;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo **info) override;
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette *) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader **reader) override
    {
        return Unsupported(reader);
    }
    HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource **preview) override { return Unsupported(preview); }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext **, UINT *count) override
    {
        if (count == nullptr)
            return E_INVALIDARG;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource **thumbnail) override { return NoThumbnail(thumbnail); }
    HRESULT STDMETHODCALLTYPE GetFrameCount(UINT *count) override
    {
        if (count == nullptr)
            return E_INVALIDARG;
        bool ready = IsReady(&state_);
        *count = ready ? 1 : 0;
        return ready ? S_OK : WINCODEC_ERR_NOTINITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode **frame) override;

private:
    ~ZqvDecoder() override
    {
        ReleaseOnce(bmpFrame_);
        ReleaseOnce(bmp_);
        EndPictureFileDecode(&decode_); // the file, which bmp_ read
    }

    HRESULT Decode(IStream *stream, WICDecodeOptions options);

    LONG state_ = Fresh;
    PictureFileDecode decode_{}; // once Ready, its block holds the BMP file
    IWICBitmapDecoder *bmp_ = nullptr;
    IWICBitmapFrameDecode *bmpFrame_ = nullptr;
};

// The decoder's frame: the BMP frame's pixels, format, size, resolution and
// palette. It holds the decoder, whose memory the BMP decoder reads.
class ZqvFrame final : public ComObject<IWICBitmapFrameDecode> {
public:
    ZqvFrame(IWICBitmapDecoder *decoder, IWICBitmapFrameDecode *bmpFrame) : decoder_(decoder), bmpFrame_(bmpFrame)
    {
        decoder_->AddRef();
        bmpFrame_->AddRef();
    }

    // IWICBitmapSource
    HRESULT STDMETHODCALLTYPE GetSize(UINT *width, UINT *height) override
    {
        return bmpFrame_->GetSize(width, height);
    }
    HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID *format) override
    {
        return bmpFrame_->GetPixelFormat(format);
    }
    HRESULT STDMETHODCALLTYPE GetResolution(double *dpiX, double *dpiY) override
    {
        return bmpFrame_->GetResolution(dpiX, dpiY);
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette *palette) override { return bmpFrame_->CopyPalette(palette); }
    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect *rect, UINT stride, UINT bufferSize, BYTE *buffer) override
    {
        return bmpFrame_->CopyPixels(rect, stride, bufferSize, buffer);
    }

    // IWICBitmapFrameDecode
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader **reader) override
    {
        return Unsupported(reader);
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT count, IWICColorContext **contexts, UINT *actual) override
    {
        return bmpFrame_->GetColorContexts(count, contexts, actual);
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource **thumbnail) override { return NoThumbnail(thumbnail); }

private:
    ~ZqvFrame() override
    {
        bmpFrame_->Release();
        decoder_->Release();
    }
    bool IsFirstsBase(REFIID iid) const override { return iid == IID_IWICBitmapSource; }

    IWICBitmapDecoder *decoder_;
    IWICBitmapFrameDecode *bmpFrame_;
};

HRESULT ZqvDecoder::QueryCapability(IStream *stream, DWORD *capability)
{
    if (stream == nullptr || capability == nullptr)
        return E_INVALIDARG;
    *capability = 0;
    LARGE_INTEGER here{};
    ULARGE_INTEGER saved{};
    HRESULT result = stream->Seek(here, STREAM_SEEK_CUR, &saved);
    if (FAILED(result))
        return result;
    PictureFileDecode probe{};
    result = DecodeContainer(stream, &probe, true);
    EndPictureFileDecode(&probe);
    LARGE_INTEGER back;
    back.QuadPart = static_cast<LONGLONG>(saved.QuadPart);
    stream->Seek(back, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(result))
        *capability = WICBitmapDecoderCapabilityCanDecodeAllImages | WICBitmapDecoderCapabilityCanDecodeSomeImages;
    bool contentRefused = result == WINCODEC_ERR_UNKNOWNIMAGEFORMAT || result == WINCODEC_ERR_BADHEADER ||
                          result == WINCODEC_ERR_BADIMAGE;
    return contentRefused ? S_OK : result;
}

HRESULT ZqvDecoder::Decode(IStream *stream, WICDecodeOptions options)
{
    HRESULT result = DecodeContainer(stream, &decode_, false);
    IWICImagingFactory *factory = SUCCEEDED(result) ? CreateImagingFactory(&result) : nullptr;
    if (factory != nullptr) {
        result = OpenBmpFrame(factory, decode_.sink.block, options, &bmp_, &bmpFrame_);
        factory->Release();
    }
    if (FAILED(result))
        EndPictureFileDecode(&decode_);
    // The decoder's state and work areas are no longer wanted; the file is.
    EndStreamDecoder(&decode_.decoder);
    FreeLocalBlock(&decode_.areasBlock);
    return result;
}

HRESULT ZqvDecoder::Initialize(IStream *stream, WICDecodeOptions options)
{
    if (stream == nullptr)
        return E_INVALIDARG;
    if (InterlockedCompareExchange(&state_, Initializing, Fresh) != Fresh)
        return WINCODEC_ERR_WRONGSTATE;
    HRESULT result = Decode(stream, options);
    if (FAILED(result))
        decode_ = PictureFileDecode{};
    InterlockedExchange(&state_, SUCCEEDED(result) ? Ready : Fresh);
    return result;
}

HRESULT ZqvDecoder::GetDecoderInfo(IWICBitmapDecoderInfo **info)
{
    if (info == nullptr)
        return E_INVALIDARG;
    *info = nullptr;
    HRESULT result;
    IWICImagingFactory *factory = CreateImagingFactory(&result);
    if (factory == nullptr)
        return result;
    IWICComponentInfo *component = nullptr;
    result = factory->CreateComponentInfo(CLSID_ZqvDecoder, &component);
    factory->Release();
    if (FAILED(result))
        return result;
    result = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void **>(info));
    component->Release();
    return result;
}

HRESULT ZqvDecoder::GetFrame(UINT index, IWICBitmapFrameDecode **frame)
{
    if (frame == nullptr)
        return E_INVALIDARG;
    *frame = nullptr;
    if (!IsReady(&state_))
        return WINCODEC_ERR_NOTINITIALIZED;
    if (index != 0)
        return E_INVALIDARG;
    auto *made = new (HeapTag::FromHeap) ZqvFrame(this, bmpFrame_);
    if (made == nullptr)
        return E_OUTOFMEMORY;
    *frame = made;
    return S_OK;
}

} // namespace

HRESULT ResultForVerdict(FileVerdict verdict, HeadVerdict head)
{
    switch (verdict) {
    case FileVerdict::Picture:
        return S_OK;
    case FileVerdict::NotContainer:
        return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    case FileVerdict::BadHead:
        if (head == HeadVerdict::NotBmp)
            return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
        return head == HeadVerdict::TooManyPixels ? E_OUTOFMEMORY : WINCODEC_ERR_BADHEADER;
    case FileVerdict::Damaged:
    case FileVerdict::Bomb:
        return WINCODEC_ERR_BADIMAGE;
    case FileVerdict::RowsTooLong:
        return WINCODEC_ERR_BADHEADER;
    case FileVerdict::NoMemory:
        break;
    }
    return E_OUTOFMEMORY;
}

HRESULT CreateZqvDecoder(REFIID iid, void **object) { return CreateObject<ZqvDecoder>(iid, object); }
