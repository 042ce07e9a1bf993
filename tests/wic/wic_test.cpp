// The WIC codec and thumbnail provider (zqvwic.dll), reached as Windows
// programs reach them: registered in the build tree's wine prefix with
// regsvr32, found by WIC from a file's content (no format named), and the
// provider created through COM and called as Explorer calls it. Every
// picture is compared pixel for pixel, as 32bppBGRA, with what WIC's own BMP
// decoder makes of the BMP file inside. The tests run in order: the first
// registers the server, the last unregisters it.
#include "tests/support/fixtures.h"

#include "wic/codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t PixelOffsetField = 10;
constexpr uint32_t BitsField = 28;
constexpr uint32_t CompressionField = 30;

// ---------------------------------------------------------------------------
// COM and WIC, briefly.

// Holds one reference to a COM object and releases it.
template <typename Interface> class Com {
public:
    Com() = default;
    Com(Com &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Com(const Com &) = delete;
    Com &operator=(const Com &) = delete;
    ~Com() { ReleaseOnce(object_); }
    Interface *operator->() const { return object_; }
    Interface *get() const { return object_; }
    Interface **out()
    {
        ReleaseOnce(object_);
        return &object_;
    }
    void **outVoid() { return reinterpret_cast<void **>(out()); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    Interface *object_ = nullptr;
};

std::string Hex(HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

std::wstring Wide(const std::string &text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}

std::wstring GuidText(const GUID &guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

Com<IWICImagingFactory> Factory()
{
    Com<IWICImagingFactory> factory;
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                     factory.outVoid());
    return factory;
}

// A stream on a copy of bytes, as a program holding a picture in memory
// makes one.
Com<IStream> MemoryStream(const Bytes &bytes)
{
    Com<IStream> stream;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size() + 1);
    if (memory == nullptr)
        return stream;
    std::memcpy(GlobalLock(memory), bytes.data(), bytes.size());
    GlobalUnlock(memory);
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, stream.out()))) {
        GlobalFree(memory);
        return stream;
    }
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    stream->SetSize(size);
    return stream;
}

// What a program gets of a picture: its frame's description and its pixels
// as 32bppBGRA.
struct Picture {
    HRESULT result = E_FAIL;
    GUID container = GUID_NULL;
    WICPixelFormatGUID format = GUID_NULL;
    UINT width = 0, height = 0;
    double dpiX = 0, dpiY = 0;
    Bytes bgra;
};

HRESULT ReadFrame(IWICBitmapFrameDecode *frame, Picture &picture)
{
    HRESULT result = frame->GetPixelFormat(&picture.format);
    if (SUCCEEDED(result))
        result = frame->GetSize(&picture.width, &picture.height);
    if (SUCCEEDED(result))
        result = frame->GetResolution(&picture.dpiX, &picture.dpiY);
    Com<IWICBitmapSource> converted;
    if (SUCCEEDED(result))
        result = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, converted.out());
    if (SUCCEEDED(result)) {
        picture.bgra.assign(size_t(picture.width) * picture.height * 4, 0);
        result = converted->CopyPixels(nullptr, picture.width * 4, static_cast<UINT>(picture.bgra.size()),
                                       picture.bgra.data());
    }
    return result;
}

Picture ReadDecoder(HRESULT opened, IWICBitmapDecoder *decoder)
{
    Picture picture;
    picture.result = opened;
    if (FAILED(opened))
        return picture;
    Com<IWICBitmapFrameDecode> frame;
    picture.result = decoder->GetContainerFormat(&picture.container);
    if (SUCCEEDED(picture.result))
        picture.result = decoder->GetFrame(0, frame.out());
    if (SUCCEEDED(picture.result))
        picture.result = ReadFrame(frame.get(), picture);
    return picture;
}

// A file decoded by whichever decoder WIC picks for it.
Picture DecodeFile(const std::string &path)
{
    Com<IWICBitmapDecoder> decoder;
    HRESULT opened = Factory()->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                          WICDecodeMetadataCacheOnDemand, decoder.out());
    return ReadDecoder(opened, decoder.get());
}

// Bytes in memory decoded by whichever decoder WIC picks for them.
Picture DecodeMemory(const Bytes &bytes)
{
    Com<IWICBitmapDecoder> decoder;
    Com<IStream> stream = MemoryStream(bytes);
    HRESULT opened = Factory()->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                        decoder.out());
    return ReadDecoder(opened, decoder.get());
}

