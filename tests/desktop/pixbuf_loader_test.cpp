// The ZQV loader module, reached through gdk-pixbuf as GTK programs reach it:
// installed into a prefix in the build tree and found through a loaders
// cache made there (GDK_PIXBUF_MODULE_FILE), with ZQV files recognised
// through a MIME database made there (XDG_DATA_DIRS). Every picture is
// compared pixel for pixel with what gdk-pixbuf's own BMP loader makes of
// the BMP file inside.
// The platform stand-in's TRUE and FALSE first: GLib defines its own only
// where none are.
#include "tests/support/fixtures.h"

#include "desktop/pixbuf_loader.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Picture = std::unique_ptr<GdkPixbuf, ObjectUnref>;
struct ErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

constexpr size_t Whole = SIZE_MAX;
constexpr uint32_t PixelOffsetField = 10;
constexpr uint32_t WidthField = 18;
constexpr uint32_t HeightField = 22;
constexpr uint32_t BitsField = 28;

// What a load through a GdkPixbufLoader gave, and what it reported on the way.
struct Load {
    Picture picture; // the loader's picture, kept even when the load failed
    Error error;     // from the write that failed, or from closing
    int prepared = 0;
    uint64_t rowsUpdated = 0;
    size_t pieces = 0;                  // pieces written
    size_t firstUpdateAtPiece = 0;      // 1 = during the first; 0 none
};

void OnPrepared(GdkPixbufLoader *, gpointer data) { static_cast<Load *>(data)->prepared++; }

void OnUpdated(GdkPixbufLoader *, int, int, int, int height, gpointer data)
{
    Load &load = *static_cast<Load *>(data);
    load.rowsUpdated += static_cast<uint64_t>(height);
    if (load.firstUpdateAtPiece == 0)
        load.firstUpdateAtPiece = load.pieces;
}

// Writes data to a loader of the type given in pieces of pieceLength bytes
// and closes it, as a program shows a picture while it arrives.
Load LoadInPieces(const Bytes &data, size_t pieceLength, const char *type = "zqv")
{
    Load load;
    GError *error = nullptr;
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(type, &error);
    if (loader == nullptr) {
        load.error.reset(error);
        return load;
    }
    g_signal_connect(loader, "area-prepared", G_CALLBACK(OnPrepared), &load);
    g_signal_connect(loader, "area-updated", G_CALLBACK(OnUpdated), &load);
    bool written = true;
    for (size_t at = 0; at < data.size() && written; at += pieceLength) {
        load.pieces++;
        written = gdk_pixbuf_loader_write(loader, data.data() + at, std::min(pieceLength, data.size() - at), &error);
    }
    if (written) // a failed write closes the loader itself
        gdk_pixbuf_loader_close(loader, &error);
    load.error.reset(error);
    if (GdkPixbuf *picture = gdk_pixbuf_loader_get_pixbuf(loader))
        load.picture.reset(GDK_PIXBUF(g_object_ref(picture)));
    g_object_unref(loader);
    return load;
}

// Lets the picture go and expects it freed: nothing else may hold it once
// its loader is gone. (The leak checker cannot see a leaked GObject: GLib's
// signal tables point at every instance that has handlers.)
void ExpectFreedOnRelease(Picture &picture, const std::string &what)
{
    if (!picture)
        return;
    gpointer watched = picture.get();
    g_object_add_weak_pointer(G_OBJECT(watched), &watched);
    picture.reset();
    EXPECT_EQ(nullptr, watched) << what << ": the picture is still held (a loader leaked)";
    if (watched != nullptr)
        g_object_remove_weak_pointer(G_OBJECT(watched), &watched);
}

std::string Describe(const GError *error)
{
    return error ? std::string(g_quark_to_string(error->domain)) + " " + std::to_string(error->code) + " \"" +
                       error->message + "\""
                 : "no error";
}

