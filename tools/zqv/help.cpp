#include "tools/zqv/options.h"

namespace {

constexpr const char *ProgramHelp = R"(Usage: zqv COMMAND [OPTIONS] ARGUMENTS...

Converts between ZQV pictures and BMP, PNG, JPEG and TIFF files and asks
IFYZQV.SPI about files, going through the plug-in's own exports as a picture
viewer does.

Commands:
  decode IN.zqv OUT       decode a ZQV picture into a BMP, PNG, JPEG or
                          TIFF file (as OUT's name or --format says)
  decode -o DIR PATH...   decode many, directories too with -r
  encode IN OUT.zqv       wrap a picture (BMP, PNG, JPEG, TIFF, GIF) as a
                          ZQV picture
  encode -o DIR PATH...   encode many, directories too with -r
  probe FILE...           tell which files the plug-in recognises
  info PICTURE...         show each picture's size, depth, headers and ratio
  check PATH...           decode every picture and report the unsound ones
  plugin                  show the plug-in's information strings (which
                          zqv info without a file used to print)

Options:
  -h, --help              show this help, or a command's (zqv decode --help)
  --version               show the version
  -q, --quiet             no progress bar
  -j, --jobs N            check, info --check, decode -o and encode -o: N
                          pictures at once, in worker processes (default:
                          one per processor); the output is the same. A
                          worker the system will not start (too few
                          processes or open files allowed) costs nothing:
                          the others, or zqv itself, take its pictures, and
                          standard error says so once. After Ctrl-C, a
                          worker that has not stopped within 3 s (stopped
                          with SIGSTOP, or stuck) is killed, and its
                          temporary file removed

A PICTURE, IN or PATH of - is standard input, in every command: decode,
encode, probe, info and check. It is read once, however often it is named;
with -o DIR its output is DIR/stdin.bmp (decode) or DIR/stdin.zqv (encode).
An OUT of - (decode and encode) is standard output.

File names: natively any UTF-8 name. zqv.exe (under Windows or wine) takes
names in the ANSI code page only: a name with characters outside it (letters
of another script, say) cannot be given or found in a directory.

Example:
  zqv decode samples/sample.zqv sample.bmp

Exit status:
  0 success            1 probe: a file is not recognised   2 wrong usage
  3 unreadable input   4 output not written (a file, or the report when
    standard output is full or closed, whatever else the command came to)
  5 encode: input is not a picture zqv reads   6 plug-in not found
  7 input too large (from 2 GiB; 4 GiB in 64-bit builds)
  8 check: a picture is not sound; decode/encode -o: a file failed
  10 not a ZQV picture   11 damaged data   12 out of memory
  13 memory cannot be locked   14 file cannot be opened   15 not provided
  16 unknown plug-in result    130 stopped (Ctrl-C)
)";

constexpr const char *DecodeHelp = R"(Usage: zqv decode [--offset N] [--format NAME] [--quality N] [--quiet] IN.zqv OUT
       zqv decode -o DIR [-r] [--force] [-j N] [--format NAME] [--quality N] [--quiet] PATH...

Decodes a ZQV picture with the plug-in's GetPicture and writes it in the
format OUT's name asks for: .bmp the picture's own BMP file, byte for byte;
.png, .jpg (.jpeg) or .tif (.tiff) as the platform's imaging writes them
(gdk-pixbuf natively, the Windows Imaging Component in zqv.exe), PNG and
TIFF with exactly the BMP's pixels (alpha where it has alpha). A name with
no ending is written as BMP; one ending otherwise, or a format --format
contradicts, is refused before anything is written. The output is written
beside OUT under a temporary name and renamed into place only when it is
complete; on any failure, or Ctrl-C, an existing OUT is left as it was.

Options:
  --offset N       the picture starts N bytes into IN.zqv (a picture stored
                   inside a larger file); at most 2147483647 in the 32-bit
                   build, whose plug-in takes no larger offset
  --format NAME    bmp, png, jpeg (jpg) or tiff (tif): the format to write
                   where OUT's name does not say (standard output, -o DIR)
  --quality N      JPEG's quality, 1 to 100; default 90
  -q, --quiet      no progress bar

IN.zqv or OUT may be - for standard input or output (BMP, or --format).

With -o DIR, every PATH is decoded into DIR: a file given to DIR/NAME.bmp
(NAME.png, ... with --format),
and with -r the .zqv files below a directory given to the same relative
path below DIR (directories made as needed); - (standard input) to
DIR/stdin.bmp. Everything is planned before anything is written: inputs
whose outputs would be one file (two p.zqv from different folders, a file
named twice; under Windows, names that differ only in case) or whose
output would overwrite an input are not converted, each reported as a
failure naming the others. Existing outputs are skipped unless --force is
given. A file that fails, or a directory below that cannot be read, is
reported and the rest go on; a line per file converted and a summary
(converted, skipped, failed) go to standard output; exit status 8 if any
failed. Ctrl-C (or SIGTERM, SIGHUP) stops the batch, and no output is left
half-written.

Options of the batch form:
  -o, --output DIR   where the outputs go
  -r, --recursive    take in the .zqv files below directories given
  --force            replace existing outputs
  -j, --jobs N       N pictures at once, each in a worker process of zqv
                     (default: as many as the processors zqv may use; -j 1
                     one after another). The lines, the summary, the exit
                     status and the files are the same whatever N is.

Under wine or Windows, names are limited to the ANSI code page.

