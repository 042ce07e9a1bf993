// GetPicture, called as a viewer calls it.
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <filesystem>

#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace {

// The threads of this process, as the system counts them.
size_t ThreadsOfThisProcess()
{
#ifdef _WIN32
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        threads += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return threads;
#else
    size_t threads = 0;
    for ([[maybe_unused]] const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
        ++threads;
    return threads;
#endif
}

constexpr int32_t UserData = 0x13572468;

// The BMP's 24-bit 2x2 picture: two rows of 6 pixel bytes, each padded to 8.
TEST(GetPicture, DeliversInformationAndPaddedPixelsOfATinyPicture)
{
    Bytes bmp = MakeBmp(2, 2, 24);
    ASSERT_EQ(54u, GetLittle32(bmp, 10));
    ASSERT_EQ(70u, bmp.size());
    TempFile file(WrapZqv(bmp));
    Decoded decoded;
    DecodeFile(&decoded, file.Path(), 0);
    ASSERT_EQ(ResultOk, decoded.result);
    Bytes info = BlockBytes(decoded.info);
    Bytes bits = BlockBytes(decoded.bits);
    EXPECT_EQ(40u, info.size());
    EXPECT_EQ(Bytes(bmp.begin() + 14, bmp.begin() + 54), info);
    ASSERT_EQ(70u, bits.size());
    EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.end()), Bytes(bits.begin(), bits.begin() + 16));
    EXPECT_EQ(Bytes(54, 0), Bytes(bits.begin() + 16, bits.end()));
}

TEST(GetPicture, FileAtAnOffsetAndMemoryGiveTheSameBlocks)
{
    Bytes bmp = MakeBmp(123, 45, 8);
    Bytes container = WrapZqv(bmp);
    Bytes stored = container;
    stored.insert(stored.begin(), 512, 0x99);
    TempFile atStart(container);
    TempFile afterOtherData(stored);

    struct Case {
        const char *description;
        const std::string *path; // null: from memory
        int32_t offset;
        uint32_t flags;
    };
    const Case cases[] = {
        {"a file at offset 0", &atStart.Path(), 0, 0},
        {"a file after 512 other bytes", &afterOtherData.Path(), 512, 0},
        {"flags 8, still a file", &atStart.Path(), 0, 8},
        {"memory, flags 1", nullptr, 0, 1},
        {"memory, flags 2", nullptr, 0, 2},
        {"memory, flags 4 with higher bits", nullptr, 0, 0xFF04},
    };
    for (const Case &c : cases) {
        Decoded decoded;
        if (c.path)
            DecodeFile(&decoded, *c.path, c.offset, nullptr, 0, c.flags);
        else
            DecodeMemory(&decoded, container, nullptr, 0, c.flags);
        ASSERT_EQ(ResultOk, decoded.result) << c.description;
        EXPECT_EQ(ExpectedInfo(bmp), BlockBytes(decoded.info)) << c.description;
        EXPECT_EQ(ExpectedBits(bmp), BlockBytes(decoded.bits)) << c.description;
    }
}

TEST(GetPicture, ProgressClimbsKeepsUserDataAndEndsAtOneHundred)
{
    Bytes bmp = MakeNoisyBmp(300, 300);
    TempFile file(WrapZqv(bmp));
    ProgressLog log;
    Decoded decoded;
    DecodeFile(&decoded, file.Path(), 0, RecordProgress, UserData);
    ASSERT_EQ(ResultOk, decoded.result);
    ASSERT_GE(log.calls.size(), 3u) << "a picture of several chunks reports several steps";
    int32_t previous = 0;
    for (size_t i = 0; i + 1 < log.calls.size(); ++i) {
        const ProgressLog::Call &call = log.calls[i];
        EXPECT_GE(call.numerator, previous) << "call " << i << " went backwards";
        EXPECT_LE(call.numerator, call.denominator) << "call " << i;
        previous = call.numerator;
    }
    for (const ProgressLog::Call &call : log.calls)
        ASSERT_EQ(UserData, call.userData) << "userData must come back unchanged";
    EXPECT_EQ(100, log.calls.back().numerator);
    EXPECT_EQ(100, log.calls.back().denominator);
}