// Empty when the two pictures have the same size, layout and pixels; else
// the first difference.
std::string Difference(GdkPixbuf *expected, GdkPixbuf *got)
{
    int width = gdk_pixbuf_get_width(expected), height = gdk_pixbuf_get_height(expected);
    int channels = gdk_pixbuf_get_n_channels(expected);
    if (width != gdk_pixbuf_get_width(got) || height != gdk_pixbuf_get_height(got) ||
        channels != gdk_pixbuf_get_n_channels(got) ||
        gdk_pixbuf_get_has_alpha(expected) != gdk_pixbuf_get_has_alpha(got))
        return "expected " + std::to_string(width) + " x " + std::to_string(height) + " x " +
               std::to_string(channels) + ", got " + std::to_string(gdk_pixbuf_get_width(got)) + " x " +
               std::to_string(gdk_pixbuf_get_height(got)) + " x " + std::to_string(gdk_pixbuf_get_n_channels(got));
    for (int y = 0; y < height; ++y) {
        const guint8 *a = gdk_pixbuf_read_pixels(expected) + y * gdk_pixbuf_get_rowstride(expected);
        const guint8 *b = gdk_pixbuf_read_pixels(got) + y * gdk_pixbuf_get_rowstride(got);
        for (int x = 0; x < width; ++x)
            if (std::memcmp(a + x * channels, b + x * channels, channels) != 0)
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
    }
    return "";
}

// A load of a BMP's container must end as gdk-pixbuf's BMP loader ends on
// the BMP: the same pixels, or an error of the same kind.
void ExpectSameOutcome(const Load &reference, GdkPixbuf *picture, const GError *error, const std::string &what)
{
    if (reference.error) {
        ASSERT_NE(nullptr, error) << what << ": the BMP loader refuses it (" << Describe(reference.error.get())
                                  << "), the ZQV loader must too";
        EXPECT_EQ(reference.error->domain, error->domain) << what << ": " << Describe(error);
        EXPECT_EQ(reference.error->code, error->code) << what << ": " << Describe(error);
        return;
    }
    ASSERT_EQ(nullptr, error) << what << ": " << Describe(error);
    ASSERT_NE(nullptr, picture) << what;
    EXPECT_EQ("", Difference(reference.picture.get(), picture)) << what;
}

TEST(PixbufLoader, EveryKindOfPictureHasItsBmpPixelsWholeAndInPieces)
{
    std::vector<NamedBytes> pictures = PicturesOfEveryKind();
    ASSERT_GT(pictures.size(), 8u) << "no BMP fixtures: is ZQV_FIXTURES set?";
    constexpr size_t Megabyte = 1 << 20;
    for (const NamedBytes &picture : pictures) {
        SCOPED_TRACE(picture.name);
        Load reference = LoadInPieces(picture.bytes, Whole, "bmp");
        Bytes container = WrapZqv(picture.bytes);

        // Whole, from a file whose name says nothing: found by its content.
        TempFile file(container, ".picture");
        GError *error = nullptr;
        Picture fromFile(gdk_pixbuf_new_from_file(file.Path().c_str(), &error));
        Error fileError(error);
        ExpectSameOutcome(reference, fromFile.get(), fileError.get(), "from a file");
        ExpectFreedOnRelease(fromFile, "from a file");

        for (size_t piece : {size_t(1), size_t(7), size_t(65536)}) {
            if (piece < 65536 && container.size() > Megabyte)
                continue; // the large scan: in 64 KB pieces only
            std::string what = "in pieces of " + std::to_string(piece) + " bytes";
            Load load = LoadInPieces(container, piece);
            ExpectSameOutcome(reference, load.picture.get(), load.error.get(), what);
            if (reference.error)
                continue;
            EXPECT_EQ(1, load.prepared) << what;
            EXPECT_EQ(uint64_t(gdk_pixbuf_get_height(load.picture.get())), load.rowsUpdated) << what;
            EXPECT_GE(load.firstUpdateAtPiece, 1u) << what;
            if (load.pieces > 1) {
                EXPECT_LT(load.firstUpdateAtPiece, load.pieces) << what << ": rows must show while it decodes";
            }
            ExpectFreedOnRelease(load.picture, what);
        }
    }
}

uint32_t RowStride(const Bytes &bmp)
{
    return (GetLittle32(bmp, WidthField) * (bmp[BitsField] | bmp[BitsField + 1] << 8) + 31) / 32 * 4;
}

