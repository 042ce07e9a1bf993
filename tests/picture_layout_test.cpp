// GetPicture lays the picture out while it decodes, inflating pixel data
// straight into the host's block where it can. Whatever the way, a host must
// see exactly what a plain decode into a memory sink, split afterwards, gives:
// the same result, the same progress reports in the same order, the same
// blocks. Each case here is decoded both ways, the plug-in's through its
// export, and compared.
#include "codec/container.h"
#include "plugin/api.h"
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

constexpr size_t FileSizeField = 2;
constexpr size_t PixelOffsetField = 10;
constexpr int32_t UserData = 0x1A70;
constexpr uint32_t SmallestBitmapHeader = 12;

struct Report {
    int32_t numerator;
    int32_t denominator;
    bool operator==(const Report &) const = default;
};

// The reports of the decode under way, and when to answer "stop".
std::vector<Report> *reports = nullptr;
size_t stopAtReport = 0; // 1 = the first; 0 never

int32_t WINAPI Record(int32_t numerator, int32_t denominator, intptr_t userData)
{
    if (userData != UserData)
        ADD_FAILURE() << "user data " << userData << " came back as something else";
    reports->push_back({numerator, denominator});
    return reports->size() == stopAtReport ? 1 : 0;
}

struct Outcome {
    int32_t result = -99;
    Bytes info;
    Bytes bits;
    std::vector<Report> reports;
};

std::string Describe(const Outcome &outcome)
{
    std::ostringstream text;
    text << "result " << outcome.result << ", " << outcome.reports.size() << " reports, info " << outcome.info.size()
         << " bytes, bits " << outcome.bits.size() << " bytes";
    return text.str();
}

// The plain way: the whole file into a memory sink, then the checks and the
// split a host expects, as bytes.
Outcome DecodeThenSplit(const Bytes &container)
{
    Outcome outcome;
    reports = &outcome.reports;
    ByteSource source{};
    HLOCAL block = nullptr;
    ByteSink sink{};
    EXPECT_EQ(ResultOk, OpenSource(&source, reinterpret_cast<const char *>(container.data()),
                                   static_cast<int32_t>(container.size()), SourceMemory));
    EXPECT_EQ(ResultOk, OpenSink(&sink, &block, SourceMemory, ChunkSize));
    outcome.result = DecodeStream(&source, &sink, Record, UserData);
    uint32_t size = static_cast<uint32_t>(sink.Size(&sink));
    CloseSink(&sink);
    CloseSource(&source);
    Bytes file = BlockBytes(block);
    file.resize(size);
    LocalFree(block);
    if (outcome.result != ResultOk)
        return outcome;
    if (size < 14 || file[0] != 'B' || file[1] != 'M' || GetLittle32(file, 6) != 0) {
        outcome.result = ResultBadFormat;
        return outcome;
    }
    uint32_t pixelOffset = GetLittle32(file, PixelOffsetField);
    if (pixelOffset < 14 || pixelOffset > size) {
        outcome.result = pixelOffset < 14 ? ResultNoMemory : ResultBadFormat;
        return outcome;
    }
    if (pixelOffset - 14 < SmallestBitmapHeader) {
        outcome.result = ResultBadFormat;
        return outcome;
    }
    // The final report, which a stop answers like any other.
    if (Record(100, 100, UserData) != 0) {
        outcome.result = ResultAborted;
        return outcome;
    }
    // Each block as long as a viewer reads, trusting the header, the rest zero;
    // the pixel block as long as the whole file the two blocks make.
    outcome.info.assign(file.begin() + 14, file.begin() + pixelOffset);
    ViewerReads reads = WhatAViewerReads(outcome.info);
    outcome.info.resize(std::max<size_t>(outcome.info.size(), reads.info), 0);
    outcome.bits.assign(file.begin() + pixelOffset, file.end());
    outcome.bits.resize(14 + outcome.info.size() + std::max<size_t>(outcome.bits.size(), reads.bits), 0);
    return outcome;
}

Outcome Load(const Bytes &container)
{
    Outcome outcome;
    reports = &outcome.reports;
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    outcome.result = Plugin().GetPicture(reinterpret_cast<const char *>(container.data()),
                                         static_cast<int32_t>(container.size()), 1, &info, &bits, Record, UserData);
    if (outcome.result == ResultOk) {
        ReadLikeAViewer(info, bits, "a picture laid out as it decodes");
        outcome.info = BlockBytes(info);
        outcome.bits = BlockBytes(bits);
        LocalFree(info);
        LocalFree(bits);
    }
    return outcome;
}

void ExpectSameAsDecodeThenSplit(const Bytes &container, const std::string &what)
{
    Outcome expected = DecodeThenSplit(container);
    Outcome actual = Load(container);
    ASSERT_EQ(expected.result, actual.result) << what << ": expected " << Describe(expected) << ", got "
                                              << Describe(actual);
    ASSERT_TRUE(expected.reports == actual.reports)
        << what << ": progress reports differ; expected " << Describe(expected) << ", got " << Describe(actual);
    ASSERT_TRUE(expected.info == actual.info) << what << ": info blocks differ";
    ASSERT_TRUE(expected.bits == actual.bits) << what << ": bits blocks differ";
}