// Bytes decoded by the ZQV decoder itself, made through COM.
Picture DecodeWithZqvDecoder(const Bytes &bytes)
{
    Com<IWICBitmapDecoder> decoder;
    HRESULT opened = CoCreateInstance(CLSID_ZqvDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                                      decoder.outVoid());
    Com<IStream> stream = MemoryStream(bytes);
    if (SUCCEEDED(opened))
        opened = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
    return ReadDecoder(opened, decoder.get());
}

// A BMP file decoded by WIC's own BMP decoder.
Picture DecodeBmp(const Bytes &bmp)
{
    Com<IWICBitmapDecoder> decoder;
    Com<IStream> stream = MemoryStream(bmp);
    HRESULT opened = Factory()->CreateDecoder(GUID_ContainerFormatBmp, nullptr, decoder.out());
    if (SUCCEEDED(opened))
        opened = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
    return ReadDecoder(opened, decoder.get());
}

// Empty when the two are the same picture; else the first difference.
std::string Difference(const Picture &expected, const Picture &got)
{
    if (FAILED(got.result))
        return "failed with " + Hex(got.result);
    if (got.container != GUID_ContainerFormatZqv)
        return "not decoded by the ZQV decoder";
    if (expected.format != got.format)
        return "pixel format differs";
    if (expected.width != got.width || expected.height != got.height)
        return "size " + std::to_string(got.width) + " x " + std::to_string(got.height) + ", expected " +
               std::to_string(expected.width) + " x " + std::to_string(expected.height);
    if (expected.dpiX != got.dpiX || expected.dpiY != got.dpiY)
        return "resolution differs";
    for (size_t at = 0; at < expected.bgra.size(); at += 4)
        if (std::memcmp(&expected.bgra[at], &got.bgra[at], 4) != 0)
            return "pixel (" + std::to_string(at / 4 % expected.width) + ", " +
                   std::to_string(at / 4 / expected.width) + ") differs";
    return "";
}

// ---------------------------------------------------------------------------
// The registry, as the tests look at it.

#ifdef _WIN64
constexpr REGSAM OwnView = KEY_WOW64_64KEY, OtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM OwnView = KEY_WOW64_32KEY, OtherView = KEY_WOW64_64KEY;
#endif

std::wstring ClassesKey(const std::wstring &below) { return L"SOFTWARE\\Classes\\" + below; }
std::wstring DecoderKey() { return L"CLSID\\" + GuidText(CLSID_ZqvDecoder); }
std::wstring ProviderKey() { return L"CLSID\\" + GuidText(CLSID_ZqvThumbnailProvider); }
std::wstring InstanceKey()
{
    return L"CLSID\\" + GuidText(CATID_WICBitmapDecoders) + L"\\Instance\\" + GuidText(CLSID_ZqvDecoder);
}
std::wstring ThumbnailHandlerKey() { return L".zqv\\ShellEx\\" + GuidText(__uuidof(IThumbnailProvider)); }

bool KeyExists(const std::wstring &below, REGSAM view = OwnView)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassesKey(below).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A value's data and type, or nothing.
struct Value {
    DWORD type = REG_NONE;
    Bytes data;
    std::wstring Text() const
    {
        return type == REG_SZ ? std::wstring(reinterpret_cast<const wchar_t *>(data.data())) : L"";
    }
    DWORD Number() const
    {
        DWORD number = 0;
        if (type == REG_DWORD)
            std::memcpy(&number, data.data(), sizeof number);
        return number;
    }
};

std::optional<Value> ReadValue(const std::wstring &below, const wchar_t *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassesKey(below).c_str(), 0, KEY_READ | OwnView, &key) != ERROR_SUCCESS)
        return std::nullopt;
    Value value;
    DWORD bytes = 0;
    LONG result = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &bytes);
    value.data.assign(bytes + sizeof(wchar_t), 0);
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &bytes);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::wstring ReadText(const std::wstring &below, const wchar_t *name)
{
    std::optional<Value> value = ReadValue(below, name);
    return value ? value->Text() : L"(none)";
}

void WriteText(const std::wstring &below, const wchar_t *name, const wchar_t *text)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClassesKey(below).c_str(), 0, nullptr, 0,
                                             KEY_WRITE | OwnView, nullptr, &key, nullptr));
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// ---------------------------------------------------------------------------
// The server under test.

std::wstring ServerPath()
{
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path = program;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"zqvwic.dll";
}

