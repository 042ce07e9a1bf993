// ByteSink: a growable block of local memory, handed over at close.
#include "streams/sink.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

namespace {

Bytes Pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

class Sink : public ::testing::Test {
protected:
    void Open(int32_t initialSize) { ASSERT_EQ(0, OpenSink(&sink_, &handed_, SourceMemory, initialSize)); }
    uint32_t Write(const Bytes &bytes)
    {
        return sink_.Write(&sink_, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    // Closes the sink and returns the whole block it handed over.
    Bytes Close()
    {
        EXPECT_EQ(0, CloseSink(&sink_));
        return BlockBytes(handed_);
    }
    void TearDown() override
    {
        if (sink_.Write)
            CloseSink(&sink_);
        if (handed_)
            LocalFree(handed_);
    }
    ByteSink sink_{};
    HLOCAL handed_ = nullptr;
};

TEST_F(Sink, AWriteThatFitsExactlyDoesNotGrowAndTheNextGrowsByItsOwnSize)
{
    Open(102400);
    Bytes first = Pattern(102400, 1);
    Bytes second = Pattern(102400, 2);
    EXPECT_EQ(102400u, Write(first));
    EXPECT_EQ(102400u, sink_.block.capacity);
    EXPECT_EQ(102400u, Write(second));
    EXPECT_EQ(204800u, sink_.block.capacity);
    EXPECT_EQ(204800, sink_.Size(&sink_));
    Bytes block = Close();
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(expected, block);
}

TEST_F(Sink, GrowsByAtLeastSinkGrowthAndZeroFillsTheRest)
{
    Open(10);
    Bytes eleven = Pattern(11, 5);
    EXPECT_EQ(11u, Write(eleven));
    EXPECT_EQ(16394u, sink_.block.capacity);
    EXPECT_EQ(11, sink_.Size(&sink_));
    Bytes block = Close();
    ASSERT_EQ(16394u, block.size());
    EXPECT_EQ(eleven, Bytes(block.begin(), block.begin() + 11));
    EXPECT_EQ(Bytes(16394 - 11, 0), Bytes(block.begin() + 11, block.end())) << "the grown part must be zero";
}

TEST_F(Sink, AtLeastDoublesWhenItMustGrow)
{
    // A long stream written in decoder-sized pieces: each growth must at
    // least double the block, or a large picture is copied over and over.
    Open(102400);
    Bytes piece = Pattern(102400, 9);
    uint32_t growths = 0;
    uint32_t capacityBefore = sink_.block.capacity;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(102400u, Write(piece));
        if (sink_.block.capacity != capacityBefore) {
            EXPECT_GE(sink_.block.capacity, 2 * capacityBefore) << "growth number " << growths + 1;
            capacityBefore = sink_.block.capacity;
            growths++;
        }
    }
    EXPECT_LE(growths, 6u) << "40 pieces into a doubling block";
    EXPECT_EQ(40 * 102400, sink_.Size(&sink_));
}

TEST_F(Sink, NonPositiveInitialSizesStartWithTheDefault)
{
    for (int32_t initialSize : {-5, 0}) {
        Open(initialSize);
        EXPECT_EQ(SinkGrowth, sink_.block.capacity) << "initial size " << initialSize;
        Close();
        LocalFree(handed_);
        handed_ = nullptr;
    }
}

TEST_F(Sink, PutByteFillsTheBlockAndGrowsIt)
{
    Open(3);
    for (int value : {0x141, 2, 3, 4, 5})
        EXPECT_EQ(value, sink_.PutByte(&sink_, value));
    EXPECT_EQ(3u + SinkGrowth, sink_.block.capacity);
    Bytes block = Close();
    EXPECT_EQ((Bytes{0x41, 2, 3, 4, 5}), Bytes(block.begin(), block.begin() + 5)) << "only the low byte is stored";
}

TEST_F(Sink, CloseHandsTheBlockOverAndClearsTheWritingSlots)
{
    Open(100);
    Write(Pattern(42, 3));
    EXPECT_EQ(0, sink_.Flush(&sink_));
    Bytes block = Close();
    EXPECT_EQ(Pattern(42, 3), Bytes(block.begin(), block.begin() + 42));
    EXPECT_EQ(nullptr, sink_.Write);
    EXPECT_EQ(nullptr, sink_.PutByte);
    EXPECT_EQ(nullptr, sink_.Flush);
    ASSERT_NE(nullptr, sink_.Size) << "the count can still be asked for";
    EXPECT_EQ(42, sink_.Size(&sink_));
}

TEST_F(Sink, OnlyTheMemoryKindOpens)
{
    for (int32_t kind : {0, 2, -1}) {
        HLOCAL target = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(-1, OpenSink(&sink_, &target, kind, 100)) << "kind " << kind;
        EXPECT_EQ(reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef)), target) << "kind " << kind;
    }
}

#ifndef _WIN32
// Allocation failures, with the native stand-in's failure injection.
class SinkOutOfMemory : public Sink {
protected:
    void SetUp() override { liveBefore_ = LocalMemoryLiveBlocks(); }
    void TearDown() override
    {
        LocalMemoryFailAllocation(0);
        Sink::TearDown();
        EXPECT_EQ(liveBefore_, LocalMemoryLiveBlocks()) << "a block was left allocated";
    }
    long liveBefore_ = 0;
};

TEST_F(SinkOutOfMemory, OpenStoresANullHandleAndReportsNoMemory)
{
    HLOCAL target = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xdeadbeef));
    LocalMemoryFailAllocation(1);
    EXPECT_EQ(4, OpenSink(&sink_, &target, SourceMemory, 100));
    EXPECT_EQ(nullptr, target);
}

TEST_F(SinkOutOfMemory, FallsBackToTheLeastGrowthWhenDoublingFails)
{
    Open(100000);
    Write(Pattern(90000, 7));
    LocalMemoryFailAllocation(1); // the doubling try fails...
    EXPECT_EQ(20000u, Write(Pattern(20000, 8)));
    EXPECT_EQ(120000u, sink_.block.capacity) << "...so the block grows by just the write's own size";
}

TEST_F(SinkOutOfMemory, AWriteThatCannotGrowTakesNothingAndChangesNothing)
{
    Open(100000);
    Bytes kept = Pattern(90000, 7);
    Write(kept);
    struct Case {
        const char *description;
        long failures;
        uint32_t count;
    };
    const Case cases[] = {
        {"both the doubling and the least growth fail", 2, 50000},
        {"a write larger than the block has one try only", 1, 250000},
    };
    for (const Case &c : cases) {
        LocalMemoryFailAllocation(1, c.failures);
        EXPECT_EQ(0u, Write(Pattern(c.count, 9))) << c.description;
        LocalMemoryFailAllocation(0);
        EXPECT_EQ(100000u, sink_.block.capacity) << c.description;
        EXPECT_EQ(90000, sink_.Size(&sink_)) << c.description;
    }
    Bytes filler = Pattern(10000 - 1, 4);
    ASSERT_EQ(filler.size(), Write(filler)) << "a write that fits needs no memory";
    EXPECT_EQ(0x33, sink_.PutByte(&sink_, 0x33)) << "the last byte of room";
    LocalMemoryFailAllocation(1, 2);
    EXPECT_EQ(-1, sink_.PutByte(&sink_, 0x44)) << "no room, and the block cannot grow";
    LocalMemoryFailAllocation(0);

    Bytes block = Close();
    kept.insert(kept.end(), filler.begin(), filler.end());
    kept.push_back(0x33);
    EXPECT_EQ(kept, block) << "the stream is exactly what was taken";
}
#endif

} // namespace