// Cut short, a picture fails, but what the loader prepared shows the rows
// that were decoded and, cleared, the rest (the BMP loader alone would leave
// them as the allocator did).
TEST(PixbufLoader, APictureCutShortFailsAndShowsWhatWasDecoded)
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    ASSERT_NE(nullptr, directory) << "is ZQV_FIXTURES set?";
    for (const char *name : {"truecolor-24bpp.bmp", "palette-4bpp.bmp", "top-down-24bpp.bmp"}) {
        SCOPED_TRACE(name);
        Bytes bmp = ReadWholeFile(std::string(directory) + "/" + name);
        ASSERT_GE(bmp.size(), 54u);
        Load reference = LoadInPieces(bmp, Whole, "bmp");
        ASSERT_TRUE(reference.picture) << Describe(reference.error.get());
        // Cut where about half the rows are decoded.
        Bytes container = WrapZqv(bmp);
        uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
        uint64_t decoded = 0;
        Bytes truncated;
        for (size_t cut = 1; decoded < pixelOffset + (bmp.size() - pixelOffset) / 2; ++cut) {
            truncated.assign(container.begin(), container.begin() + cut);
            decoded = InflateAsFarAsItGoes(truncated).size();
        }
        uint64_t rowsDecoded = (decoded - pixelOffset) / RowStride(bmp);
        bool topDown = static_cast<int32_t>(GetLittle32(bmp, HeightField)) < 0;

        Load load = LoadInPieces(truncated, 7);
        ASSERT_NE(nullptr, load.error) << "a picture cut short must fail";
        EXPECT_EQ(GDK_PIXBUF_ERROR_CORRUPT_IMAGE, load.error->code) << Describe(load.error.get());
        ASSERT_TRUE(load.picture);
        GdkPixbuf *expected = reference.picture.get(), *got = load.picture.get();
        int height = gdk_pixbuf_get_height(got);
        ASSERT_LT(rowsDecoded, uint64_t(height));
        size_t rowBytes = size_t(gdk_pixbuf_get_width(got)) * gdk_pixbuf_get_n_channels(got);
        Bytes black(rowBytes, 0);
        for (int y = 0; y < height; ++y) {
            uint64_t fileRow = topDown ? y : height - 1 - y;
            const guint8 *row = gdk_pixbuf_read_pixels(got) + y * gdk_pixbuf_get_rowstride(got);
            const guint8 *want = fileRow < rowsDecoded
                                     ? gdk_pixbuf_read_pixels(expected) + y * gdk_pixbuf_get_rowstride(expected)
                                     : black.data();
            EXPECT_EQ(0, std::memcmp(want, row, rowBytes))
                << "row " << y << (fileRow < rowsDecoded ? " was decoded" : " was not decoded and must be black");
        }
        ExpectFreedOnRelease(load.picture, "cut short");
    }
}

constexpr int AnyRefusal = -1;

struct Refusal {
    std::string description;
    Bytes data;
    int code;         // a GdkPixbufError, or AnyRefusal
    bool noPicture;   // refused before any memory is taken for a picture
    bool stopsEarly;  // the loader gives up long before the data ends
};

// The loader's answer to each reason every front end refuses a container for.
Refusal AsRefusal(const HostileContainer &hostile)
{
    switch (hostile.reason) {
    case RefusalReason::NotZqv:
        return {hostile.description, hostile.container, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, true, false};
    case RefusalReason::Damaged:
        return {hostile.description, hostile.container, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, false, false};
    case RefusalReason::TooManyPixels:
        return {hostile.description, hostile.container, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, true, false};
    case RefusalReason::BadHead:
        return {hostile.description, hostile.container, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, true, false};
    case RefusalReason::Bomb:
        break;
    }
    return {hostile.description, hostile.container, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, false, true};
}

TEST(PixbufLoader, DamagedHostileAndForeignDataGiveErrors)
{
    std::vector<Refusal> refusals;
    for (const HostileContainer &hostile : HostileContainers())
        refusals.push_back(AsRefusal(hostile));
    // What the loader refuses where another front end may not.
    Bytes bmp = MakeBmp(64, 48, 24);
    Bytes shortPixels(bmp.begin(), bmp.end() - 1000);
    refusals.push_back({"a whole stream whose pixel data ends early", WrapZqv(shortPixels),
                        GDK_PIXBUF_ERROR_CORRUPT_IMAGE, false, false});
    refusals.push_back({"7 bits per pixel, which the BMP loader refuses",
                        WrapZqv(Patched32(bmp, BitsField, 7 | 1 << 16)), GDK_PIXBUF_ERROR_CORRUPT_IMAGE, true, false});
    // The inputs the fuzz targets once stumbled on: whatever each is refused
    // for, it is refused.
    std::vector<NamedBytes> regressions = PictureFuzzRegressions();
    EXPECT_FALSE(regressions.empty()) << "no fuzz regressions: is ZQV_PICTURE_REGRESSIONS set?";
    for (const NamedBytes &regression : regressions)
        refusals.push_back({regression.name, regression.bytes, AnyRefusal, false, false});

    constexpr size_t BombPiece = 1024;
    for (const Refusal &refusal : refusals) {
        for (size_t piece : {Whole, size_t(7), BombPiece}) {
            std::string what = refusal.description + ", " +
                               (piece == Whole ? std::string("whole") : "in pieces of " + std::to_string(piece));
            Load load = LoadInPieces(refusal.data, piece);
            ASSERT_NE(nullptr, load.error) << what << ": must fail";
            EXPECT_EQ(GDK_PIXBUF_ERROR, load.error->domain) << what << ": " << Describe(load.error.get());
            if (refusal.code != AnyRefusal) {
                EXPECT_EQ(refusal.code, load.error->code) << what << ": " << Describe(load.error.get());
            }
            if (refusal.noPicture) {
                EXPECT_EQ(0, load.prepared) << what << ": no picture may be made";
            }
            if (refusal.stopsEarly && piece == BombPiece) {
                EXPECT_LT(load.pieces * 4, refusal.data.size() / piece) << what << ": must stop early";
            }
            ExpectFreedOnRelease(load.picture, what);
        }
    }
}