// Every inflate step is reported, and the steps are zlib's with a room of a
// whole chunk, whatever the plug-in inflates with and however it holds a
// step's output: the same reports, one for one, with the same numbers.
TEST(GetPicture, ProgressReportsTheStepsZlibTakes)
{
    struct Case {
        const char *description;
        Bytes container;
    };
    const Case cases[] = {
        {"a 12 KB picture: one step", WrapZqv(MakeBmp(64, 64, 24))},
        {"noise: chunks whose steps fill their room", WrapZqv(MakeNoisyBmp(300, 300))},
        {"black: a step fills its room from a few bytes", WrapZqv(MakeBlackBmp(1000, 1000, 24), 1)},
        {"a graphic at level 9", WrapZqv(MakeBmp(700, 500, 8), 9)},
    };
    for (const Case &c : cases) {
        std::vector<int32_t> expected = ZlibProgress(c.container);
        ProgressLog log;
        Decoded decoded;
        DecodeMemory(&decoded, c.container, RecordProgress, UserData);
        ASSERT_EQ(ResultOk, decoded.result) << c.description;
        ASSERT_EQ(expected.size() + 1, log.calls.size()) << c.description << ": the steps, then (100, 100)";
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i], log.calls[i].numerator) << c.description << ", report " << i;
            EXPECT_EQ(static_cast<int32_t>(c.container.size()), log.calls[i].denominator) << c.description;
        }
    }
}

TEST(GetPicture, AStopAtTheLastReportWritesNoOutParameter)
{
    TempFile file(WrapZqv(MakeBmp(30, 30, 24)));
    ProgressLog log;
    log.stopAtComplete = true;
    Decoded decoded;
    DecodeFile(&decoded, file.Path(), 0, RecordProgress, UserData);
    EXPECT_EQ(ResultAborted, decoded.result);
    EXPECT_EQ(Untouched, decoded.info);
    EXPECT_EQ(Untouched, decoded.bits);
}

TEST(GetPicture, AStopDuringTheDecode)
{
    Bytes container = WrapZqv(MakeNoisyBmp(300, 300));
    ProgressLog log;
    log.stopAtCall = 2;
    Decoded decoded;
    DecodeMemory(&decoded, container, RecordProgress, UserData);
    EXPECT_EQ(ResultAborted, decoded.result);
    EXPECT_EQ(2u, log.calls.size()) << "no report after a stop, and no (100, 100)";
    EXPECT_EQ(Untouched, decoded.bits);
}

// Every result a viewer can get back, each from the input that causes it.
TEST(GetPicture, ResultCodes)
{
    Bytes bmp = MakeBmp(16, 16, 24);
    Bytes container = WrapZqv(bmp);

    Bytes lowOffset = bmp;
    PutLittle32(lowOffset, 10, 10);
    Bytes offsetPastEnd = bmp;
    PutLittle32(offsetPastEnd, 10, static_cast<uint32_t>(bmp.size() + 1));
    Bytes offsetAtEnd = bmp;
    PutLittle32(offsetAtEnd, 10, static_cast<uint32_t>(bmp.size()));
    Bytes reserved = bmp;
    reserved[8] = 1;
    Bytes noInfo = bmp;
    PutLittle32(noInfo, 10, 14);
    Bytes shortInfo = bmp;
    PutLittle32(shortInfo, 10, 20);
    Bytes hugeHeader = bmp; // some 800 bytes claiming 2 GiB of bitmap information
    PutLittle32(hugeHeader, 14, 0x7FFFFFF0);
    Bytes heldLargeHeader = MakeBmp(4, 4, 24); // a header of an unknown kind, held whole
    heldLargeHeader.insert(heldLargeHeader.begin() + 54, 160, 0);
    PutLittle32(heldLargeHeader, 2, static_cast<uint32_t>(heldLargeHeader.size()));
    PutLittle32(heldLargeHeader, 10, 54 + 160);
    PutLittle32(heldLargeHeader, 14, 200);
    Bytes damaged = container;
    damaged[damaged.size() / 2] ^= 0xFF;
    damaged[damaged.size() / 2 + 1] ^= 0xFF;
    Bytes badTrailer = container;
    badTrailer.back() ^= 0x10;

    struct Case {
        const char *description;
        Bytes container;
        int32_t expected;
    };
    const Case cases[] = {
        {"a whole picture", container, ResultOk},
        {"a container of a text file", WrapZqv(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!'}),
         ResultBadFormat},
        {"a BMP with a nonzero reserved word", WrapZqv(reserved), ResultBadFormat},
        {"a decoded file shorter than a file header", WrapZqv(Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0}),
         ResultBadFormat},
        {"an empty container", Bytes{}, ResultBadFormat},
        {"damaged compressed data", damaged, ResultBrokenData},
        {"a damaged Adler-32 trailer", badTrailer, ResultBrokenData},
        {"a plain, unscrambled BMP file", bmp, ResultBrokenData},
        {"a pixel-data offset of 10", WrapZqv(lowOffset), ResultNoMemory},
        {"a pixel-data offset past the end of the file", WrapZqv(offsetPastEnd), ResultBadFormat},
        {"a pixel-data offset at the end: no pixels", WrapZqv(offsetAtEnd), ResultOk},
        {"a pixel-data offset of 14: no bitmap information", WrapZqv(noInfo), ResultBadFormat},
        {"a pixel-data offset of 20: information shorter than any bitmap header", WrapZqv(shortInfo),
         ResultBadFormat},
        {"a header size of 0x7FFFFFF0 that the file does not hold", WrapZqv(hugeHeader), ResultBadFormat},
        {"a 200-byte header that the file holds", WrapZqv(heldLargeHeader), ResultOk},
    };
    for (const Case &c : cases) {
        TempFile file(c.container);
        Decoded fromFile;
        DecodeFile(&fromFile, file.Path(), 0);
        Decoded fromMemory;
        DecodeMemory(&fromMemory, c.container);
        EXPECT_EQ(c.expected, fromFile.result) << c.description << ", from a file";
        EXPECT_EQ(c.expected, fromMemory.result) << c.description << ", from memory";
        if (c.expected != ResultOk) {
            EXPECT_EQ(Untouched, fromFile.info) << c.description << ": written on failure";
            EXPECT_EQ(Untouched, fromFile.bits) << c.description << ": written on failure";
        }
    }
}

