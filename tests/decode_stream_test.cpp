// DecodeStream: a whole container, chunk by chunk, into a sink.
#include "codec/container.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

struct Report {
    int32_t numerator;
    int32_t denominator;
};

// What the decoder reports, and when to answer "stop". One at a time.
struct ProgressRecord {
    std::vector<Report> reports;
    std::vector<intptr_t> userData;
    size_t sinkSizeAtFirstReport = 0;
    int stopAtReport = 0; // 1 = the first; 0 never
};
ProgressRecord *activeRecord = nullptr;
ByteSink *activeSink = nullptr;

int32_t WINAPI Record(int32_t numerator, int32_t denominator, intptr_t userData)
{
    ProgressRecord &record = *activeRecord;
    if (record.reports.empty())
        record.sinkSizeAtFirstReport = static_cast<size_t>(activeSink->Size(activeSink));
    record.reports.push_back({numerator, denominator});
    record.userData.push_back(userData);
    return static_cast<int>(record.reports.size()) == record.stopAtReport ? 1 : 0;
}

// Records the length of every Read the decoder makes.
std::vector<uint32_t> *activeReads = nullptr;
uint32_t (*originalRead)(ByteSource *, uint8_t *, uint32_t) = nullptr;
uint32_t RecordRead(ByteSource *source, uint8_t *destination, uint32_t count)
{
    uint32_t got = originalRead(source, destination, count);
    if (got)
        activeReads->push_back(got);
    return got;
}

constexpr int32_t UserData = 0x5EED1234;

struct Outcome {
    int32_t result = -99;
    Bytes decoded;
    ProgressRecord progress;
    std::vector<uint32_t> reads;
};

// Decodes from an open source into a fresh sink, recording everything.
void DecodeFrom(ByteSource *source, Outcome *outcome)
{
    HLOCAL block = nullptr;
    ByteSink sink{};
    ASSERT_EQ(0, OpenSink(&sink, &block, SourceMemory, ChunkSize));
    activeRecord = &outcome->progress;
    activeSink = &sink;
    activeReads = &outcome->reads;
    originalRead = source->Read;
    source->Read = RecordRead;
    outcome->result = DecodeStream(source, &sink, Record, UserData);
    int32_t size = sink.Size(&sink);
    CloseSink(&sink);
    Bytes whole = BlockBytes(block);
    outcome->decoded.assign(whole.begin(), whole.begin() + size);
    LocalFree(block);
    CloseSource(source);
    activeRecord = nullptr;
}

void DecodeMemory(const Bytes &container, Outcome *outcome, int stopAtReport = 0)
{
    outcome->progress.stopAtReport = stopAtReport;
    ByteSource source{};
    ASSERT_EQ(0, OpenSource(&source, reinterpret_cast<const char *>(container.data()),
                            static_cast<int32_t>(container.size()), SourceMemory));
    DecodeFrom(&source, outcome);
}

void DecodeFile(const std::string &path, int32_t offset, Outcome *outcome)
{
    ByteSource source{};
    ASSERT_EQ(0, OpenSource(&source, path.c_str(), offset, SourceFile));
    DecodeFrom(&source, outcome);
}

// Feeds the container to a fed decode in pieces of pieceLength bytes, into a
// fresh sink; *streamEnded receives what the decoder says of its stream.
void FeedMemory(const Bytes &container, uint32_t pieceLength, Outcome *outcome, bool *streamEnded)
{
    HLOCAL block = nullptr;
    ByteSink sink{};
    ASSERT_EQ(0, OpenSink(&sink, &block, SourceMemory, ChunkSize));
    auto memory = std::make_unique<uint8_t[]>(DecodeAreasBytes(UINT64_MAX));
    DecodeAreas areas = PlaceDecodeAreas(memory.get(), UINT64_MAX);
    StreamDecoder decoder{};
    decoder.sink = &sink;
    decoder.areas = &areas;
    decoder.progress = Record;
    decoder.userData = UserData;
    activeRecord = &outcome->progress;
    activeSink = &sink;
    outcome->result = StartFedDecoder(&decoder);
    for (size_t at = 0; at < container.size() && outcome->result == ResultOk; at += pieceLength) {
        uint32_t length = static_cast<uint32_t>(std::min<size_t>(pieceLength, container.size() - at));
        outcome->result = FeedStreamDecoder(&decoder, container.data() + at, length);
    }
    EndStreamDecoder(&decoder);
    *streamEnded = decoder.streamEnded;
    int32_t size = sink.Size(&sink);
    CloseSink(&sink);
    Bytes whole = BlockBytes(block);
    outcome->decoded.assign(whole.begin(), whole.begin() + size);
    LocalFree(block);
    activeRecord = nullptr;
}

// A BMP-headed file of exactly the length wanted, of bytes that do not compress.
Bytes NoisyFile(size_t length)
{
    Bytes file = MakeNoisyBmp(4, 4);
    uint32_t state = 12345;
    while (file.size() < length) {
        state = state * 1103515245 + 12345;
        file.push_back(static_cast<uint8_t>(state >> 16));
    }
    file.resize(length);
    return file;
}