// regsvr32 run on the server, as an administrator runs it: its exit status.
DWORD RunRegsvr32(const wchar_t *options)
{
    std::wstring command = L"regsvr32.exe /s " + std::wstring(options) + L" \"" + ServerPath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

// The server's module, as COM loaded it, and its exports.
struct Server {
    HMODULE module = GetModuleHandleW(ServerPath().c_str());
    template <typename Function> Function *Export(const char *name) const
    {
        return reinterpret_cast<Function *>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    }
    HRESULT CanUnloadNow() const
    {
        auto *canUnload = Export<HRESULT WINAPI()>("DllCanUnloadNow");
        return canUnload ? canUnload() : E_FAIL;
    }
};

// Each test leaves no object of the server alive: every path released
// what it took.
class Wic : public testing::Test {
protected:
    void TearDown() override
    {
        Server server;
        if (server.module != nullptr) {
            EXPECT_EQ(S_OK, server.CanUnloadNow()) << "an object of the server is still alive";
        }
    }
};

// Registers the server before WIC is first asked for a decoder (wine reads
// the decoders' patterns once a process), in a single-threaded apartment,
// as Explorer calls a thumbnail provider from.
class ServerRegistration : public testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(0u, RunRegsvr32(L"")) << "regsvr32 could not register the server";
    }
    void TearDown() override { CoUninitialize(); }
};

testing::Environment *const registration = testing::AddGlobalTestEnvironment(new ServerRegistration);

// ---------------------------------------------------------------------------
// Registration and discovery.

