// The gdk-pixbuf loader module for ZQV pictures (desktop/pixbuf_loader.h).
// The platform stand-in's TRUE and FALSE first: GLib defines its own only
// where none are.
#include "codec/container.h"
#include "plugin/api.h"

#include "desktop/pixbuf_loader.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// The format's signature: every start a container can have (codec/container.h).

constexpr size_t SignatureCount = ContainerStartCount;

// One signature as gdk-pixbuf matches it: the bytes, and a mask whose ' '
// means "this byte" and 'z' "a zero byte" (a zero cannot stand in the
// prefix, which is a C string).
struct SignatureText {
    char prefix[3];
    char mask[3];
};

struct SignatureTexts {
    SignatureText texts[SignatureCount];
};

constexpr SignatureTexts MakeSignatureTexts()
{
    SignatureTexts all{};
    size_t next = 0;
    for (unsigned first = 0; first < 256; ++first)
        for (unsigned second = 0; second < 256; ++second) {
            if (!IsContainerStart(static_cast<uint8_t>(first), static_cast<uint8_t>(second)))
                continue;
            SignatureText &text = all.texts[next++];
            const unsigned bytes[2] = {first, second};
            for (int i = 0; i < 2; ++i) {
                text.prefix[i] = bytes[i] ? static_cast<char>(bytes[i]) : ' ';
                text.mask[i] = bytes[i] ? ' ' : 'z';
            }
        }
    return all;
}

// gdk-pixbuf takes the signature through pointers to char, so the texts live
// in writable storage; they are made at compile time all the same.
SignatureTexts signatureTexts = MakeSignatureTexts();
GdkPixbufModulePattern signature[SignatureCount + 1];

// ---------------------------------------------------------------------------
// One load.

constexpr uint32_t ZlibHeaderBytes = ContainerStartBytes;

// The kind number of the loader's ByteSink, which only the decoder writes to.
constexpr int32_t SinkPixbufLoader = 3;

constexpr const char *ErrorPrefix = "ZQV picture: ";

// A load, from begin_load to stop_load; gdk-pixbuf holds it as the context.
struct ZqvLoad {
    ByteSink sink; // the decoder's view of the load; must stay first

    GdkPixbufModuleSizeFunc sizeFunc;
    GdkPixbufModulePreparedFunc preparedFunc;
    GdkPixbufModuleUpdatedFunc updatedFunc;
    gpointer userData;

    StreamDecoder decoder;
    DecodeAreas areas;    // in areasMemory
    uint8_t *areasMemory; // the decode's work areas, of a container of unknown length
    uint8_t containerStart[ZlibHeaderBytes];
    uint32_t containerStartLength;

    GdkPixbufLoader *bmp; // gdk-pixbuf's BMP reader, fed the decoded file
    uint8_t head[JudgedHeadBytes];
    uint32_t headLength;
    bool headJudged;
    uint64_t decoded;     // bytes of the BMP file so far
    uint64_t mostDecoded; // once the head is judged: more is a bomb
    RowCoverage rows;     // once the head is judged: the rows the pixel data reaches

    GdkPixbuf *picture; // the BMP reader's, once prepared
    bool sizeDeclined;  // the caller wants no pixels
    GError *error;      // the first failure
};

ZqvLoad &LoadOf(ByteSink *sink) { return *reinterpret_cast<ZqvLoad *>(sink); }

// Records the load's failure (the first one counts) and returns false.
G_GNUC_PRINTF(3, 4) bool Fail(ZqvLoad &load, GdkPixbufError code, const char *format, ...)
{
    if (load.error == nullptr) {
        va_list arguments;
        va_start(arguments, format);
        char *message = g_strdup_vprintf(format, arguments);
        va_end(arguments);
        load.error = g_error_new(GDK_PIXBUF_ERROR, code, "%s%s", ErrorPrefix, message);
        g_free(message);
    }
    return false;
}