// gdk_pixbuf_get_file_info asks for no pixels once it has the size.
// The pictures every reader judges alike, as the loader judges them: those
// the plug-in gives whole load with the pixels gdk-pixbuf's BMP loader gives
// them; the others are refused as corrupt, whole and in pieces.
TEST(PixbufLoader, ThePicturesEveryReaderJudgesAlike)
{
    for (const ReaderCase &c : ReaderCases()) {
        Load reference = LoadInPieces(InflateAsFarAsItGoes(c.container), Whole, "bmp");
        for (size_t piece : {Whole, size_t(7)}) {
            std::string what = std::string(c.description) + (piece == Whole ? ", whole" : ", in pieces of 7");
            Load load = LoadInPieces(c.container, piece);
            if (c.loaderLoads) {
                ExpectSameOutcome(reference, load.picture.get(), load.error.get(), what);
                continue;
            }
            ASSERT_NE(nullptr, load.error) << what << ": must be refused";
            EXPECT_EQ(GDK_PIXBUF_ERROR, load.error->domain) << what << ": " << Describe(load.error.get());
            EXPECT_EQ(GDK_PIXBUF_ERROR_CORRUPT_IMAGE, load.error->code) << what << ": " << Describe(load.error.get());
        }
    }
}

TEST(PixbufLoader, FileInfoComesFromTheHeader)
{
    TempFile file(WrapZqv(MakeBmp(123, -45, 8)), ".zqv");
    int width = -1, height = -1;
    GdkPixbufFormat *format = gdk_pixbuf_get_file_info(file.Path().c_str(), &width, &height);
    ASSERT_NE(nullptr, format);
    char *name = gdk_pixbuf_format_get_name(format);
    EXPECT_STREQ("zqv", name);
    g_free(name);
    EXPECT_EQ(123, width);
    EXPECT_EQ(45, height);
}

// True when a start of a file matches one of gdk-pixbuf's signature
// patterns (the module's are plain bytes, with 'z' for a zero).
bool MatchesSignature(const GdkPixbufModulePattern *patterns, const uint8_t *start)
{
    for (const GdkPixbufModulePattern *pattern = patterns; pattern->prefix != nullptr; ++pattern) {
        bool matches = true;
        for (size_t i = 0; pattern->prefix[i] != '\0' && matches; ++i) {
            char mask = pattern->mask ? pattern->mask[i] : ' ';
            matches = mask == 'z' ? start[i] == 0 : mask == ' ' && start[i] == uint8_t(pattern->prefix[i]);
        }
        if (matches)
            return true;
    }
    return false;
}

