#include "tests/support/fixtures.h"

#include "tools/plugin_host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zlib.h>

#ifndef _WIN32
#include <thread>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

constexpr uint8_t Mask = 0xD4;
constexpr uint32_t FileHeaderSize = 14;
constexpr uint32_t InfoHeaderSize = 40;

uint32_t RowBytes(int32_t width, uint16_t bitsPerPixel)
{
    return ((static_cast<uint32_t>(width) * bitsPerPixel + 31) / 32) * 4;
}

// A small deterministic generator, so fixtures are the same on every run.
uint32_t NextRandom(uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

Bytes BmpHeaders(int32_t width, int32_t height, uint16_t bitsPerPixel, uint32_t pixelBytes)
{
    uint32_t paletteEntries = bitsPerPixel <= 8 ? (1u << bitsPerPixel) : 0;
    uint32_t pixelOffset = FileHeaderSize + InfoHeaderSize + 4 * paletteEntries;
    Bytes file(pixelOffset + pixelBytes, 0);
    file[0] = 'B';
    file[1] = 'M';
    PutLittle32(file, 2, static_cast<uint32_t>(file.size()));
    PutLittle32(file, 10, pixelOffset);
    PutLittle32(file, 14, InfoHeaderSize);
    PutLittle32(file, 18, static_cast<uint32_t>(width));
    PutLittle32(file, 22, static_cast<uint32_t>(height));
    PutLittle16(file, 26, 1);
    PutLittle16(file, 28, bitsPerPixel);
    PutLittle32(file, 34, pixelBytes);
    PutLittle32(file, 46, paletteEntries);
    for (uint32_t entry = 0; entry < paletteEntries; ++entry) {
        uint8_t grey = static_cast<uint8_t>(entry * 255 / (paletteEntries - 1));
        size_t at = FileHeaderSize + InfoHeaderSize + 4 * entry;
        file[at] = file[at + 1] = file[at + 2] = grey;
    }
    return file;
}

} // namespace

void PutLittle16(Bytes &bytes, size_t offset, uint16_t value)
{
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutLittle32(Bytes &bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittle32(const Bytes &bytes, size_t offset)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | bytes.at(offset + i);
    return value;
}

Bytes MakeBmp(int32_t width, int32_t height, uint16_t bitsPerPixel, uint32_t seed)
{
    uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    uint32_t rowBytes = RowBytes(width, bitsPerPixel);
    Bytes file = BmpHeaders(width, height, bitsPerPixel, rowBytes * rows);
    uint32_t pixelOffset = GetLittle32(file, 10);
    uint32_t usedBytes = (static_cast<uint32_t>(width) * bitsPerPixel + 7) / 8;
    for (uint32_t row = 0; row < rows; ++row)
        for (uint32_t column = 0; column < usedBytes; ++column)
            file[pixelOffset + row * rowBytes + column] = static_cast<uint8_t>((row * 7 + column * 3) ^ seed);
    return file;
}

Bytes MakeBlackBmp(int32_t width, int32_t height, uint16_t bitsPerPixel)
{
    uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    return BmpHeaders(width, height, bitsPerPixel, RowBytes(width, bitsPerPixel) * rows);
}

Bytes MakeNoisyBmp(int32_t width, int32_t height, uint32_t seed)
{
    Bytes file = MakeBmp(width, height, 24, seed);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t at = GetLittle32(file, 10); at < file.size(); ++at)
        file[at] = static_cast<uint8_t>(NextRandom(state));
    return file;
}

Bytes Masked(Bytes bytes)
{
    for (uint8_t &byte : bytes)
        byte ^= Mask;
    return bytes;
}

Bytes WrapZqv(const Bytes &file, int level)
{
    uLongf packedLength = compressBound(static_cast<uLong>(file.size()));
    Bytes packed(packedLength);
    if (compress2(packed.data(), &packedLength, file.data(), static_cast<uLong>(file.size()), level) != Z_OK)
        std::abort();
    packed.resize(packedLength);
    return Masked(std::move(packed));
}

Bytes InflateAsFarAsItGoes(const Bytes &container)
{
    Bytes input = Masked(container);
    Bytes output;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        std::abort();
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(input.size());
    uint8_t piece[1 << 16];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        result = inflate(&stream, Z_NO_FLUSH);
        output.insert(output.end(), piece, piece + (sizeof piece - stream.avail_out));
        if (result == Z_BUF_ERROR && stream.avail_out != 0)
            break; // cut short: nothing more to take
    }
    inflateEnd(&stream);
    return output;
}