TEST_F(Wic, RegistrationWritesTheServerInItsOwnViewWithEveryStartAZlibWriterGives)
{
    std::wstring server = ServerPath();
    struct Expected {
        std::wstring key;
        const wchar_t *name;
        std::wstring text;
    };
    const Expected texts[] = {
        {DecoderKey() + L"\\InprocServer32", nullptr, server},
        {DecoderKey() + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {DecoderKey(), L"ContainerFormat", GuidText(GUID_ContainerFormatZqv)},
        {DecoderKey(), L"Vendor", GuidText(GUID_VendorZqv)},
        {DecoderKey(), L"FileExtensions", L".zqv"},
        {DecoderKey(), L"MimeTypes", L"image/x-zqv"},
        {InstanceKey(), L"CLSID", GuidText(CLSID_ZqvDecoder)},
        {ProviderKey() + L"\\InprocServer32", nullptr, server},
        {ProviderKey() + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {L".zqv", L"Content Type", L"image/x-zqv"},
        {L".zqv", L"PerceivedType", L"image"},
        {ThumbnailHandlerKey(), nullptr, GuidText(CLSID_ZqvThumbnailProvider)},
    };
    for (const Expected &expected : texts) {
        std::wstring got = ReadText(expected.key, expected.name);
        EXPECT_EQ(0, _wcsicmp(expected.text.c_str(), got.c_str()))
            << std::string(expected.key.begin(), expected.key.end()) << ": not what it should be";
    }

    // Every pattern whole (a missing value drops them all), and together
    // every start zlib writes.
    std::set<uint16_t> patterns;
    for (unsigned index = 0;; ++index) {
        std::wstring key = DecoderKey() + L"\\Patterns\\" + std::to_wstring(index);
        if (!KeyExists(key))
            break;
        std::optional<Value> pattern = ReadValue(key, L"Pattern"), mask = ReadValue(key, L"Mask");
        std::optional<Value> position = ReadValue(key, L"Position"), length = ReadValue(key, L"Length");
        ASSERT_TRUE(pattern && mask && position && length) << "pattern " << index << " lacks a value";
        EXPECT_EQ(0u, position->Number());
        ASSERT_EQ(2u, length->Number());
        EXPECT_EQ(REG_BINARY, pattern->type);
        EXPECT_EQ(0xFF, mask->data[0]);
        EXPECT_EQ(0xFF, mask->data[1]);
        patterns.insert(uint16_t(pattern->data[0] << 8 | pattern->data[1]));
    }
    EXPECT_EQ(ContainerStartCount, patterns.size());
    for (uint16_t start : ZlibWrittenStarts())
        EXPECT_TRUE(patterns.count(start)) << "zlib writes a start no pattern matches: " << std::hex << start;

    // The other view is the other DLL's.
    EXPECT_FALSE(KeyExists(DecoderKey(), OtherView));
    EXPECT_FALSE(KeyExists(ProviderKey(), OtherView));
}

TEST_F(Wic, EnumerationListsTheDecoderWithItsExtensionMimeTypeAndFormats)
{
    Com<IEnumUnknown> decoders;
    ASSERT_EQ(S_OK, Factory()->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, decoders.out()));
    Com<IWICBitmapDecoderInfo> zqv;
    for (;;) {
        Com<IUnknown> item;
        ULONG fetched = 0;
        if (decoders->Next(1, item.out(), &fetched) != S_OK)
            break;
        Com<IWICBitmapDecoderInfo> info;
        CLSID clsid;
        if (SUCCEEDED(item->QueryInterface(IID_IWICBitmapDecoderInfo, info.outVoid())) &&
            SUCCEEDED(info->GetCLSID(&clsid)) && clsid == CLSID_ZqvDecoder)
            item->QueryInterface(IID_IWICBitmapDecoderInfo, zqv.outVoid());
    }
    ASSERT_TRUE(zqv) << "WIC does not list the ZQV decoder";
    wchar_t text[64];
    UINT length = 0;
    ASSERT_EQ(S_OK, zqv->GetFileExtensions(64, text, &length));
    EXPECT_STREQ(L".zqv", text);
    ASSERT_EQ(S_OK, zqv->GetMimeTypes(64, text, &length));
    EXPECT_STREQ(L"image/x-zqv", text);
    GUID container;
    ASSERT_EQ(S_OK, zqv->GetContainerFormat(&container));
    EXPECT_TRUE(container == GUID_ContainerFormatZqv);

    // Every pixel format a fixture's frame has is among those listed.
    GUID formats[32];
    UINT formatCount = 0;
    ASSERT_EQ(S_OK, zqv->GetPixelFormats(32, formats, &formatCount));
    for (const NamedBytes &picture : PicturesOfEveryKind()) {
        Picture bmp = DecodeBmp(picture.bytes);
        bool listed = false;
        for (UINT i = 0; i < formatCount; ++i)
            listed = listed || formats[i] == bmp.format;
        EXPECT_TRUE(listed) << picture.name << ": its pixel format is not among the decoder's";
    }

    BOOL matches = FALSE;
    ASSERT_EQ(S_OK, zqv->MatchesPattern(MemoryStream(WrapZqv(MakeBmp(8, 8, 24), 1)).get(), &matches));
    EXPECT_TRUE(matches);
    ASSERT_EQ(S_OK, zqv->MatchesPattern(MemoryStream(MakeBmp(8, 8, 24)).get(), &matches));
    EXPECT_FALSE(matches);
}

// ---------------------------------------------------------------------------
// Decoding.

TEST_F(Wic, EveryKindOfPictureHasItsBmpPixelsByFileAndByStream)
{
    std::vector<NamedBytes> pictures = PicturesOfEveryKind();
    ASSERT_GT(pictures.size(), 8u) << "no BMP fixtures: is ZQV_FIXTURES set?";
    constexpr size_t Megabyte = 1 << 20;
    for (const NamedBytes &picture : pictures) {
        SCOPED_TRACE(picture.name);
        Picture expected = DecodeBmp(picture.bytes);
        ASSERT_EQ(S_OK, expected.result) << "WIC's BMP decoder cannot read it";
        Bytes container = WrapZqv(picture.bytes);
        // A name that says nothing: found by its content.
        TempFile file(container, ".picture");
        EXPECT_EQ("", Difference(expected, DecodeFile(file.Path()))) << "from a file";
        if (container.size() < Megabyte) {
            EXPECT_EQ("", Difference(expected, DecodeMemory(container))) << "from memory";
        }
    }

    // Containers of every window zlib writes: each start is a pattern.
    Bytes bmp = MakeBmp(30, 20, 8, 3);
    Picture expected = DecodeBmp(bmp);
    for (int windowBits = 9; windowBits <= 15; windowBits += 3) {
        z_stream stream{};
        Bytes compressed(compressBound(bmp.size()) + 64);
        deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
        stream.next_in = const_cast<uint8_t *>(bmp.data());
        stream.avail_in = static_cast<uInt>(bmp.size());
        stream.next_out = compressed.data();
        stream.avail_out = static_cast<uInt>(compressed.size());
        deflate(&stream, Z_FINISH);
        compressed.resize(stream.total_out);
        deflateEnd(&stream);
        EXPECT_EQ("", Difference(expected, DecodeMemory(Masked(compressed)))) << "window bits " << windowBits;
    }

    // A BMP file named .zqv is still a BMP file to WIC.
    TempFile named(bmp, ".zqv");
    Picture asBmp = DecodeFile(named.Path());
    EXPECT_EQ(S_OK, asBmp.result);
    EXPECT_TRUE(asBmp.container == GUID_ContainerFormatBmp);
}

// Cut short, a picture is shown as far as it goes and zero bytes for the
// rest: what WIC's BMP decoder makes of the BMP file with its lost bytes
// zero, as the plug-in's blocks hold them.
TEST_F(Wic, APictureCutShortShowsWhatWasDecodedAndZerosForTheRest)
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    ASSERT_NE(nullptr, directory) << "is ZQV_FIXTURES set?";
    for (const char *name : {"truecolor-24bpp.bmp", "palette-4bpp.bmp", "top-down-24bpp.bmp", "rle-8bpp.bmp"}) {
        SCOPED_TRACE(name);
        Bytes bmp = ReadWholeFile(HostPath(std::string(directory) + "/" + name));
        ASSERT_GE(bmp.size(), 54u);
        Bytes container = WrapZqv(bmp);
        uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
        Bytes truncated, decoded;
        for (size_t cut = 1; decoded.size() < pixelOffset + (bmp.size() - pixelOffset) / 2; ++cut) {
            truncated.assign(container.begin(), container.begin() + cut);
            decoded = InflateAsFarAsItGoes(truncated);
        }
        Picture got = DecodeMemory(truncated);
        ASSERT_EQ(S_OK, got.result) << Hex(got.result);
        Bytes zeroed = bmp;
        std::fill(zeroed.begin() + decoded.size(), zeroed.end(), 0);
        Picture expected = DecodeBmp(zeroed);
        if (GetLittle32(bmp, CompressionField) == 0) { // uncompressed: every pixel is known
            EXPECT_EQ("", Difference(expected, got));
            continue;
        }
        // Run-length data: what WIC leaves of the rows never reached is its
        // own affair; the first row, in the file's order the bottom one, was.
        ASSERT_EQ(expected.width, got.width);
        ASSERT_EQ(expected.height, got.height);
        size_t bottom = size_t(got.height - 1) * got.width * 4;
        EXPECT_EQ(0, std::memcmp(&expected.bgra[bottom], &got.bgra[bottom], got.width * 4));
    }
}

