// ByteSource over files and memory blocks.
#include "streams/results.h"
#include "streams/source.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

Bytes Numbered(size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

// Counts the refills of an open source by wrapping its Refill slot, as only
// a record with its own table of operations allows.
struct RefillCounter {
    static inline uint32_t (*original)(ByteSource *) = nullptr;
    static inline int withData = 0;
    static inline int empty = 0;
    static uint32_t Count(ByteSource *source)
    {
        uint32_t available = original(source);
        (available ? withData : empty)++;
        return available;
    }
    static void Attach(ByteSource *source)
    {
        original = source->Refill;
        withData = empty = 0;
        source->Refill = Count;
    }
};

class FileSource : public ::testing::Test {
protected:
    void Open(const Bytes &contents, int32_t offset)
    {
        file_ = std::make_unique<TempFile>(contents, ".bin");
        ASSERT_EQ(0, OpenSource(&source_, file_->Path().c_str(), offset, SourceFile));
    }
    void TearDown() override
    {
        if (source_.Read)
            CloseSource(&source_);
    }
    std::unique_ptr<TempFile> file_;
    ByteSource source_{};
};

TEST_F(FileSource, OpenedAtAnOffsetDeliversThatByteFirst)
{
    Bytes contents = Numbered(1000);
    Open(contents, 100);
    EXPECT_EQ(100, source_.Tell(&source_));
    EXPECT_EQ(contents[100], source_.GetByte(&source_));
    EXPECT_EQ(101, source_.Tell(&source_)) << "Tell counts delivered bytes, not the buffered ones";
}

TEST_F(FileSource, OffsetsOutsideTheFile)
{
    struct Case {
        const char *description;
        int32_t offset;
        int32_t expectedTell;
        int32_t expectedFirstByte;
    };
    Bytes contents = Numbered(300);
    const Case cases[] = {
        {"the end of the file leaves nothing", 300, 300, -1},
        {"beyond the end leaves nothing", 5000, 5000, -1},
    };
    for (const Case &c : cases) {
        Open(contents, c.offset);
        EXPECT_EQ(c.expectedTell, source_.Tell(&source_)) << c.description;
        EXPECT_EQ(c.expectedFirstByte, source_.GetByte(&source_)) << c.description;
        CloseSource(&source_);
    }
    // A host's position past 2 GiB read as a 32-bit integer: no byte of the
    // file, so no picture, rather than the one at the start.
    for (int32_t negative : {-5, INT32_MIN}) {
        ByteSource unopened{};
        EXPECT_EQ(ResultFileError, OpenSource(&unopened, file_->Path().c_str(), negative, SourceFile))
            << "offset " << negative;
        EXPECT_EQ(nullptr, unopened.Read) << "offset " << negative << ": the record stays unopened";
    }
}

TEST_F(FileSource, ReadGoesAcrossRefillsAndStopsAtTheEnd)
{
    Bytes contents = Numbered(40000);
    Open(contents, 0);
    RefillCounter::Attach(&source_);
    Bytes destination(102400, 0xAA);
    EXPECT_EQ(40000u, source_.Read(&source_, destination.data(), 102400));
    EXPECT_EQ(contents, Bytes(destination.begin(), destination.begin() + 40000));
    EXPECT_EQ(0xAA, destination[40000]) << "nothing written past what was read";
    EXPECT_EQ(3, RefillCounter::withData) << "16,384 + 16,384 + 7,232 bytes";
    EXPECT_EQ(1, RefillCounter::empty) << "the final refill finds the end";
    EXPECT_EQ(0u, source_.Read(&source_, destination.data(), 102400));
    EXPECT_EQ(0u, source_.Read(&source_, destination.data(), 0));
}

TEST_F(FileSource, GetByteAndReadMixAcrossTheBufferBoundary)
{
    Bytes contents = Numbered(SourceBufferSize * 2 + 10);
    Open(contents, 0);
    Bytes delivered;
    Bytes piece(5000);
    while (true) {
        int32_t byte = source_.GetByte(&source_);
        if (byte < 0)
            break;
        delivered.push_back(static_cast<uint8_t>(byte));
        uint32_t got = source_.Read(&source_, piece.data(), static_cast<uint32_t>(piece.size()));
        delivered.insert(delivered.end(), piece.begin(), piece.begin() + got);
    }
    EXPECT_EQ(contents, delivered);
    for (int again = 0; again < 3; ++again)
        EXPECT_EQ(-1, source_.GetByte(&source_)) << "an exhausted source stays exhausted";
    EXPECT_EQ(static_cast<int32_t>(contents.size()), source_.Tell(&source_));
}

TEST_F(FileSource, SeekReturnsThePositionBeforeTheMove)
{
    Bytes contents = Numbered(50000);
    Open(contents, 0);
    Bytes skipped(20000);
    source_.Read(&source_, skipped.data(), 20000);

    EXPECT_EQ(20000, source_.Seek(&source_, 0, 2));
    EXPECT_EQ(50000, source_.Tell(&source_));
    EXPECT_EQ(50000, source_.Seek(&source_, 123, 0));
    EXPECT_EQ(123, source_.Tell(&source_));
    EXPECT_EQ(contents[123], source_.GetByte(&source_));
    EXPECT_EQ(124, source_.Seek(&source_, 1000, 1)) << "origin 1 counts from the logical position";
    EXPECT_EQ(contents[1124], source_.GetByte(&source_));
    EXPECT_EQ(1125, source_.Seek(&source_, -10, 2));
    EXPECT_EQ(contents[49990], source_.GetByte(&source_));
}

TEST_F(FileSource, AFailedSeekChangesNothing)
{
    Bytes contents = Numbered(5000);
    Open(contents, 0);
    ASSERT_EQ(contents[0], source_.GetByte(&source_));
    EXPECT_EQ(-1, source_.Seek(&source_, -1, 0)) << "before the start of the file";
    EXPECT_EQ(-1, source_.Seek(&source_, -5000, 1));
    EXPECT_EQ(1, source_.Tell(&source_));
    EXPECT_EQ(contents[1], source_.GetByte(&source_)) << "the buffered bytes must survive a refused move";
}

TEST_F(FileSource, CloseClearsTheSlotsAndTheHandle)
{
    Open(Numbered(10), 0);
    EXPECT_EQ(0, CloseSource(&source_));
    EXPECT_EQ(INVALID_HANDLE_VALUE, source_.handle);
    EXPECT_EQ(nullptr, source_.Read);
    EXPECT_EQ(nullptr, source_.GetByte);
    EXPECT_EQ(nullptr, source_.Refill);
    EXPECT_EQ(nullptr, source_.Tell);
    EXPECT_EQ(nullptr, source_.Seek);
}

TEST(OpenSource, AMissingFileLeavesTheRecordUnopened)
{
    ByteSource source{};
    source.kind = 77;
    EXPECT_EQ(6, OpenSource(&source, MissingFilePath().c_str(), 0, SourceFile));
    EXPECT_EQ(77, source.kind);
    EXPECT_EQ(nullptr, source.Read);
}

TEST(OpenSource, UnknownKindsAreRefused)
{
    ByteSource source{};
    uint8_t block[4] = {};
    EXPECT_EQ(-1, OpenSource(&source, reinterpret_cast<const char *>(block), 4, 2));
    EXPECT_EQ(-1, OpenSource(&source, reinterpret_cast<const char *>(block), 4, -1));
    EXPECT_EQ(nullptr, source.Read);
}

class MemorySource : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, OpenSource(&source_, reinterpret_cast<const char *>(block_.data()),
                                static_cast<int32_t>(block_.size()), SourceMemory));
    }
    Bytes block_ = Numbered(10);
    ByteSource source_{};
};