TEST(GetPicture, FileResultCodes)
{
    Bytes container = WrapZqv(MakeBmp(16, 16, 24));
    TempFile file(container);
    TempFile empty(Bytes{});
    struct Case {
        const char *description;
        std::string path;
        int32_t offset;
        int32_t expected;
    };
    const Case cases[] = {
        {"a missing file", MissingFilePath(), 0, ResultFileError},
        {"a directory", std::filesystem::temp_directory_path().string(), 0, ResultFileError},
        {"an empty file", empty.Path(), 0, ResultBadFormat},
        {"an offset at the end of the file", file.Path(), static_cast<int32_t>(container.size()), ResultBadFormat},
        {"an offset beyond the end of the file", file.Path(), 1 << 20, ResultBadFormat},
        {"a negative offset, which names no byte of the file", file.Path(), -7, ResultFileError},
        {"0x80000000, a position past 2 GiB in a 32-bit integer", file.Path(), INT32_MIN, ResultFileError},
    };
    for (const Case &c : cases) {
        Decoded decoded;
        DecodeFile(&decoded, c.path, c.offset);
        EXPECT_EQ(c.expected, decoded.result) << c.description;
    }
}

TEST(GetPicture, ATruncatedContainerDeliversThePixelsUpToTheCutThenBlack)
{
    Bytes bmp = MakeNoisyBmp(120, 100);
    Bytes container = WrapZqv(bmp);
    container.resize(container.size() * 3 / 4);
    size_t pixelsDecoded = InflateAsFarAsItGoes(container).size() - GetLittle32(bmp, 10);
    Decoded decoded;
    DecodeMemory(&decoded, container);
    ASSERT_EQ(ResultOk, decoded.result);
    Bytes bits = BlockBytes(decoded.bits);
    ASSERT_EQ(bmp.size(), bits.size()) << "the block covers the whole bitmap, as for the complete picture";
    EXPECT_TRUE(Bytes(bmp.begin() + GetLittle32(bmp, 10), bmp.begin() + GetLittle32(bmp, 10) + pixelsDecoded) ==
                Bytes(bits.begin(), bits.begin() + pixelsDecoded))
        << "the decoded pixels come first";
    EXPECT_EQ(Bytes(bits.size() - pixelsDecoded, 0), Bytes(bits.begin() + pixelsDecoded, bits.end()))
        << "the rest is black";
}

// The BMP with its colours-used count set to colours.
Bytes UsingColours(Bytes bmp, uint32_t colours)
{
    PutLittle32(bmp, 46, colours);
    return bmp;
}