// The pictures every reader judges alike, as the codec judges them: those
// the plug-in gives are shown, what the stream held and zero bytes for the
// rest (the padding here is more than any of them lacks: bytes past a BMP
// file's pixel data are nobody's); those it refuses, all for their heads,
// are refused so.
TEST_F(Wic, ThePicturesEveryReaderJudgesAlike)
{
    constexpr int32_t PluginShowsIt = 0;
    constexpr size_t Padding = 1 << 16;
    for (const ReaderCase &c : ReaderCases()) {
        SCOPED_TRACE(c.description);
        Picture got = DecodeWithZqvDecoder(c.container);
        if (c.pictureResult != PluginShowsIt) {
            EXPECT_EQ(Hex(WINCODEC_ERR_BADHEADER), Hex(got.result));
            continue;
        }
        Bytes padded = InflateAsFarAsItGoes(c.container);
        padded.resize(padded.size() + Padding, 0);
        EXPECT_EQ("", Difference(DecodeBmp(padded), got));
    }
}

// What every refusal gives: a failing HRESULT among the documented ones.
bool IsDocumentedRefusal(HRESULT result)
{
    return result == WINCODEC_ERR_UNKNOWNIMAGEFORMAT || result == WINCODEC_ERR_BADHEADER ||
           result == WINCODEC_ERR_BADIMAGE || result == E_OUTOFMEMORY;
}

// The decoder's answer to each reason every front end refuses a container
// for.
HRESULT ResultFor(RefusalReason reason)
{
    switch (reason) {
    case RefusalReason::NotZqv:
        return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    case RefusalReason::TooManyPixels:
        return E_OUTOFMEMORY;
    case RefusalReason::BadHead:
        return WINCODEC_ERR_BADHEADER;
    case RefusalReason::Damaged:
    case RefusalReason::Bomb:
        break;
    }
    return WINCODEC_ERR_BADIMAGE;
}

TEST_F(Wic, DamagedHostileAndForeignDataAreRefusedWithTheirResult)
{
    std::vector<HostileContainer> refusals = HostileContainers();
    refusals.push_back({"7 bits per pixel, which WIC's BMP decoder has no format for",
                        WrapZqv(Patched32(MakeBmp(64, 48, 24), BitsField, 7)), RefusalReason::BadHead});
    for (const HostileContainer &refusal : refusals) {
        SCOPED_TRACE(refusal.description);
        EXPECT_EQ(Hex(ResultFor(refusal.reason)), Hex(DecodeWithZqvDecoder(refusal.container).result));
        // WIC itself, which tries every decoder whose patterns match: only
        // a BMP file is anyone's picture.
        Picture byWic = DecodeMemory(refusal.container);
        EXPECT_TRUE(FAILED(byWic.result) || byWic.container == GUID_ContainerFormatBmp);
    }

    std::vector<NamedBytes> regressions = PictureFuzzRegressions();
    EXPECT_FALSE(regressions.empty()) << "no fuzz regressions: is ZQV_PICTURE_REGRESSIONS set?";
    for (const NamedBytes &regression : regressions) {
        HRESULT result = DecodeWithZqvDecoder(regression.bytes).result;
        EXPECT_TRUE(SUCCEEDED(result) || IsDocumentedRefusal(result)) << regression.name << ": " << Hex(result);
    }
}