TEST_F(MemorySource, SeekStaysWithinTheBlock)
{
    EXPECT_EQ(0, source_.Seek(&source_, 0, 2));
    EXPECT_EQ(10, source_.Tell(&source_));
    EXPECT_EQ(10, source_.Seek(&source_, 4, 0));
    EXPECT_EQ(4, source_.Tell(&source_));
    EXPECT_EQ(6u, source_.remaining);

    struct Refusal {
        const char *description;
        int32_t offset;
        int32_t origin;
    };
    const Refusal refusals[] = {
        {"backwards from the current position", -1, 1},
        {"past the end from the current position", 7, 1},
        {"forwards from the end", 1, 2},
        {"before the start from the end", -11, 2},
        {"negative from the start", -1, 0},
        {"past the end from the start", 11, 0},
    };
    for (const Refusal &refusal : refusals) {
        EXPECT_EQ(-1, source_.Seek(&source_, refusal.offset, refusal.origin)) << refusal.description;
        EXPECT_EQ(4, source_.Tell(&source_)) << refusal.description << ": nothing may move";
        EXPECT_EQ(6u, source_.remaining) << refusal.description;
    }
    EXPECT_EQ(4, source_.Seek(&source_, 6, 1)) << "forward to the very end is allowed";
    EXPECT_EQ(10, source_.Seek(&source_, -10, 2)) << "back to the very start is allowed";
    EXPECT_EQ(0, source_.Tell(&source_));
    EXPECT_EQ(0, source_.Seek(&source_, 3, 9)) << "an unknown origin does not move";
    EXPECT_EQ(0, source_.Tell(&source_));
}

TEST_F(MemorySource, DeliversTheBlockAndThenTheEnd)
{
    EXPECT_EQ(block_[0], source_.GetByte(&source_));
    Bytes destination(20, 0);
    EXPECT_EQ(9u, source_.Read(&source_, destination.data(), 20));
    EXPECT_EQ(Bytes(block_.begin() + 1, block_.end()), Bytes(destination.begin(), destination.begin() + 9));
    EXPECT_EQ(-1, source_.GetByte(&source_));
    EXPECT_EQ(0u, source_.Read(&source_, destination.data(), 20));
    EXPECT_EQ(0u, source_.Refill(&source_));
    EXPECT_EQ(0, CloseSource(&source_));
    EXPECT_EQ(0u, source_.remaining);
    EXPECT_EQ(Numbered(10), block_) << "the block stays the caller's, unchanged";
}

} // namespace
