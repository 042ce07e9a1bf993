#include "tools/zqv/options.h"

namespace {

constexpr const char *ProgramHelp = R"(Usage: zqv COMMAND [OPTIONS] ARGUMENTS...

Converts between ZQV pictures and BMP files and asks IFYZQV.SPI about files,
going through the plug-in's own exports as a picture viewer does.

Commands:
  decode IN.zqv OUT.bmp   decode a ZQV picture into a BMP file
  encode IN.bmp OUT.zqv   wrap a BMP file as a ZQV picture
  probe FILE...           tell which files the plug-in recognises
  info                    show the plug-in's information strings

Options:
  -h, --help              show this help, or a command's (zqv decode --help)
  --version               show the version
  -q, --quiet             no progress bar

A file name of - means standard input or standard output.

Example:
  zqv decode samples/sample.zqv sample.bmp

Exit status:
  0 success            1 probe: a file is not recognised   2 wrong usage
  3 unreadable input   4 output not written   5 encode: input is not a BMP file
  6 plug-in not found  7 input too large (2 GiB or more)
  10 not a ZQV picture   11 damaged data   12 out of memory
  13 memory cannot be locked   14 file cannot be opened   15 not provided
  16 unknown plug-in result    130 stopped (Ctrl-C)
)";

constexpr const char *DecodeHelp = R"(Usage: zqv decode [--offset N] [--quiet] IN.zqv OUT.bmp

Decodes a ZQV picture with the plug-in's GetPicture and writes the BMP file.
The output is written beside OUT.bmp under a temporary name and renamed into
place only when it is complete; on any failure, or Ctrl-C, an existing
OUT.bmp is left as it was.

Options:
  --offset N    the picture starts N bytes into IN.zqv (a picture stored
                inside a larger file)
  -q, --quiet   no progress bar

IN.zqv or OUT.bmp may be - for standard input or output.

Examples:
  zqv decode samples/sample.zqv sample.bmp
  zqv decode --offset 512 archive.bin picture.bmp
  cat samples/sample.zqv | zqv decode - - > sample.bmp
)";

constexpr const char *EncodeHelp = R"(Usage: zqv encode [--level 0-9] [--quiet] IN.bmp OUT.zqv

Wraps a BMP file as a ZQV picture: compresses it with zlib and masks every
byte. IN.bmp must be a BMP file ('BM', zero reserved words, a pixel-data
offset inside the file). Decoding the result gives IN.bmp back.

Options:
  --level N     compression level, 0 (none) to 9 (smallest); default 6
  -q, --quiet   no progress bar

Example:
  zqv encode picture.bmp picture.zqv --level 9
)";

constexpr const char *ProbeHelp = R"(Usage: zqv probe FILE...

Asks the plug-in's IsSupported about each file, passing the first 2,048 bytes
as a viewer does, and prints one line per file. Exit status 0 if every file
was recognised, 1 if any was not, 3 if a file could not be read.

Example:
  zqv probe samples/sample.zqv picture.bmp
)";

constexpr const char *InfoHelp = R"(Usage: zqv info

Prints the plug-in's four information strings (GetPluginInfo 0 to 3): its
interface code, name and version, file pattern and format description.

Example:
  zqv info
)";

} // namespace

const char *HelpText(Command command)
{
    // In the order of Command, the program's own first.
    constexpr const char *Texts[] = {ProgramHelp, DecodeHelp, EncodeHelp, ProbeHelp, InfoHelp};
    return Texts[static_cast<size_t>(command)];
}

const char *VersionText() { return "zqv " ZQV_VERSION; }