TEST_F(Wic, QueryCapabilityJudgesTheHeadAndLeavesTheStreamWhereItWas)
{
    struct Case {
        const char *description;
        Bytes data;
        DWORD capability;
    };
    const Case cases[] = {
        {"a picture", WrapZqv(MakeBmp(30, 20, 24)),
         WICBitmapDecoderCapabilityCanDecodeAllImages | WICBitmapDecoderCapabilityCanDecodeSomeImages},
        {"a BMP file", MakeBmp(30, 20, 24), 0},
        {"a container of text", WrapZqv(Bytes(500, 'x')), 0},
    };
    for (const Case &check : cases) {
        SCOPED_TRACE(check.description);
        Com<IWICBitmapDecoder> decoder;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ZqvDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                                         decoder.outVoid()));
        Com<IStream> stream = MemoryStream(check.data);
        LARGE_INTEGER seven;
        seven.QuadPart = 7;
        stream->Seek(seven, STREAM_SEEK_SET, nullptr);
        DWORD capability = 0xFFFF;
        EXPECT_EQ(S_OK, decoder->QueryCapability(stream.get(), &capability));
        EXPECT_EQ(check.capability, capability);
        LARGE_INTEGER none{};
        ULARGE_INTEGER position{};
        stream->Seek(none, STREAM_SEEK_CUR, &position);
        EXPECT_EQ(7u, position.QuadPart);
    }
}

// The decoder object's own rules: its state, its frame's hold on it, its
// references, and the module's count of them.
TEST_F(Wic, ObjectsCountTheirReferencesAndTheModuleUnloadsOnlyWhenNoneIsLeft)
{
    Server server;
    ASSERT_NE(nullptr, server.module) << "the server is not loaded";
    auto *getClassObject = server.Export<HRESULT WINAPI(REFCLSID, REFIID, void **)>("DllGetClassObject");
    ASSERT_NE(nullptr, getClassObject);

    Com<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_ZqvDecoder, IID_IClassFactory, factory.outVoid()));
    EXPECT_EQ(S_FALSE, server.CanUnloadNow()) << "a factory is held";
    Com<IClassFactory> unknownClass;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(GUID_VendorZqv, IID_IClassFactory, unknownClass.outVoid()));
    Com<IUnknown> aggregated;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.get(), IID_IUnknown, aggregated.outVoid()));
    Com<IWICBitmapFrameDecode> wrongInterface;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IWICBitmapFrameDecode, wrongInterface.outVoid()));

    IWICBitmapDecoder *decoder = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IWICBitmapDecoder, reinterpret_cast<void **>(&decoder)));
    Com<IWICBitmapFrameDecode> early;
    EXPECT_EQ(WINCODEC_ERR_NOTINITIALIZED, decoder->GetFrame(0, early.out()));
    Com<IStream> stream = MemoryStream(WrapZqv(MakeBmp(12, 10, 8)));
    ASSERT_EQ(S_OK, decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand));
    EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand));
    IWICBitmapFrameDecode *frame = nullptr;
    ASSERT_EQ(S_OK, decoder->GetFrame(0, &frame));
    Com<IWICBitmapFrameDecode> second;
    EXPECT_EQ(E_INVALIDARG, decoder->GetFrame(1, second.out()));
    EXPECT_EQ(3u, decoder->AddRef()) << "the caller's, the frame's and this one";
    EXPECT_EQ(2u, decoder->Release());
    EXPECT_EQ(1u, decoder->Release()) << "the frame still holds the decoder";
    factory.out(); // released
    EXPECT_EQ(S_FALSE, server.CanUnloadNow()) << "the frame is alive";
    Picture picture;
    EXPECT_EQ(S_OK, ReadFrame(frame, picture)) << "the frame outlives the caller's decoder";
    EXPECT_EQ(0u, frame->Release());
    EXPECT_EQ(S_OK, server.CanUnloadNow());

    // LockServer keeps the module, without an object.
    ASSERT_EQ(S_OK, getClassObject(CLSID_ZqvThumbnailProvider, IID_IClassFactory, factory.outVoid()));
    factory->LockServer(TRUE);
    factory.out();
    EXPECT_EQ(S_FALSE, server.CanUnloadNow());
    ASSERT_EQ(S_OK, getClassObject(CLSID_ZqvThumbnailProvider, IID_IClassFactory, factory.outVoid()));
    factory->LockServer(FALSE);
}

