// desktop/pixbuf_loader.h -- ZQV pictures on a Linux desktop: the gdk-pixbuf
// loader module.
//
// libpixbufloader-zqv.so is a loader module of gdk-pixbuf (the interface its
// installed gdk-pixbuf-io.h documents): image viewers, file managers'
// thumbnailers and every other program that loads pictures through gdk-pixbuf
// open ZQV pictures through it. gdk-pixbuf finds it through its loaders cache
// (gdk-pixbuf-query-loaders), and a ZQV file by its MIME type, image/x-zqv,
// which desktop/zqv.xml gives shared-mime-info (the glob *.zqv and the
// container's first two bytes); desktop/zqv.thumbnailer has thumbnails made
// by gdk-pixbuf-thumbnailer. README.md says how to install all three.
//
// How a picture is read. The container's bytes, as they come, go to a fed
// StreamDecoder (codec/container.h), the decoder the plug-in uses, which
// descrambles and inflates them; the BMP file they decode to goes, as it
// comes, to gdk-pixbuf's own BMP reader, a nested GdkPixbufLoader of type
// "bmp". So a ZQV picture has exactly the pixels its BMP file has in every
// program that uses gdk-pixbuf, whatever its depth and compression, and what
// that reader cannot read is refused with its own error. Its size-prepared,
// area-prepared and area-updated reports are passed on as they come: a large
// picture appears row by row while it decodes. The loader adds what the BMP
// reader lacks:
//   - The picture is cleared when it is created (black; transparent where it
//     has alpha): the BMP reader leaves every pixel it never writes as
//     gdk_pixbuf_new left it, which promises no clearing.
//   - The head of the BMP file is judged first (JudgePictureHead,
//     codec/container.h), before the BMP reader sees it and so before any
//     memory is taken for the picture: a picture of more than MostPixels
//     pixels is refused, whatever memory the desktop has; so are a bitmap
//     header longer than any BMP's, which the BMP reader would take whole
//     into memory before refusing it, a colours-used count more than the
//     bits can index, for which it would take a palette of up to 4 GiB, and
//     a pixel-data offset inside the headers, which the plug-in refuses.
//   - A stream that decodes to more than such a picture can hold
//     (MostDecodedBytes) is stopped there: a decompression bomb costs at
//     most that much inflating, and no memory.
//   - A picture counts as loaded only when its stream ended with the right
//     checksum and its pixel data reaches every row (RowCoverage, which
//     zqv check judges by too): the BMP reader itself says nothing when
//     pixel data runs short. A picture cut short (an interrupted download,
//     say) fails with an error, and the picture the loader prepared
//     (gdk_pixbuf_loader_get_pixbuf) shows what was decoded, the rest
//     cleared, as the plug-in shows it; gdk_pixbuf_new_from_file gives the
//     error only.
//
// The errors, all in GDK_PIXBUF_ERROR:
//   UNKNOWN_TYPE          not a ZQV picture: the first two bytes are no
//                         zlib header once descrambled, or the stream
//                         decodes to something that is not a BMP file
//   CORRUPT_IMAGE         damaged compressed data or checksum; cut short;
//                         pixel data that ends early; a decompression bomb;
//                         a head JudgePictureHead refuses
//   INSUFFICIENT_MEMORY   more than MostPixels pixels, or no memory
//   the BMP reader's own  what it refuses in the decoded BMP file, its
//                         message prefixed with "ZQV picture: "
// A caller that asks for no pixels (a size function that answers 0, as
// gdk_pixbuf_get_file_info does once it knows the size) ends the decode
// there, without an error.
//
// The module keeps no state between loads and may be used from any thread.
#pragma once

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <cstdint>

// ===========================================================================
// The module's two entry points, which gdk-pixbuf looks up by name.

extern "C" {
// Declares the format: name "zqv", description "ZQV picture", MIME type
// image/x-zqv, extension zqv; a signature of every two-byte zlib header (a
// deflate stream with at most a 32 KiB window and no preset dictionary)
// XORed with the container's mask, relevance ZqvSignatureRelevance; not
// writable; safe to use from several threads.
G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info);

// Fills in begin_load, load_increment and stop_load; gdk-pixbuf loads whole
// files through the same three.
G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module);
}

// ===========================================================================

// How much gdk-pixbuf, where it matches signatures itself (builds that do
// not ask shared-mime-info), should trust two bytes.
constexpr int ZqvSignatureRelevance = 50;