std::vector<int32_t> ZlibProgress(const Bytes &container)
{
    constexpr uint32_t StepBytes = 102400;
    Bytes input = Masked(container);
    std::vector<int32_t> numerators;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        std::abort();
    Bytes output(StepBytes);
    int result = Z_OK;
    auto going = [&result] { return result == Z_OK || result == Z_BUF_ERROR; };
    for (size_t sum = 0; sum < input.size() && going(); sum += StepBytes) {
        uInt chunk = static_cast<uInt>(std::min<size_t>(StepBytes, input.size() - sum));
        stream.next_in = input.data() + sum;
        stream.avail_in = chunk;
        bool roomFilled = false;
        while ((stream.avail_in > 0 || roomFilled) && going()) {
            stream.next_out = output.data();
            stream.avail_out = StepBytes;
            result = inflate(&stream, Z_NO_FLUSH);
            numerators.push_back(static_cast<int32_t>((sum + chunk - stream.avail_in) / 2));
            roomFilled = stream.avail_out == 0;
        }
    }
    inflateEnd(&stream);
    return numerators;
}

Bytes ZlibHeadThenInvalidBlock(const Bytes &file, uint16_t goodBytes)
{
    constexpr uint8_t ZlibHeader[] = {0x78, 0x01};
    constexpr uint8_t StoredBlockNotLast = 0x00;
    constexpr uint8_t ReservedTypeLastBlock = 0x07;
    Bytes stream(ZlibHeader, ZlibHeader + sizeof ZlibHeader);
    stream.push_back(StoredBlockNotLast);
    uint16_t inverted = static_cast<uint16_t>(~goodBytes);
    for (uint16_t field : {goodBytes, inverted}) {
        stream.push_back(static_cast<uint8_t>(field));
        stream.push_back(static_cast<uint8_t>(field >> 8));
    }
    stream.insert(stream.end(), file.begin(), file.begin() + goodBytes);
    stream.push_back(ReservedTypeLastBlock);
    stream.resize(std::max<size_t>(stream.size(), 4096), 0);
    return stream;
}

std::vector<std::filesystem::path> FixturePictures()
{
    const char *directory = std::getenv("ZQV_FIXTURES");
    std::vector<std::filesystem::path> pictures;
    if (directory == nullptr)
        return pictures;
    for (const auto &entry : std::filesystem::directory_iterator(HostPath(directory)))
        if (entry.path().extension() == ".bmp")
            pictures.push_back(entry.path());
    std::sort(pictures.begin(), pictures.end());
    return pictures;
}

Bytes MakeRunLengthBmp(int32_t width, int32_t height, uint16_t bitsPerPixel)
{
    constexpr uint32_t PixelOffsetField = 10, CompressionField = 30, ImageSizeField = 34;
    constexpr uint8_t EscapeCode = 0, EndOfLine = 0, EndOfBitmap = 1;
    Bytes bmp = MakeBmp(width, height, bitsPerPixel);
    uint32_t pixelOffset = GetLittle32(bmp, PixelOffsetField);
    bmp.resize(pixelOffset);
    bool rle8 = bitsPerPixel == 8;
    uint8_t colours = uint8_t((1u << bitsPerPixel) - 1);
    for (int32_t row = 0; row < height; ++row) {
        uint8_t run = uint8_t(width / 2), piece = uint8_t(width - run);
        uint8_t colour = uint8_t(row % colours);
        bmp.insert(bmp.end(), {run, uint8_t(rle8 ? colour : colour << 4 | colour)});
        Bytes absolute;
        for (uint8_t x = 0; x < piece; ++x) {
            uint8_t index = uint8_t((x * 7 + row) % colours);
            if (rle8)
                absolute.push_back(index);
            else if (x % 2 == 0)
                absolute.push_back(uint8_t(index << 4));
            else
                absolute.back() |= index;
        }
        if (absolute.size() % 2) // pieces end on a 16-bit boundary
            absolute.push_back(0);
        bmp.insert(bmp.end(), {EscapeCode, piece});
        bmp.insert(bmp.end(), absolute.begin(), absolute.end());
        bmp.insert(bmp.end(), {EscapeCode, EndOfLine});
    }
    bmp.insert(bmp.end(), {EscapeCode, EndOfBitmap});
    PutLittle32(bmp, CompressionField, rle8 ? 1 : 2);
    PutLittle32(bmp, ImageSizeField, uint32_t(bmp.size() - pixelOffset));
    PutLittle32(bmp, 2, uint32_t(bmp.size()));
    return bmp;
}