// Bitmap information cut short by the pixel-data offset is padded with zeros
// up to what its header implies, and a palette of 1 to 8 bits to all 2^bits
// entries (viewers exist that copy them all); the pixel block covers the
// header's rows.
TEST(GetPicture, ShortBitmapInformationIsPaddedToItsHeader)
{
    struct Case {
        const char *description;
        Bytes bmp;
        uint32_t pixelOffset;
        size_t expectedInfo;
    };
    const Case cases[] = {
        {"16 bytes of a 40-byte header, 24-bit", MakeBmp(8, 8, 24), 30, 40},
        {"a 40-byte header without its 256-entry palette", MakeBmp(8, 8, 8), 54, 40 + 256 * 4},
        {"a 40-byte header and half its 16-entry palette", MakeBmp(8, 8, 4), 54 + 32, 40 + 16 * 4},
        {"8 bits, 200 colours used: the whole 256-entry palette", UsingColours(MakeBmp(8, 8, 8), 200), 54 + 800,
         40 + 256 * 4},
        {"1 bit, 1 colour used: both entries", UsingColours(MakeBmp(8, 8, 1), 1), 54 + 4, 40 + 2 * 4},
    };
    for (const Case &c : cases) {
        Bytes bmp = c.bmp;
        PutLittle32(bmp, 10, c.pixelOffset);
        Decoded decoded;
        DecodeMemory(&decoded, WrapZqv(bmp));
        ASSERT_EQ(ResultOk, decoded.result) << c.description;
        Bytes info = BlockBytes(decoded.info);
        Bytes expected(bmp.begin() + 14, bmp.begin() + c.pixelOffset);
        expected.resize(c.expectedInfo, 0);
        EXPECT_TRUE(info == expected) << c.description << ": info block of " << info.size() << " bytes, expected "
                                      << c.expectedInfo << ", the header's bytes then zeros";
        EXPECT_GE(BlockBytes(decoded.bits).size(), 14 + c.expectedInfo + GetLittle32(bmp, 34))
            << c.description << ": the pixel block covers the rows after the padded information";
    }
}

// The pictures every reader judges alike, as the plug-in judges them: a host
// recognises each from its head (padded with zeros, as a host pads a short
// file) and gets GetPicture's answer; a core header's information comes
// padded to the 40 bytes some hosts read from any header.
TEST(GetPicture, ThePicturesEveryReaderJudgesAlike)
{
    for (const ReaderCase &c : ReaderCases()) {
        Bytes head(c.container);
        head.resize(2048, 0);
        EXPECT_EQ(1, Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(head.data())))
            << c.description << ": IsSupported on its head";
        Decoded decoded;
        DecodeMemory(&decoded, c.container);
        EXPECT_EQ(c.pictureResult, decoded.result) << c.description;
        if (decoded.result == ResultOk && std::string(c.name) == "core-header.zqv") {
            Bytes bmp = InflateAsFarAsItGoes(c.container);
            Bytes expected(bmp.begin() + 14, bmp.begin() + 26);
            expected.resize(40, 0);
            EXPECT_TRUE(BlockBytes(decoded.info) == expected)
                << c.description << ": the 12-byte header then zeros, 40 bytes in all";
        }
    }
}

// A header that claims far more than the data holds gets a block that covers
// the claim, or ResultNoMemory where that cannot be had, never a short block.
// An image size field that cannot be had costs no picture whose rows can:
// that block covers the rows.
TEST(GetPicture, AHeaderThatLiesUpwardsGetsACoveringBlockOrNoMemory)
{
    Bytes hugeImageSize = MakeBmp(16, 16, 24);
    PutLittle32(hugeImageSize, 34, 0xFFFFFFF0u);
    Bytes hugeRows = MakeBmp(16, 16, 24);
    PutLittle32(hugeRows, 18, 40000);
    PutLittle32(hugeRows, 22, static_cast<uint32_t>(-30000));
    Bytes uncountable = hugeRows;
    PutLittle32(uncountable, 18, 0x7FFFFFFF);
    PutLittle32(uncountable, 22, 0x7FFFFFFF);
    struct Case {
        const char *description;
        Bytes bmp;
        uint64_t leastBlock; // the whole file with the rows the header describes
    };
    const Case cases[] = {
        {"an image size of 0xFFFFFFF0", hugeImageSize, hugeImageSize.size()},
        {"40000 x 30000 pixels, top-down, in a 16 x 16 picture's data", hugeRows, 54 + 120000ull * 30000},
        {"rows of more than 4 GB", uncountable, UINT64_MAX},
    };
    for (const auto &[description, bmp, leastBlock] : cases) {
        Bytes container = WrapZqv(bmp);
        HLOCAL info = nullptr;
        HLOCAL bits = nullptr;
        int32_t result = Plugin().GetPicture(reinterpret_cast<const char *>(container.data()),
                                             static_cast<int32_t>(container.size()), 1, &info, &bits, nullptr, 0);
        if (result != ResultOk) {
            EXPECT_EQ(ResultNoMemory, result) << description;
            continue;
        }
        EXPECT_GE(LocalSize(bits), leastBlock) << description << ": the block does not cover the rows";
        LocalFree(info);
        LocalFree(bits);
    }
}