Examples:
  zqv decode samples/sample.zqv sample.bmp
  zqv decode samples/sample.zqv sample.png
  zqv decode -r -o bitmaps/ pictures/
  zqv decode -r -o photos/ --format jpeg --quality 85 pictures/
  zqv decode --offset 512 archive.bin picture.bmp
  cat samples/sample.zqv | zqv decode - - > sample.bmp
)";

constexpr const char *EncodeHelp = R"(Usage: zqv encode [--level 0-9] [--alpha] [--quiet] IN OUT.zqv
       zqv encode -o DIR [-r] [--force] [-j N] [--level 0-9] [--alpha] [--quiet] PATH...

Wraps a picture as a ZQV picture: its BMP file, compressed with zlib and
every byte masked. A BMP file ('BM', zero reserved words, a pixel-data
offset inside the file) is wrapped byte for byte, and decoding the result
gives it back. Any other picture the platform's imaging reads (PNG, JPEG,
TIFF, GIF's first frame, ...) is wrapped as a 24-bit bottom-up BMP file of
its pixels, which every viewer of the plug-in reads; with --alpha, one with
transparency as a 32-bit BMP file that keeps its alpha.

Options:
  --level N     compression level, 0 (none) to 9 (smallest); default 6
  --alpha       keep a picture's transparency (a 32-bit BMP with alpha)
  -q, --quiet   no progress bar

With -o DIR, as zqv decode -o (see zqv decode --help): the pictures below
the directories given (with -r: .bmp, .png, .jpg, .jpeg, .tif, .tiff, .gif
files) become .zqv files below DIR, standard input DIR/stdin.zqv; two
pictures that would make one (a.png and a.jpg) are refused, each naming
the other.
  -o, --output DIR   where the outputs go
  -r, --recursive    take in the pictures below directories given
  --force            replace existing outputs
  -j, --jobs N       N pictures at once (see zqv decode --help)

Under wine or Windows, names are limited to the ANSI code page.

Examples:
  zqv encode picture.bmp picture.zqv --level 9
  zqv encode -r -o pictures/ scans/
)";

constexpr const char *ProbeHelp = R"(Usage: zqv probe FILE...

Asks the plug-in's IsSupported about each file, passing the first 2,048 bytes
as a viewer does, and prints one line per file. Exit status 0 if every file
was recognised, 1 if any was not, 3 if a file could not be read.

Example:
  zqv probe samples/sample.zqv picture.bmp
)";

constexpr const char *InfoHelp = R"(Usage: zqv info [--check [-j N]] [--json] PICTURE...

Prints a line for each ZQV picture: width and height, bits per pixel, the
compression of the pixel data (none, RLE8, RLE4, bit fields, ...), the kind
of bitmap header (core, info, v4, v5, ...) and its size, top-down or
bottom-up rows, palette entries, the BMP file's size (as its header gives
it; with --check, as the stream decoded), and the container's size as a
share of it. Without --check only the head of the container is read,
however large the picture.

The plug-in's own strings, which zqv info without a file printed before,
are now zqv plugin's; zqv info alone still prints them, and says so.

Options:
  --check   also decode the whole stream and say how it ends: complete, cut
            short (how far it decoded, of what its header claims), or with
            bytes after the end of the stream; and, where it is whole but its
            pixel data stops before the rows its header describes, how many
            it reaches (JSON: "decoded_bytes", "rows_reached")
  -j N      with --check, N pictures at once, each in a worker process
            (default: as many as the processors zqv may use); the output
            is the same whatever N is
  --json    one JSON object per picture instead of a line, in UTF-8. A file
            name that is not valid UTF-8 (Linux names may be any bytes) has
            U+FFFD for each byte that is not, and "file_bytes", the name's
            bytes as numbers, from which it can be had back exactly

Exit status 10 if a file is not a ZQV picture, 3 if one cannot be read.

Examples:
  zqv info samples/sample.zqv
  zqv info --check --json pictures/*.zqv
)";

constexpr const char *PluginHelp = R"(Usage: zqv plugin

Prints the plug-in's four information strings (GetPluginInfo 0 to 3): its
interface code, name and version, file pattern and format description.

Example:
  zqv plugin
)";

constexpr const char *CheckHelp = R"(Usage: zqv check [-r] [-j N] PATH...

Decodes every picture through the plug-in's GetPicture, writing nothing,
and scans its stream. Prints a line for each picture that is not sound:
damaged (with the plug-in's result), cut short (the stream stops before its
end, which the plug-in still shows), ending early (the stream is whole but
its pixel data stops before the rows its header describes: the rest is
black), followed by trailing bytes, not a ZQV picture, or unreadable (a
directory below that cannot be read too); then a
summary line of the counts. With -r, the .zqv files below directories given
are checked.

With -j N (--jobs N), N pictures are checked at once, each in a worker
process of zqv that loads the plug-in for itself; the default is as many
as the processors zqv may use, -j 1 one after another. The lines come in
the same order, and the summary and exit status are the same, whatever N
is; a worker that dies costs only its picture, reported as unreadable.

Exit status 0 only if every picture is complete and sound, 8 otherwise.

Under wine or Windows, names are limited to the ANSI code page.

Example:
  zqv check -r pictures/
)";

} // namespace

const char *HelpText(Command command)
{
    // In the order of Command, the program's own first.
    constexpr const char *Texts[] = {ProgramHelp, DecodeHelp, EncodeHelp, ProbeHelp, InfoHelp, PluginHelp, CheckHelp};
    return Texts[static_cast<size_t>(command)];
}

const char *VersionText() { return "zqv " ZQV_VERSION; }