Bytes Patched32(Bytes bmp, size_t offset, uint32_t value)
{
    PutLittle32(bmp, offset, value);
    return bmp;
}

std::vector<NamedBytes> PicturesOfEveryKind()
{
    std::vector<NamedBytes> pictures;
    for (const auto &path : FixturePictures())
        pictures.push_back({path.filename().string(), ReadWholeFile(path.string())});
    for (uint16_t bits : {1, 4, 8, 24})
        pictures.push_back({"MakeBmp " + std::to_string(bits) + " bits", MakeBmp(45, 17, bits, bits)});
    pictures.push_back({"MakeBmp 24 bits, top-down", MakeBmp(45, -17, 24)});
    for (uint16_t bits : {4, 8})
        pictures.push_back({"MakeRunLengthBmp " + std::to_string(bits) + " bits", MakeRunLengthBmp(37, 9, bits)});
    return pictures;
}

std::vector<HostileContainer> HostileContainers()
{
    constexpr uint32_t PixelOffsetField = 10, HeaderSizeField = 14, WidthField = 18, HeightField = 22;
    constexpr uint32_t ColorsUsedField = 46;
    Bytes bmp = MakeBmp(64, 48, 24);
    Bytes container = WrapZqv(bmp);
    Bytes badTrailer = container;
    badTrailer.back() ^= 0x01;
    Bytes badData = container;
    for (size_t at = container.size() / 2; at < container.size() / 2 + 8; ++at)
        badData[at] ^= 0xFF;
    constexpr uint32_t Huge = 20000;
    Bytes hugePicture = Patched32(Patched32(MakeBmp(4, 4, 24), WidthField, Huge), HeightField, Huge);
    Bytes bomb = MakeBmp(4, 4, 24);
    bomb.resize(bomb.size() + (64u << 20), 0);
    Bytes readme(300, 'x');
    std::memcpy(readme.data(), "# A text file", 13);
    using Reason = RefusalReason;
    return {
        {"a BMP file, not a container", bmp, Reason::NotZqv},
        {"a text file", readme, Reason::NotZqv},
        {"nothing at all", Bytes{}, Reason::NotZqv},
        {"a container of something that is not a BMP file", WrapZqv(readme), Reason::NotZqv},
        {"a damaged checksum", badTrailer, Reason::Damaged},
        {"damaged compressed data", badData, Reason::Damaged},
        {"a stream that turns invalid", Masked(ZlibHeadThenInvalidBlock(bmp, 100)), Reason::Damaged},
        {"20000 x 20000 pixels claimed by a few bytes", WrapZqv(hugePicture), Reason::TooManyPixels},
        {"a bitmap header of 4 GB", WrapZqv(Patched32(bmp, HeaderSizeField, 0xFFFFFF00)), Reason::BadHead},
        {"pixel data 2 GB in", WrapZqv(Patched32(bmp, PixelOffsetField, 0x7FFFFFFF)), Reason::BadHead},
        {"pixel data inside the headers", WrapZqv(Patched32(bmp, PixelOffsetField, 20)), Reason::BadHead},
        {"1000 colours at 8 bits", WrapZqv(Patched32(MakeBmp(8, 8, 8), ColorsUsedField, 1000)), Reason::BadHead},
        {"a 4 x 4 picture followed by 64 MB of zeros", WrapZqv(bomb, 9), Reason::Bomb},
    };
}

std::set<uint16_t> ZlibWrittenStarts()
{
    std::set<uint16_t> starts;
    for (int level = 0; level <= 9; ++level)
        for (int windowBits = 9; windowBits <= 15; ++windowBits) {
            z_stream stream{};
            uint8_t input = 'x', output[64];
            deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
            stream.next_in = &input;
            stream.avail_in = 1;
            stream.next_out = output;
            stream.avail_out = sizeof output;
            deflate(&stream, Z_FINISH);
            deflateEnd(&stream);
            starts.insert(uint16_t((output[0] ^ Mask) << 8 | (output[1] ^ Mask)));
        }
    return starts;
}