// Decoders made from multithreaded apartments, several at once, as a
// server program decodes: the decoder is registered for both kinds.
TEST_F(Wic, DecodersWorkInParallelFromMultithreadedApartments)
{
    std::vector<Bytes> bmps;
    for (uint32_t seed = 1; seed <= 4; ++seed)
        bmps.push_back(MakeBmp(60 + seed, 40, seed % 2 ? 24 : 8, seed));
    std::vector<std::string> differences(bmps.size());
    std::vector<std::function<void()>> threads;
    for (size_t i = 0; i < bmps.size(); ++i)
        threads.push_back([&, i] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int round = 0; round < 5 && differences[i].empty(); ++round)
                differences[i] = Difference(DecodeBmp(bmps[i]), DecodeWithZqvDecoder(WrapZqv(bmps[i])));
            CoUninitialize();
        });
    RunThreads(threads, 120000);
    for (size_t i = 0; i < bmps.size(); ++i)
        EXPECT_EQ("", differences[i]) << "thread " << i;
}

// ---------------------------------------------------------------------------
// Thumbnails, from the provider COM makes, called as Explorer calls it.

struct Thumbnail {
    HRESULT result = E_FAIL;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    DIBSECTION section{};
    Bytes bgra;
};

Thumbnail ThumbnailOf(const Bytes &file, UINT longest)
{
    Thumbnail thumbnail;
    Com<IInitializeWithStream> initialize;
    thumbnail.result = CoCreateInstance(CLSID_ZqvThumbnailProvider, nullptr, CLSCTX_INPROC_SERVER,
                                        __uuidof(IInitializeWithStream), initialize.outVoid());
    Com<IThumbnailProvider> provider;
    if (SUCCEEDED(thumbnail.result))
        thumbnail.result = initialize->Initialize(MemoryStream(file).get(), STGM_READ);
    if (SUCCEEDED(thumbnail.result))
        thumbnail.result = initialize->QueryInterface(__uuidof(IThumbnailProvider), provider.outVoid());
    HBITMAP bitmap = nullptr;
    if (SUCCEEDED(thumbnail.result))
        thumbnail.result = provider->GetThumbnail(longest, &bitmap, &thumbnail.alpha);
    if (bitmap == nullptr)
        return thumbnail;
    GetObjectW(bitmap, sizeof thumbnail.section, &thumbnail.section);
    const BITMAP &bits = thumbnail.section.dsBm;
    if (bits.bmBits != nullptr && bits.bmBitsPixel == 32) {
        const auto *start = static_cast<const uint8_t *>(bits.bmBits);
        thumbnail.bgra.assign(start, start + size_t(bits.bmWidthBytes) * bits.bmHeight);
    }
    DeleteObject(bitmap);
    return thumbnail;
}

// The original BMP converted and scaled as WIC does it, to width x height.
Bytes ScaledOriginal(const Bytes &bmp, UINT width, UINT height)
{
    Com<IWICImagingFactory> factory = Factory();
    Com<IWICBitmapDecoder> decoder;
    Com<IWICBitmapFrameDecode> frame;
    Com<IWICBitmapSource> converted;
    Com<IWICBitmapScaler> scaler;
    Com<IStream> stream = MemoryStream(bmp);
    factory->CreateDecoder(GUID_ContainerFormatBmp, nullptr, decoder.out());
    decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
    decoder->GetFrame(0, frame.out());
    WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), converted.out());
    factory->CreateBitmapScaler(scaler.out());
    scaler->Initialize(converted.get(), width, height, WICBitmapInterpolationModeFant);
    Bytes bgra(size_t(width) * height * 4);
    scaler->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgra.size()), bgra.data());
    return bgra;
}