bool StartsAsContainer(const ZqvLoad &load)
{
    return load.containerStartLength == ZlibHeaderBytes &&
           IsContainerStart(load.containerStart[0], load.containerStart[1]);
}

bool FailNotZqv(ZqvLoad &load)
{
    return Fail(load, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "not a ZQV picture (it does not start as a zlib stream)");
}

// Hands decoded bytes to the BMP reader, whose own error, if it refuses
// them, becomes the load's.
bool PassToBmpReader(ZqvLoad &load, const uint8_t *bytes, uint32_t count)
{
    GError *error = nullptr;
    if (gdk_pixbuf_loader_write(load.bmp, bytes, count, &error))
        return true;
    g_prefix_error(&error, "%s", ErrorPrefix);
    if (load.error == nullptr)
        load.error = error;
    else
        g_error_free(error);
    return false;
}

// Refuses a head that JudgePictureHead does not find a picture, with the
// error that says why.
bool FailHead(ZqvLoad &load, const PictureHead &head)
{
    const BitmapHeader &header = head.header;
    switch (head.verdict) {
    case HeadVerdict::NotBmp:
        return Fail(load, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "not a ZQV picture (it does not decode to a BMP file)");
    case HeadVerdict::PixelsInHeaders:
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "its pixel data would start at byte %u, inside its headers (byte %u at the least)",
                    head.pixelOffset, LeastPixelDataOffset);
    case HeadVerdict::HeaderTooLarge:
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "its bitmap header claims %u bytes, more than any BMP's",
                    header.size);
    case HeadVerdict::OversizePalette:
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "its header claims %u colours, more than %u bits per pixel can index", header.colorsUsed,
                    header.bits);
    case HeadVerdict::TooManyPixels:
        return Fail(load, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "%u x %u pixels is more than this loader takes (%" G_GUINT64_FORMAT " pixels at most)",
                    header.width, header.height, MostPixels);
    default: // PixelsPastPicture
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "its pixel data would start at byte %u, past all a %u x %u picture holds", head.pixelOffset,
                    header.width, header.height);
    }
}

// Judges the head of the BMP file before the BMP reader sees it (all of it,
// or all the stream holds), and sets the limit of what the file may decode
// to.
bool JudgeHead(ZqvLoad &load)
{
    load.headJudged = true;
    PictureHead head = JudgePictureHead(load.head, load.headLength);
    if (head.verdict != HeadVerdict::Picture)
        return FailHead(load, head);
    load.mostDecoded = head.mostDecoded;
    StartRowCoverage(&load.rows, load.head, load.headLength);
    return PassToBmpReader(load, load.head, load.headLength);
}

// The decoded file as it comes: its head is kept until it can be judged,
// then everything goes to the BMP reader, up to the bomb limit.
bool TakeDecoded(ZqvLoad &load, const uint8_t *bytes, uint32_t count)
{
    load.decoded += count;
    if (!load.headJudged) {
        uint32_t taken = std::min(count, JudgedHeadBytes - load.headLength);
        std::memcpy(load.head + load.headLength, bytes, taken);
        load.headLength += taken;
        bytes += taken;
        count -= taken;
        if (load.headLength < JudgedHeadBytes)
            return true;
        if (!JudgeHead(load))
            return false;
    }
    if (load.decoded > load.mostDecoded)
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "its stream decodes to more than its picture can hold (stopped after %" G_GUINT64_FORMAT
                    " bytes): a decompression bomb",
                    load.decoded);
    CoverRows(&load.rows, bytes, count);
    if (count > 0 && !PassToBmpReader(load, bytes, count))
        return false;
    // A caller that wants no pixels ends the decode here.
    return !load.sizeDeclined;
}

uint32_t WriteDecoded(ByteSink *sink, const uint8_t *bytes, uint32_t count)
{
    return count == 0 || TakeDecoded(LoadOf(sink), bytes, count) ? count : 0;
}

// ---------------------------------------------------------------------------
// The BMP reader's reports, passed on.

