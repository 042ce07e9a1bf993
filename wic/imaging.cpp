#include "wic/imaging.h"

namespace {

template <typename Interface> void Release(Interface *&object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

} // namespace

IWICImagingFactory *CreateImagingFactory(HRESULT *result)
{
    IWICImagingFactory *factory = nullptr;
    *result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                               reinterpret_cast<void **>(&factory));
    return SUCCEEDED(*result) ? factory : nullptr;
}

HRESULT OpenFrameOfBytes(IWICImagingFactory *factory, const uint8_t *bytes, uint32_t count, const GUID *container,
                         WICDecodeOptions options, IWICBitmapDecoder **decoder, IWICBitmapFrameDecode **frame)
{
    *decoder = nullptr;
    *frame = nullptr;
    IWICStream *stream = nullptr;
    HRESULT result = factory->CreateStream(&stream);
    if (SUCCEEDED(result))
        result = stream->InitializeFromMemory(const_cast<BYTE *>(bytes), count);
    if (SUCCEEDED(result) && container != nullptr)
        result = factory->CreateDecoder(*container, nullptr, decoder);
    if (SUCCEEDED(result) && container != nullptr)
        result = (*decoder)->Initialize(stream, options);
    if (SUCCEEDED(result) && container == nullptr)
        result = factory->CreateDecoderFromStream(stream, nullptr, options, decoder);
    if (SUCCEEDED(result))
        result = (*decoder)->GetFrame(0, frame);
    Release(stream);
    if (FAILED(result)) {
        Release(*frame);
        Release(*decoder);
    }
    return result;
}