Bytes WithField(Bytes bmp, size_t field, uint32_t value)
{
    PutLittle32(bmp, field, value);
    return bmp;
}

struct LayoutCase {
    const char *description;
    Bytes bmp;
    int level;
};

std::vector<LayoutCase> LayoutCases()
{
    Bytes noisy = MakeNoisyBmp(600, 400, 7);
    uint32_t noisySize = static_cast<uint32_t>(noisy.size());
    return {
        {"a 2x2 picture: header, information and pixels in one step", MakeBmp(2, 2, 24), 6},
        {"an 8-bit picture with a colour table", MakeBmp(300, 200, 8), 6},
        {"noisy pixels over many chunks, sized by the header", noisy, 6},
        {"the same, its header claiming no size", WithField(noisy, FileSizeField, 0), 6},
        {"the same, its header claiming twice its size", WithField(noisy, FileSizeField, 2 * noisySize), 1},
        {"long runs: whole output areas from a few input bytes", MakeBmp(1000, 1000, 24), 9},
        {"pixels 300,000 bytes in: the information takes several steps",
         WithField(noisy, PixelOffsetField, 300000), 6},
        {"pixels right after the file header", WithField(MakeBmp(64, 64, 24), PixelOffsetField, 14), 6},
        {"a pixel offset far beyond the file", WithField(MakeBmp(64, 64, 24), PixelOffsetField, 0x7fffffff), 6},
        {"a pixel offset below the file header", WithField(MakeBmp(64, 64, 24), PixelOffsetField, 10), 6},
        {"no BMP file header", WithField(MakeNoisyBmp(200, 200, 3), 0, 0x12345678), 6},
    };
}

TEST(PictureLayout, WholeContainersGiveWhatDecodingThenSplittingGives)
{
    for (const LayoutCase &layoutCase : LayoutCases())
        ExpectSameAsDecodeThenSplit(WrapZqv(layoutCase.bmp, layoutCase.level), layoutCase.description);
}

TEST(PictureLayout, ContainersCutAnywhereGiveWhatDecodingThenSplittingGives)
{
    constexpr size_t CutsPerCase = 60;
    for (const LayoutCase &layoutCase : LayoutCases()) {
        Bytes container = WrapZqv(layoutCase.bmp, layoutCase.level);
        // Every cut in the first bytes (inside the file header and the
        // information), then cuts spread over the rest.
        size_t step = std::max<size_t>(1, container.size() / CutsPerCase);
        for (size_t cut = 0; cut < container.size(); cut += cut < 64 ? 1 : step) {
            Bytes truncated(container.begin(), container.begin() + cut);
            ExpectSameAsDecodeThenSplit(truncated,
                                        std::string(layoutCase.description) + ", cut at " + std::to_string(cut));
        }
    }
}

// Pictures large enough that the pixel block is made anew at the size the
// header gives, including a header that claims too little, so the block
// must move.
TEST(PictureLayout, LargePicturesGiveWhatDecodingThenSplittingGives)
{
    Bytes large = MakeNoisyBmp(1800, 1900, 11);
    uint32_t largeSize = static_cast<uint32_t>(large.size());
    const LayoutCase cases[] = {
        {"a 10 MB picture sized by its header", large, 1},
        {"the same, its header claiming half its size", WithField(large, FileSizeField, largeSize / 2), 1},
        {"a 10 MB picture of long runs", MakeBmp(2000, 1700, 24), 6},
    };
    constexpr size_t Cuts = 4;
    for (const LayoutCase &layoutCase : cases) {
        Bytes container = WrapZqv(layoutCase.bmp, layoutCase.level);
        ExpectSameAsDecodeThenSplit(container, layoutCase.description);
        for (size_t cut = container.size() / (Cuts + 1); cut < container.size(); cut += container.size() / (Cuts + 1)) {
            Bytes truncated(container.begin(), container.begin() + cut);
            ExpectSameAsDecodeThenSplit(truncated,
                                        std::string(layoutCase.description) + ", cut at " + std::to_string(cut));
        }
    }
}

TEST(PictureLayout, AStopAtAnyReportGivesWhatDecodingThenSplittingGives)
{
    Bytes container = WrapZqv(MakeNoisyBmp(300, 300, 9));
    size_t reportsOfWholeDecode = DecodeThenSplit(container).reports.size();
    ASSERT_GT(reportsOfWholeDecode, 3u);
    for (stopAtReport = 1; stopAtReport <= reportsOfWholeDecode; ++stopAtReport)
        ExpectSameAsDecodeThenSplit(container, "a stop at report " + std::to_string(stopAtReport));
    stopAtReport = 0;
}

} // namespace