void OnSizePrepared(GdkPixbufLoader *bmp, int width, int height, gpointer data)
{
    ZqvLoad &load = *static_cast<ZqvLoad *>(data);
    load.sizeFunc(&width, &height, load.userData);
    if (width == 0 || height == 0) {
        // The BMP reader then stops, before it takes memory for the picture.
        load.sizeDeclined = true;
        gdk_pixbuf_loader_set_size(bmp, 0, 0);
    }
}

// Clears a new picture, writing only where it is not zero already. A new
// GdkPixbuf's pixels are whatever the allocator gave (gdk-pixbuf promises no
// clearing; 2.42 happens to take them zeroed from calloc). Reading untouched
// zeroed memory takes none, where writing zeros over it would take all that a
// header alone asked for before a single row is decoded.
void ClearPicture(GdkPixbuf *picture)
{
    constexpr gsize PageBytes = 4096;
    guint8 *pixels = gdk_pixbuf_get_pixels(picture);
    gsize length = gdk_pixbuf_get_byte_length(picture);
    for (gsize at = 0; at < length; at += PageBytes) {
        gsize count = std::min(PageBytes, length - at);
        guint8 *page = pixels + at;
        if (page[0] != 0 || std::memcmp(page, page + 1, count - 1) != 0)
            std::memset(page, 0, count);
    }
}

void OnAreaPrepared(GdkPixbufLoader *bmp, gpointer data)
{
    ZqvLoad &load = *static_cast<ZqvLoad *>(data);
    load.picture = gdk_pixbuf_loader_get_pixbuf(bmp);
    ClearPicture(load.picture);
    load.preparedFunc(load.picture, nullptr, load.userData);
}

void OnAreaUpdated(GdkPixbufLoader *, int x, int y, int width, int height, gpointer data)
{
    ZqvLoad &load = *static_cast<ZqvLoad *>(data);
    load.updatedFunc(load.picture, x, y, width, height, load.userData);
}

// ---------------------------------------------------------------------------
// The module's calls.

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError **error)
{
    auto *load = g_try_new0(ZqvLoad, 1);
    uint8_t *areasMemory = static_cast<uint8_t *>(g_try_malloc(DecodeAreasBytes(UINT64_MAX)));
    if (load == nullptr || areasMemory == nullptr) {
        g_free(load);
        g_free(areasMemory);
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "%snot enough memory to start decoding", ErrorPrefix);
        return nullptr;
    }
    load->bmp = gdk_pixbuf_loader_new_with_type("bmp", error);
    if (load->bmp == nullptr) {
        g_prefix_error(error, "%sgdk-pixbuf's BMP loader is needed: ", ErrorPrefix);
        g_free(load);
        g_free(areasMemory);
        return nullptr;
    }
    g_signal_connect(load->bmp, "size-prepared", G_CALLBACK(OnSizePrepared), load);
    g_signal_connect(load->bmp, "area-prepared", G_CALLBACK(OnAreaPrepared), load);
    g_signal_connect(load->bmp, "area-updated", G_CALLBACK(OnAreaUpdated), load);
    load->sizeFunc = sizeFunc;
    load->preparedFunc = preparedFunc;
    load->updatedFunc = updatedFunc;
    load->userData = userData;
    load->mostDecoded = UINT64_MAX;
    load->sink.kind = SinkPixbufLoader;
    load->sink.Write = WriteDecoded;
    load->decoder.sink = &load->sink;
    load->areasMemory = areasMemory;
    load->areas = PlaceDecodeAreas(areasMemory, UINT64_MAX);
    load->decoder.areas = &load->areas;
    load->decoder.progress = DefaultProgress;
    if (StartFedDecoder(&load->decoder) != ResultOk)
        Fail(*load, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory to start decoding");
    return load;
}