// A stored (level 0) container of exactly containerLength bytes.
Bytes ContainerOfLength(size_t containerLength, Bytes *file)
{
    size_t fileLength = containerLength - 64;
    while (true) {
        *file = NoisyFile(fileLength);
        Bytes container = WrapZqv(*file, 0);
        if (container.size() == containerLength)
            return container;
        fileLength += containerLength > container.size() ? 1 : -1;
    }
}

TEST(DecodeStream, ReadsInChunksAndReportsHalfTheBytesConsumed)
{
    Bytes file;
    Bytes container = ContainerOfLength(250000, &file);
    Outcome outcome;
    DecodeMemory(container, &outcome);
    EXPECT_EQ(ResultOk, outcome.result);
    EXPECT_EQ(file, outcome.decoded);
    EXPECT_EQ((std::vector<uint32_t>{102400, 102400, 45200}), outcome.reads);
    ASSERT_FALSE(outcome.progress.reports.empty());
    EXPECT_EQ(125000, outcome.progress.reports.back().numerator);
    int32_t previous = 0;
    for (const Report &report : outcome.progress.reports) {
        EXPECT_EQ(250000, report.denominator);
        EXPECT_GE(report.numerator, previous) << "progress went backwards";
        previous = report.numerator;
    }
    for (intptr_t userData : outcome.progress.userData)
        ASSERT_EQ(UserData, userData) << "userData must come back unchanged";
}

TEST(DecodeStream, AFileAtAnOffsetCountsTheWholeFileAsTheDenominator)
{
    Bytes file;
    Bytes container = ContainerOfLength(150000, &file);
    Bytes stored = container;
    stored.insert(stored.begin(), 512, 0x3C);
    TempFile onDisk(stored);
    Outcome outcome;
    DecodeFile(onDisk.Path(), 512, &outcome);
    EXPECT_EQ(ResultOk, outcome.result);
    EXPECT_EQ(file, outcome.decoded);
    ASSERT_FALSE(outcome.progress.reports.empty());
    EXPECT_EQ(150512, outcome.progress.reports.back().denominator);
    EXPECT_EQ(75000, outcome.progress.reports.back().numerator) << "only the container's bytes are counted";
}

TEST(DecodeStream, FileAndMemorySourcesDecodeAlike)
{
    Bytes bmp = MakeBmp(300, 200, 24);
    Bytes container = WrapZqv(bmp);
    TempFile onDisk(container);
    Outcome fromFile;
    Outcome fromMemory;
    DecodeFile(onDisk.Path(), 0, &fromFile);
    DecodeMemory(container, &fromMemory);
    EXPECT_EQ(ResultOk, fromFile.result);
    EXPECT_EQ(bmp, fromFile.decoded);
    EXPECT_EQ(bmp, fromMemory.decoded);
}

TEST(DecodeStream, AStopOnTheFirstReportWritesNothing)
{
    Outcome outcome;
    DecodeMemory(WrapZqv(MakeBmp(64, 64, 24)), &outcome, 1);
    EXPECT_EQ(ResultAborted, outcome.result);
    EXPECT_EQ(1u, outcome.progress.reports.size());
    EXPECT_TRUE(outcome.decoded.empty()) << "the step's output must not be written after a stop";
}

TEST(DecodeStream, AStopLaterKeepsWhatWasWrittenBefore)
{
    Outcome outcome;
    DecodeMemory(WrapZqv(MakeNoisyBmp(300, 300)), &outcome, 3);
    EXPECT_EQ(ResultAborted, outcome.result);
    EXPECT_EQ(3u, outcome.progress.reports.size()) << "no report after the stop";
    EXPECT_FALSE(outcome.decoded.empty());
}