TEST_F(Wic, ThumbnailsFitTheirLongerSideAndHaveTheScaledOriginalsPixels)
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    ASSERT_NE(nullptr, directory) << "is ZQV_FIXTURES set?";
    Bytes alphaBmp = ReadWholeFile(HostPath(std::string(directory) + "/truecolor-32bpp.bmp"));
    struct Case {
        const char *description;
        Bytes bmp;
        UINT longest;
        LONG width, height;
        WTS_ALPHATYPE alpha;
    };
    const Case cases[] = {
        {"wide", MakeBmp(90, 60, 24), 32, 32, 21, WTSAT_RGB},
        {"tall, bottom-up 8 bits", MakeBmp(40, 100, 8), 50, 20, 50, WTSAT_RGB},
        {"square, top-down", MakeBmp(64, -64, 24), 16, 16, 16, WTSAT_RGB},
        {"a line", MakeBmp(200, 1, 24), 40, 40, 1, WTSAT_RGB},
        {"smaller than asked: never enlarged", MakeBmp(17, 5, 4), 256, 17, 5, WTSAT_RGB},
        {"with alpha", alphaBmp, 20, 20, 11, WTSAT_ARGB},
    };
    for (const Case &check : cases) {
        SCOPED_TRACE(check.description);
        Thumbnail thumbnail = ThumbnailOf(WrapZqv(check.bmp), check.longest);
        ASSERT_EQ(S_OK, thumbnail.result) << Hex(thumbnail.result);
        const BITMAP &bits = thumbnail.section.dsBm;
        EXPECT_EQ(32, bits.bmBitsPixel);
        ASSERT_EQ(check.width, bits.bmWidth);
        ASSERT_EQ(check.height, bits.bmHeight);
        EXPECT_EQ(check.alpha, thumbnail.alpha);
        // The section's rows in memory, first to last, are the picture's
        // from the top: a top-down section.
        EXPECT_TRUE(ScaledOriginal(check.bmp, check.width, check.height) == thumbnail.bgra) << "pixels differ";
    }

    // What Explorer may meet besides.
    Thumbnail damaged = ThumbnailOf(Bytes(100, 'x'), 32);
    EXPECT_EQ(Hex(WINCODEC_ERR_UNKNOWNIMAGEFORMAT), Hex(damaged.result));
    Com<IThumbnailProvider> provider;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ZqvThumbnailProvider, nullptr, CLSCTX_INPROC_SERVER,
                                     __uuidof(IThumbnailProvider), provider.outVoid()));
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha;
    EXPECT_EQ(E_UNEXPECTED, provider->GetThumbnail(32, &bitmap, &alpha)) << "not initialised";
    Com<IInitializeWithStream> initialize;
    ASSERT_EQ(S_OK, provider->QueryInterface(__uuidof(IInitializeWithStream), initialize.outVoid()));
    Com<IStream> stream = MemoryStream(WrapZqv(MakeBmp(8, 8, 24)));
    EXPECT_EQ(S_OK, initialize->Initialize(stream.get(), STGM_READ));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED), initialize->Initialize(stream.get(), STGM_READ));
}

TEST_F(Wic, TheServerCarriesItsVersion)
{
    std::wstring path = ServerPath();
    DWORD handle = 0;
    DWORD bytes = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(bytes, 0u) << "no version resource";
    Bytes info(bytes);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, bytes, info.data()));
    for (auto [name, expected] : {std::pair{L"FileVersion", L"" ZQV_FILE_VERSION},
                                  std::pair{L"OriginalFilename", L"zqvwic.dll"}}) {
        wchar_t *text = nullptr;
        UINT length = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void **>(&text), &length));
        EXPECT_STREQ(expected, text);
    }
}

// Last: regsvr32 /u removes every key registration wrote and nothing else:
// a value another program keeps under .zqv stays, and with it the key.
TEST_F(Wic, UnregistrationRemovesEveryKeyItWroteAndNothingElse)
{
    WriteText(L".zqv\\OpenWithProgids", L"OtherProgram.zqv", L"");
    ASSERT_EQ(0u, RunRegsvr32(L"/u"));
    for (const std::wstring &key : {DecoderKey(), ProviderKey(), InstanceKey(), ThumbnailHandlerKey()})
        EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end()) << " is left";
    EXPECT_FALSE(ReadValue(L".zqv", L"Content Type"));
    EXPECT_FALSE(ReadValue(L".zqv", L"PerceivedType"));
    EXPECT_TRUE(ReadValue(L".zqv\\OpenWithProgids", L"OtherProgram.zqv")) << "another's value was removed";

    // Registered again and removed with nothing else there, the file type
    // goes too; a second removal finds nothing to do.
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ClassesKey(L".zqv\\OpenWithProgids").c_str(), OwnView, 0);
    Server server;
    auto *registerServer = server.Export<HRESULT WINAPI()>("DllRegisterServer");
    auto *unregisterServer = server.Export<HRESULT WINAPI()>("DllUnregisterServer");
    if (registerServer == nullptr) { // not loaded in this process: load it
        server.module = LoadLibraryW(ServerPath().c_str());
        registerServer = server.Export<HRESULT WINAPI()>("DllRegisterServer");
        unregisterServer = server.Export<HRESULT WINAPI()>("DllUnregisterServer");
    }
    ASSERT_NE(nullptr, registerServer);
    ASSERT_EQ(S_OK, registerServer());
    EXPECT_TRUE(KeyExists(DecoderKey()));
    ASSERT_EQ(S_OK, unregisterServer());
    EXPECT_FALSE(KeyExists(L".zqv"));
    EXPECT_FALSE(KeyExists(DecoderKey()));
    EXPECT_EQ(S_OK, unregisterServer());
}

} // namespace