// The error for a decode that failed, where the sink did not say already.
void FailDecode(ZqvLoad &load, int32_t result)
{
    if (result == ResultBrokenData && !StartsAsContainer(load))
        FailNotZqv(load);
    else if (result == ResultBrokenData)
        Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "damaged data (the compressed stream is corrupt)");
    else if (result == ResultNoMemory)
        Fail(load, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "not enough memory to decode");
    else
        Fail(load, GDK_PIXBUF_ERROR_FAILED, "decoding failed (result %d)", result);
}

gboolean LoadIncrement(gpointer context, const guchar *bytes, guint count, GError **error)
{
    ZqvLoad &load = *static_cast<ZqvLoad *>(context);
    if (load.sizeDeclined)
        return TRUE;
    if (load.error == nullptr) {
        uint32_t startBytes = std::min(count, ZlibHeaderBytes - load.containerStartLength);
        std::memcpy(load.containerStart + load.containerStartLength, bytes, startBytes);
        load.containerStartLength += startBytes;
        if (load.containerStartLength == ZlibHeaderBytes && !StartsAsContainer(load))
            FailNotZqv(load);
    }
    if (load.error == nullptr) {
        int32_t result = FeedStreamDecoder(&load.decoder, bytes, count);
        if (result != ResultOk && !load.sizeDeclined)
            FailDecode(load, result);
    }
    if (load.error == nullptr)
        return TRUE;
    g_propagate_error(error, g_error_copy(load.error));
    return FALSE;
}

// Whether the picture was loaded whole; the load's error says why not.
bool FinishLoad(ZqvLoad &load)
{
    if (load.error == nullptr && !load.sizeDeclined) {
        if (!load.decoder.streamEnded) {
            if (StartsAsContainer(load))
                Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                     "cut short (the data ends after %" G_GUINT64_FORMAT " decoded bytes, before its stream)",
                     load.decoded);
            else
                FailNotZqv(load);
        } else if (!load.headJudged) {
            JudgeHead(load); // a file shorter than the head
        }
    }
    bool healthy = load.error == nullptr && !load.sizeDeclined;
    GError *closing = nullptr;
    if (!gdk_pixbuf_loader_close(load.bmp, healthy ? &closing : nullptr) && healthy) {
        if (closing == nullptr)
            Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the BMP file inside is incomplete");
        else {
            g_prefix_error(&closing, "%s", ErrorPrefix);
            load.error = closing;
        }
    }
    if (load.error != nullptr || load.sizeDeclined)
        return load.error == nullptr;
    if (load.picture == nullptr)
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the BMP file inside ends before its pixels");
    uint32_t rowsReached = RowsReached(&load.rows);
    if (rowsReached < load.rows.header.height)
        return Fail(load, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "its pixel data ends early (%u of %u rows)", rowsReached,
                    load.rows.header.height);
    return true;
}

gboolean StopLoad(gpointer context, GError **error)
{
    auto *load = static_cast<ZqvLoad *>(context);
    bool loaded = FinishLoad(*load);
    EndStreamDecoder(&load->decoder);
    if (!loaded)
        g_propagate_error(error, load->error);
    g_object_unref(load->bmp);
    g_free(load->areasMemory);
    g_free(load);
    return loaded;
}

} // namespace

extern "C" {

G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info)
{
    for (size_t i = 0; i < SignatureCount; ++i)
        signature[i] = {signatureTexts.texts[i].prefix, signatureTexts.texts[i].mask, ZqvSignatureRelevance};
    signature[SignatureCount] = {nullptr, nullptr, 0};
    static gchar name[] = "zqv";
    static gchar domain[] = "ifyzqv";
    static gchar description[] = "ZQV picture";
    static gchar mimeType[] = "image/x-zqv";
    static gchar extension[] = "zqv";
    static gchar *mimeTypes[] = {mimeType, nullptr};
    static gchar *extensions[] = {extension, nullptr};
    info->name = name;
    info->signature = signature;
    info->domain = domain;
    info->description = description;
    info->mime_types = mimeTypes;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = nullptr;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module)
{
    module->begin_load = BeginLoad;
    module->load_increment = LoadIncrement;
    module->stop_load = StopLoad;
}

} // extern "C"