std::vector<NamedBytes> PictureFuzzRegressions()
{
    std::vector<NamedBytes> inputs;
    const char *directory = std::getenv("ZQV_PICTURE_REGRESSIONS");
    if (directory == nullptr)
        return inputs;
    constexpr size_t ControlBytes = 2;
    for (const auto &entry : std::filesystem::directory_iterator(HostPath(directory))) {
        Bytes input = ReadWholeFile(entry.path().string());
        inputs.push_back({entry.path().filename().string(),
                          Bytes(input.begin() + std::min(ControlBytes, input.size()), input.end())});
    }
    return inputs;
}

TempFile::TempFile(const Bytes &contents, const std::string &suffix) : TempPath("zqv-test", suffix)
{
    if (!WriteWholeFile(Path(), contents).Ok())
        std::abort();
}

std::string MissingFilePath() { return UniqueTempPath("zqv-test", ".missing"); }

bool ExtendFile(const std::string &path, uint64_t size)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    bool extended = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return extended;
#else
    return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
#endif
}

Bytes ReadWholeFile(const std::string &path)
{
    Bytes contents;
    return ReadWholeFile(path, &contents).Ok() ? contents : Bytes();
}

std::string HostPath(const std::string &linuxPath)
{
#ifdef _WIN32
    if (!linuxPath.empty() && linuxPath[0] == '/')
        return "Z:" + linuxPath;
#endif
    return linuxPath;
}

Bytes BlockBytes(HLOCAL block)
{
    Bytes copy;
    return CopyBlock(block, &copy) ? copy : Bytes();
}

#ifdef _WIN32
namespace {
DWORD WINAPI ThreadEntry(LPVOID parameter)
{
    (*static_cast<const std::function<void()> *>(parameter))();
    return 0;
}
} // namespace

size_t RunOnSmallStack(const std::function<void()> &function, size_t stackBytes)
{
    HANDLE thread = CreateThread(nullptr, stackBytes, ThreadEntry, const_cast<std::function<void()> *>(&function),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr)
        std::abort();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return 0;
}

bool RunThreads(const std::vector<std::function<void()>> &functions, unsigned timeoutMs)
{
    std::vector<HANDLE> threads;
    for (const auto &function : functions)
        threads.push_back(CreateThread(nullptr, 0, ThreadEntry, const_cast<std::function<void()> *>(&function), 0,
                                       nullptr));
    DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, timeoutMs);
    if (waited == WAIT_TIMEOUT) {
        // A thread is stuck, so nothing can be joined: end the whole test program.
        std::fprintf(stderr, "threads still running after %u ms: deadlock\n", timeoutMs);
        std::_Exit(3);
    }
    for (HANDLE thread : threads)
        CloseHandle(thread);
    return waited != WAIT_TIMEOUT;
}
#else
namespace {
constexpr uint8_t StackPaint = 0xA5;

void *RunFunction(void *function)
{
    (*static_cast<const std::function<void()> *>(function))();
    return nullptr;
}
} // namespace

size_t RunOnSmallStack(const std::function<void()> &function, size_t stackBytes)
{
    std::vector<uint8_t> stack(stackBytes, StackPaint);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack.data(), stack.size());
    pthread_t thread;
    if (pthread_create(&thread, &attributes, RunFunction, const_cast<std::function<void()> *>(&function)) != 0)
        std::abort();
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    // The stack grows down: the untouched paint is at its low end.
    size_t untouched = 0;
    while (untouched < stack.size() && stack[untouched] == StackPaint)
        ++untouched;
    return stack.size() - untouched;
}