// The module's signature and the MIME database's magic (desktop/zqv.xml)
// agree on every start a container's zlib header can scramble to, and both
// take every one zlib writes.
TEST(PixbufLoader, TheSignatureAndTheMimeMagicRecogniseTheSameStarts)
{
    GdkPixbufFormat *zqv = nullptr;
    GSList *formats = gdk_pixbuf_get_formats();
    for (GSList *item = formats; item; item = item->next) {
        auto *format = static_cast<GdkPixbufFormat *>(item->data);
        if (std::strcmp(format->name, "zqv") == 0)
            zqv = format;
    }
    g_slist_free(formats);
    ASSERT_NE(nullptr, zqv) << "gdk-pixbuf does not list the zqv format: is GDK_PIXBUF_MODULE_FILE set?";
    ASSERT_NE(nullptr, zqv->mime_types[0]);
    EXPECT_STREQ("image/x-zqv", zqv->mime_types[0]);
    EXPECT_EQ(nullptr, zqv->mime_types[1]);
    EXPECT_STREQ("zqv", zqv->extensions[0]);
    EXPECT_FALSE(gdk_pixbuf_format_is_writable(zqv));

    std::set<uint16_t> written = ZlibWrittenStarts();
    int recognised = 0;
    for (unsigned method = 0; method < 16; ++method) // the first byte names deflate whatever its window
        for (unsigned second = 0; second < 256; ++second) {
            uint8_t start[16] = {uint8_t((method << 4 | 8) ^ 0xD4), uint8_t(second)};
            uint16_t pair = uint16_t(start[0] << 8 | start[1]);
            bool bySignature = MatchesSignature(zqv->signature, start);
            gchar *type = g_content_type_guess(nullptr, start, sizeof start, nullptr);
            bool byMagic = std::strcmp(type, "image/x-zqv") == 0;
            g_free(type);
            EXPECT_EQ(bySignature, byMagic) << "the two disagree on " << std::hex << pair;
            if (written.count(pair)) {
                EXPECT_TRUE(bySignature) << "zlib writes " << std::hex << pair;
            }
            recognised += bySignature;
        }
    EXPECT_GE(recognised, int(written.size()));
}

// gdk-pixbuf-thumbnailer, as a file manager runs it, makes the same PNG of a
// ZQV picture as of its BMP file.
TEST(PixbufLoader, TheThumbnailerMakesTheBmpsThumbnail)
{
    Bytes bmp = MakeBmp(90, 60, 24);
    TempFile zqvFile(WrapZqv(bmp), ".zqv"), bmpFile(bmp, ".bmp");
    TempPath zqvThumbnail("zqv-test", ".png"), bmpThumbnail("zqv-test", ".png");
    gchar **environment = g_get_environ();
    // A module built with AddressSanitizer needs its runtime loaded first.
    // The thumbnailer's own leaks are not the module's (loads in this
    // process look for those): only memory errors count there.
    if (const char *preload = std::getenv("ZQV_TOOL_PRELOAD"); preload && *preload) {
        environment = g_environ_setenv(environment, "LD_PRELOAD", preload, TRUE);
        environment = g_environ_setenv(environment, "ASAN_OPTIONS", "detect_leaks=0", TRUE);
    }
    struct Run {
        const TempPath &input;
        const TempPath &output;
    };
    for (const Run &run : {Run{zqvFile, zqvThumbnail}, Run{bmpFile, bmpThumbnail}}) {
        std::string input = run.input.Path(), output = run.output.Path();
        const gchar *argv[] = {"gdk-pixbuf-thumbnailer", "-s", "32", input.c_str(), output.c_str(), nullptr};
        gchar *errors = nullptr;
        gint status = -1;
        GError *error = nullptr;
        bool ran = g_spawn_sync(nullptr, const_cast<gchar **>(argv), environment, G_SPAWN_SEARCH_PATH, nullptr,
                                nullptr, nullptr, &errors, &status, &error);
        Error spawnError(error);
        ASSERT_TRUE(ran) << Describe(error);
        EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr)) << input << ": " << errors;
        g_free(errors);
    }
    g_strfreev(environment);
    Bytes png = ReadWholeFile(zqvThumbnail.Path());
    const uint8_t PngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GE(png.size(), sizeof PngSignature);
    EXPECT_EQ(0, std::memcmp(PngSignature, png.data(), sizeof PngSignature)) << "not a PNG file";
    GError *error = nullptr;
    Picture fromZqv(gdk_pixbuf_new_from_file(zqvThumbnail.Path().c_str(), &error));
    ASSERT_TRUE(fromZqv) << Describe(error);
    Picture fromBmp(gdk_pixbuf_new_from_file(bmpThumbnail.Path().c_str(), &error));
    ASSERT_TRUE(fromBmp) << Describe(error);
    EXPECT_EQ(32, std::max(gdk_pixbuf_get_width(fromZqv.get()), gdk_pixbuf_get_height(fromZqv.get())));
    EXPECT_EQ("", Difference(fromBmp.get(), fromZqv.get()));
}

} // namespace