// Containers of 2 GiB and more: the progress numbers are scaled to fit an
// int, keeping their proportion. In a file (holes after a picture at its
// start), including one of 4 GiB - 1 bytes, whose end reads like a failed
// move; and, where addresses are 64 bits wide, in memory (a zero-filled
// block whose untouched pages cost nothing).
void ExpectProgressThatFitsAnInt(const ProgressLog &log, const std::string &what)
{
    ASSERT_GE(log.calls.size(), 2u) << what;
    for (const ProgressLog::Call &call : log.calls) {
        EXPECT_GT(call.denominator, 0) << what;
        EXPECT_GE(call.numerator, 0) << what;
        EXPECT_LE(call.numerator, call.denominator) << what;
    }
    EXPECT_GT(log.calls.front().denominator, 1 << 30)
        << what << ": the length, halved, keeps its proportion to what is consumed";
}

TEST(GetPicture, ContainersOf2GiBAndMoreReportProgressThatFitsAnInt)
{
    Bytes container = WrapZqv(MakeNoisyBmp(300, 200));
    Bytes expected = ExpectedBits(MakeNoisyBmp(300, 200));
    for (uint64_t size : {3000000000ull, 0xFFFFFFFFull}) {
        std::string what = "a file of " + std::to_string(size) + " bytes";
        TempFile file(container);
        ASSERT_TRUE(ExtendFile(file.Path(), size)) << "cannot make " << what;
        ProgressLog log;
        Decoded decoded;
        DecodeFile(&decoded, file.Path(), 0, RecordProgress, 7);
        ASSERT_EQ(ResultOk, decoded.result) << what;
        ExpectProgressThatFitsAnInt(log, what);
        EXPECT_TRUE(expected == BlockBytes(decoded.bits)) << what;
    }
#if INTPTR_MAX > INT32_MAX
    constexpr size_t memoryLength = 5000000000ull; // past what 32 bits can count
    std::unique_ptr<uint8_t, decltype(&std::free)> block(static_cast<uint8_t *>(std::calloc(memoryLength, 1)),
                                                         &std::free);
    ASSERT_NE(nullptr, block) << "cannot allocate " << memoryLength << " bytes";
    std::memcpy(block.get(), container.data(), container.size());
    ProgressLog log;
    Decoded decoded;
    decoded.result = Plugin().GetPicture(reinterpret_cast<const char *>(block.get()),
                                         static_cast<intptr_t>(memoryLength), 1, &decoded.info, &decoded.bits,
                                         RecordProgress, 7);
    ASSERT_EQ(ResultOk, decoded.result) << "5,000,000,000 bytes in memory";
    ExpectProgressThatFitsAnInt(log, "5,000,000,000 bytes in memory");
    EXPECT_TRUE(expected == BlockBytes(decoded.bits)) << "5,000,000,000 bytes in memory";
#endif
}

// The plug-in runs inside the host's process and starts no thread of its
// own, not even for a large picture: the count seen from the progress
// callback, all through a 10 MB decode, is the count before it.
size_t mostThreadsSeen = 0;
int32_t WINAPI CountThreads(int32_t, int32_t, intptr_t)
{
    mostThreadsSeen = std::max(mostThreadsSeen, ThreadsOfThisProcess());
    return 0;
}

TEST(GetPicture, NoThreadIsStartedForALargePicture)
{
    Bytes container = WrapZqv(MakeBmp(2000, 1700, 24), 1);
    TempFile file(container);
    size_t before = ThreadsOfThisProcess();
    ASSERT_GE(before, 1u);
    mostThreadsSeen = 0;
    Decoded decoded;
    DecodeFile(&decoded, file.Path(), 0, CountThreads);
    ASSERT_EQ(ResultOk, decoded.result);
    EXPECT_EQ(before, mostThreadsSeen) << "threads during the decode";
    EXPECT_EQ(before, ThreadsOfThisProcess()) << "threads after it";
}