bool RunThreads(const std::vector<std::function<void()>> &functions, unsigned timeoutMs)
{
    std::atomic<size_t> finished{0};
    std::vector<std::thread> threads;
    for (const auto &function : functions)
        threads.emplace_back([&function, &finished] {
            function();
            finished++;
        });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (finished < functions.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (finished < functions.size()) {
        std::fprintf(stderr, "threads still running after %u ms: deadlock\n", timeoutMs);
        std::_Exit(3);
    }
    for (auto &thread : threads)
        thread.join();
    return true;
}
#endif

namespace {

constexpr size_t PixelOffsetField = 10;
constexpr size_t ColorsUsedField = 14 + 32;

Bytes WithPixelOffset(Bytes file, uint32_t offset)
{
    PutLittle32(file, PixelOffsetField, offset);
    return file;
}

// An RLE8 picture of 4 x 2 pixels whose last row ends with its data: no end
// of line, no end of bitmap, as some encoders write it.
Bytes MakeRle8WithoutLastMarker()
{
    const Bytes pixels = {4, 5, 0, 0, 4, 7}; // a run of 4, end of line, a run of 4
    Bytes file = MakeBmp(4, 2, 8);
    uint32_t offset = GetLittle32(file, PixelOffsetField);
    file.resize(offset);
    file.insert(file.end(), pixels.begin(), pixels.end());
    constexpr size_t CompressionField = 14 + 16;
    constexpr size_t ImageSizeField = 14 + 20;
    constexpr uint32_t CompressionRle8 = 1;
    PutLittle32(file, CompressionField, CompressionRle8);
    PutLittle32(file, ImageSizeField, static_cast<uint32_t>(pixels.size()));
    PutLittle32(file, 2, static_cast<uint32_t>(file.size()));
    return file;
}

// A 2 x 2 picture of 24 bits under the 12-byte core header.
Bytes MakeCoreBmp()
{
    constexpr uint32_t CoreHeader = 12;
    constexpr uint32_t Offset = 14 + CoreHeader;
    const Bytes pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    Bytes file(Offset);
    file[0] = 'B';
    file[1] = 'M';
    PutLittle32(file, 2, Offset + static_cast<uint32_t>(pixels.size()));
    PutLittle32(file, PixelOffsetField, Offset);
    PutLittle32(file, 14, CoreHeader);
    PutLittle16(file, 18, 2);  // width
    PutLittle16(file, 20, 2);  // height
    PutLittle16(file, 22, 1);  // planes
    PutLittle16(file, 24, 24); // bits per pixel
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

} // namespace

std::vector<ReaderCase> ReaderCases()
{
    Bytes small = MakeBmp(4, 4, 24); // 102 bytes: 54 of headers, 4 rows of 12
    Bytes twoOfFourRows(small.begin(), small.begin() + 86);
    Bytes headersOnly = MakeBmp(100, 100, 24);
    headersOnly.resize(GetLittle32(headersOnly, PixelOffsetField));
    Bytes checksumCut = WrapZqv(MakeBmp(8, 8, 24));
    checksumCut.resize(checksumCut.size() - 2);
    Bytes allColours = MakeBmp(4, 4, 8);
    PutLittle32(allColours, ColorsUsedField, 0xFFFFFFFF);
    constexpr int32_t Ok = 0, BadFormat = 2, NoMemory = 4;
    return {
        {"pixel data at byte 10, inside the file header", "offset-10.zqv", WrapZqv(WithPixelOffset(small, 10)),
         NoMemory, "damaged (", false},
        {"pixel data at byte 20, inside the bitmap header", "offset-20.zqv", WrapZqv(WithPixelOffset(small, 20)),
         BadFormat, "damaged (", false},
        {"pixel data at byte 25, a byte short of the smallest header", "offset-25.zqv",
         WrapZqv(WithPixelOffset(small, 25)), BadFormat, "damaged (", false},
        {"a whole RLE8 picture whose last row has no end-of-line marker", "rle8-no-last-marker.zqv",
         WrapZqv(MakeRle8WithoutLastMarker()), Ok, "", true},
        {"a file-size field of 102 with 86 bytes decoded: 2 of 4 rows", "two-of-four-rows.zqv",
         WrapZqv(twoOfFourRows), Ok, "its pixel data ends early (2 of the 4 rows", false},
        {"headers claiming 100 x 100 pixels and no pixel data", "headers-only.zqv", WrapZqv(headersOnly), Ok,
         "its pixel data ends early (0 of the 100 rows", false},
        {"a container of 200-odd bytes whose checksum alone is cut", "checksum-cut.zqv", checksumCut, Ok,
         "cut short (", false},
        {"a colours-used count of 0xFFFFFFFF", "all-colours.zqv", WrapZqv(allColours), BadFormat, "damaged (", false},
        {"a 24-bit picture under a core header", "core-header.zqv", WrapZqv(MakeCoreBmp()), Ok, "", true},
    };
}
