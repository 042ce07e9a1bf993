// The platform's imaging natively: gdk-pixbuf's loaders read pictures, its
// savers write them.
#include "tools/imaging.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <memory>

namespace {

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Loader = std::unique_ptr<GdkPixbufLoader, Unref>;

struct ErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};

// The failure a GError says, after what was being done.
Status Failed(const std::string &doing, GError *error)
{
    std::unique_ptr<GError, ErrorFree> owned(error);
    return Status::Failure(doing + ": " + (error != nullptr ? error->message : "gdk-pixbuf gave no reason"));
}

// A picture loaded whole: type names the loader, or (null) gdk-pixbuf tells
// the format from the bytes. The picture belongs to the caller.
Status LoadPicture(const Bytes &file, const char *type, GdkPixbuf **picture)
{
    GError *error = nullptr;
    Loader loader(type != nullptr ? gdk_pixbuf_loader_new_with_type(type, &error) : gdk_pixbuf_loader_new());
    if (!loader)
        return Failed("no reader of its kind", error);
    bool written = file.empty() || gdk_pixbuf_loader_write(loader.get(), file.data(), file.size(), &error);
    // A loader is closed whatever happened; its own error counts first.
    bool closed = gdk_pixbuf_loader_close(loader.get(), written ? &error : nullptr);
    if (!written || !closed)
        return Failed("not a picture gdk-pixbuf reads", error);
    GdkPixbuf *loaded = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (loaded == nullptr)
        return Status::Failure("not a picture gdk-pixbuf reads: it holds no picture");
    *picture = GDK_PIXBUF(g_object_ref(loaded));
    return Status::Success();
}

// The picture's pixels as blue, green, red, alpha.
BgraPicture BgraOf(GdkPixbuf *picture)
{
    BgraPicture bgra;
    bgra.width = static_cast<uint32_t>(gdk_pixbuf_get_width(picture));
    bgra.height = static_cast<uint32_t>(gdk_pixbuf_get_height(picture));
    bgra.pixels.resize(uint64_t(bgra.width) * bgra.height * 4);
    int channels = gdk_pixbuf_get_n_channels(picture);
    bool alpha = gdk_pixbuf_get_has_alpha(picture);
    const guint8 *rows = gdk_pixbuf_read_pixels(picture);
    int stride = gdk_pixbuf_get_rowstride(picture);
    uint8_t *to = bgra.pixels.data();
    for (uint32_t row = 0; row < bgra.height; ++row) {
        const guint8 *from = rows + static_cast<size_t>(row) * stride;
        for (uint32_t column = 0; column < bgra.width; ++column, from += channels, to += 4) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
            to[3] = alpha ? from[3] : 0xFF;
        }
    }
    return bgra;
}

} // namespace

Status EncodeImage(const Bytes &bmp, const ImageFormat &format, int quality, Bytes *image)
{
    GdkPixbuf *picture = nullptr;
    Status loaded = LoadPicture(bmp, "bmp", &picture);
    if (!loaded.Ok())
        return loaded;
    std::string qualityText = std::to_string(std::clamp(quality, LowestQuality, HighestQuality));
    char qualityKey[] = "quality";
    char *keys[] = {qualityKey, nullptr};
    char *values[] = {qualityText.data(), nullptr};
    bool lossy = !format.lossless;
    gchar *buffer = nullptr;
    gsize size = 0;
    GError *error = nullptr;
    // gdk-pixbuf's savers go by the names zqv gives its formats.
    bool saved = gdk_pixbuf_save_to_bufferv(picture, &buffer, &size, format.name, lossy ? keys : nullptr,
                                            lossy ? values : nullptr, &error);
    g_object_unref(picture);
    if (!saved)
        return Failed(std::string("gdk-pixbuf cannot write it as ") + format.name, error);
    image->assign(reinterpret_cast<const uint8_t *>(buffer), reinterpret_cast<const uint8_t *>(buffer) + size);
    g_free(buffer);
    return Status::Success();
}

Status DecodeImage(const Bytes &file, bool keepAlpha, Bytes *bmp)
{
    GdkPixbuf *picture = nullptr;
    Status loaded = LoadPicture(file, nullptr, &picture);
    if (!loaded.Ok())
        return loaded;
    BgraPicture bgra = BgraOf(picture);
    g_object_unref(picture);
    *bmp = BmpOfPicture(bgra, keepAlpha && HasTransparency(bgra));
    return Status::Success();
}
