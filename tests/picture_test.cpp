// GetPicture, called as a viewer calls it.
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

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
        {"a pixel-data offset of 14: no bitmap information", WrapZqv(noInfo), ResultOk},
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
        {"a negative offset reads from the start", file.Path(), -7, ResultOk},
    };
    for (const Case &c : cases) {
        Decoded decoded;
        DecodeFile(&decoded, c.path, c.offset);
        EXPECT_EQ(c.expected, decoded.result) << c.description;
    }
}

TEST(GetPicture, ATruncatedContainerDeliversThePixelsUpToTheCut)
{
    Bytes bmp = MakeNoisyBmp(120, 100);
    Bytes container = WrapZqv(bmp);
    container.resize(container.size() * 3 / 4);
    Decoded decoded;
    DecodeMemory(&decoded, container);
    ASSERT_EQ(ResultOk, decoded.result);
    Bytes bits = BlockBytes(decoded.bits);
    Bytes expected = ExpectedBits(bmp);
    ASSERT_LT(bits.size(), bmp.size()) << "the block is as long as the part that was decoded";
    size_t pixelsDecoded = bits.size() - GetLittle32(bmp, 10);
    EXPECT_EQ(Bytes(expected.begin(), expected.begin() + pixelsDecoded),
              Bytes(bits.begin(), bits.begin() + pixelsDecoded));
    EXPECT_EQ(Bytes(bits.size() - pixelsDecoded, 0), Bytes(bits.begin() + pixelsDecoded, bits.end()));
}

// --- a callback that calls back into the plug-in -------------------------------

Bytes *headForCallback = nullptr;
int probesFromCallback = 0;
int32_t WINAPI ProbeFromCallback(int32_t, int32_t, int32_t)
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

int32_t WINAPI FaultingCallback(int32_t, int32_t, int32_t)
{
    volatile int *nowhere = nullptr;
    return *nowhere;
}

int32_t WINAPI FaultAtLastReport(int32_t numerator, int32_t denominator, int32_t)
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