TEST(DecodeStream, ResultsForWholeDamagedAndCutContainers)
{
    Bytes bmp = MakeNoisyBmp(200, 200);
    Bytes container = WrapZqv(bmp);
    struct Case {
        const char *description;
        Bytes container;
        int32_t expectedResult;
        bool decodesWholeFile;
        bool decodesAPrefix; // damaged data may decode wrongly before the damage is seen
    };
    Bytes badTrailer = container;
    badTrailer.at(badTrailer.size() - 1) ^= 0x01; // GCC 12 for mingw misreads [] as writing before the block
    Bytes badData = container;
    badData[container.size() / 2] ^= 0xFF;
    badData[container.size() / 2 + 1] ^= 0xFF;
    Bytes cut(container.begin(), container.begin() + container.size() / 2);
    Bytes trailing = container;
    trailing.insert(trailing.end(), 5000, 0x77);
    Case cases[] = {
        {"a whole container", container, ResultOk, true, true},
        {"a damaged Adler-32 trailer", badTrailer, ResultBrokenData, false, true},
        {"damaged compressed data", badData, ResultBrokenData, false, false},
        {"a container cut in the middle", cut, ResultOk, false, true},
        {"trailing bytes after the end of the stream", trailing, ResultOk, true, true},
        {"an empty container", Bytes{}, ResultOk, false, true},
        {"not a zlib stream", bmp, ResultBrokenData, false, true},
    };
    for (Case &c : cases) {
        Outcome outcome;
        DecodeMemory(c.container, &outcome);
        EXPECT_EQ(c.expectedResult, outcome.result) << c.description;
        if (c.decodesWholeFile) {
            EXPECT_EQ(bmp, outcome.decoded) << c.description;
        } else if (c.decodesAPrefix) {
            EXPECT_TRUE(std::equal(outcome.decoded.begin(), outcome.decoded.end(), bmp.begin()))
                << c.description << ": what was decoded must be the start of the file";
        }
        // Fed in pieces as they might arrive, the container decodes alike,
        // and the decoder says whether its stream ended.
        for (uint32_t pieceLength : {7u, ChunkSize + 3}) {
            Outcome fed;
            bool streamEnded = false;
            FeedMemory(c.container, pieceLength, &fed, &streamEnded);
            EXPECT_EQ(c.expectedResult, fed.result) << c.description << ", fed in pieces of " << pieceLength;
            // Of a damaged stream the step that finds the damage may give
            // nothing, and fed in pieces the steps fall elsewhere: the two
            // agree as far as both went.
            size_t common = std::min(fed.decoded.size(), outcome.decoded.size());
            bool agree = c.expectedResult == ResultOk
                             ? fed.decoded == outcome.decoded
                             : std::equal(fed.decoded.begin(), fed.decoded.begin() + common, outcome.decoded.begin());
            EXPECT_TRUE(agree) << c.description << ", fed in pieces of " << pieceLength;
            EXPECT_EQ(c.expectedResult == ResultOk && c.decodesWholeFile, streamEnded)
                << c.description << ", fed in pieces of " << pieceLength;
        }
    }
    Outcome cutOutcome;
    DecodeMemory(cut, &cutOutcome);
    EXPECT_GT(cutOutcome.decoded.size(), bmp.size() / 4) << "the bytes up to the cut are delivered";
}

TEST(DecodeStream, AStreamEndingAtAChunkBoundary)
{
    Bytes file;
    Bytes container = ContainerOfLength(2 * ChunkSize, &file);
    struct Case {
        const char *description;
        size_t trailingBytes;
    };
    const Case cases[] = {
        {"nothing after it", 0},
        {"a whole chunk of garbage after it", ChunkSize},
        {"a little garbage after it", 3},
    };
    for (const Case &c : cases) {
        Bytes stored = container;
        stored.insert(stored.end(), c.trailingBytes, 0xA5);
        Outcome outcome;
        DecodeMemory(stored, &outcome);
        EXPECT_EQ(ResultOk, outcome.result) << c.description;
        EXPECT_EQ(file, outcome.decoded) << c.description;
    }
}

#ifndef _WIN32
TEST(DecodeStream, ASinkThatCannotGrowEndsTheDecodeWithNoMemory)
{
    long liveBefore = LocalMemoryLiveBlocks();
    Bytes container = WrapZqv(MakeNoisyBmp(200, 200)); // decodes to about 120,000 bytes
    Outcome outcome;
    LocalMemoryFailAllocation(2, 2); // the sink's block opens; its first growth and the retry fail
    DecodeMemory(container, &outcome);
    LocalMemoryFailAllocation(0);
    EXPECT_LE(outcome.decoded.size(), ChunkSize) << "nothing past the failed growth";
    EXPECT_EQ(ResultNoMemory, outcome.result);
    EXPECT_EQ(liveBefore, LocalMemoryLiveBlocks());
}
#endif

} // namespace

namespace {

TEST(DecodeStream, ACutContainerDeliversEverythingItHolds)
{
    // Long runs: a few input bytes give whole output areas, so some cut lands
    // where the input runs out just as the output area fills.
    Bytes bmp = MakeBmp(1000, 1000, 24);
    Bytes container = WrapZqv(bmp, 9);
    constexpr size_t LastCut = 4000;
    ASSERT_GT(container.size(), LastCut);
    int cutsChecked = 0;
    for (size_t cut = 40; cut < LastCut; cut += 7) {
        Bytes truncated(container.begin(), container.begin() + cut);
        Outcome outcome;
        DecodeMemory(truncated, &outcome);
        ASSERT_EQ(ResultOk, outcome.result) << "cut at " << cut;
        Bytes expected = InflateAsFarAsItGoes(truncated);
        ASSERT_EQ(expected.size(), outcome.decoded.size()) << "cut at " << cut;
        ASSERT_TRUE(expected == outcome.decoded) << "cut at " << cut;
        cutsChecked++;
    }
    EXPECT_GT(cutsChecked, 20);
}

} // namespace