TEST(GetPicture, NullOutputPointersAreRefusedBeforeAnythingIsRead)
{
    Bytes container = WrapZqv(MakeBmp(4, 4, 24));
    HLOCAL block = Untouched;
    const char *missing = "no such file.zqv";
    EXPECT_EQ(ResultMemoryError, Plugin().GetPicture(missing, 0, 0, nullptr, &block, nullptr, 0))
        << "a null info pointer, before the file is opened";
    EXPECT_EQ(ResultMemoryError, Plugin().GetPicture(missing, 0, 0, &block, nullptr, nullptr, 0))
        << "a null bits pointer, before the file is opened";
    EXPECT_EQ(ResultMemoryError, Plugin().GetPicture(reinterpret_cast<const char *>(container.data()),
                                                     static_cast<int32_t>(container.size()), 1, nullptr, nullptr,
                                                     nullptr, 0))
        << "both null, a picture in memory";
    EXPECT_EQ(Untouched, block) << "the other out-parameter is not written";
}

// --- a callback that calls back into the plug-in -------------------------------

Bytes *headForCallback = nullptr;
int probesFromCallback = 0;
int32_t WINAPI ProbeFromCallback(int32_t, int32_t, intptr_t)
{
    if (Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(headForCallback->data())) == 1)
        probesFromCallback++;
    return 0;
}

TEST(GetPicture, ACallbackMayCallThePlugInOnTheSameThread)
{
    Bytes container = WrapZqv(MakeNoisyBmp(200, 200));
    Bytes head(container.begin(), container.begin() + 2048);
    headForCallback = &head;
    probesFromCallback = 0;
    int32_t result = -99;
    ASSERT_TRUE(RunThreads({[&] {
                                Decoded decoded;
                                DecodeMemory(&decoded, container, ProbeFromCallback);
                                result = decoded.result;
                            }},
                           20000))
        << "the decode lock must be re-entrant";
    EXPECT_EQ(ResultOk, result);
    EXPECT_GE(probesFromCallback, 2) << "each report probed the head successfully";
}

#ifdef _WIN32
// --- faults, caught for real -----------------------------------------------------

int32_t WINAPI FaultingCallback(int32_t, int32_t, intptr_t)
{
    volatile int *nowhere = nullptr;
    return *nowhere;
}

int32_t WINAPI FaultAtLastReport(int32_t numerator, int32_t denominator, intptr_t)
{
    if (numerator == 100 && denominator == 100)
        return FaultingCallback(0, 0, 0);
    return 0;
}

TEST(GetPictureFaults, AFaultingCallbackGivesBrokenDataAndTheNextDecodeWorks)
{
    Bytes bmp = MakeBmp(64, 64, 24);
    Bytes container = WrapZqv(bmp);
    TempFile file(container);

    struct Case {
        const char *description;
        ProgressCallback progress;
    };
    const Case cases[] = {
        {"a fault in a report during the decode", FaultingCallback},
        {"a fault in the last report", FaultAtLastReport},
    };
    for (const Case &c : cases) {
        Decoded faulted;
        DecodeFile(&faulted, file.Path(), 0, c.progress);
        EXPECT_EQ(ResultBrokenData, faulted.result) << c.description;
        EXPECT_EQ(Untouched, faulted.info) << c.description;
        EXPECT_EQ(Untouched, faulted.bits) << c.description;
    }

    // The lock was released: another thread decodes, within a bound that
    // turns a deadlock into a failure.
    int32_t fromOtherThread = -99;
    Bytes bits;
    ASSERT_TRUE(RunThreads({[&] {
                                Decoded decoded;
                                DecodeFile(&decoded, file.Path(), 0);
                                fromOtherThread = decoded.result;
                                bits = BlockBytes(decoded.bits);
                            }},
                           20000));
    EXPECT_EQ(ResultOk, fromOtherThread);
    EXPECT_EQ(ExpectedBits(bmp), bits);
    // And the file was closed: it can be deleted (Windows refuses while open).
    EXPECT_TRUE(DeleteFileA(file.Path().c_str())) << "the source file was left open, error " << GetLastError();
}

TEST(GetPictureFaults, AnUnreadableMemoryBlockGivesBrokenData)
{
    void *region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, region);
    HLOCAL info = Untouched;
    HLOCAL bits = Untouched;
    int32_t result = Plugin().GetPicture(static_cast<const char *>(region), 65536, 1, &info, &bits, nullptr, 0);
    VirtualFree(region, 0, MEM_RELEASE);
    EXPECT_EQ(ResultBrokenData, result);
    EXPECT_EQ(Untouched, info);
    EXPECT_EQ(Untouched, bits);
}
#endif

} // namespace
