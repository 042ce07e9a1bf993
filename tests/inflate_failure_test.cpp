// What happens when the decompressor itself cannot be set up (zlib's
// inflateInit for a block, the stream decoder's inflater for a picture, fail
// as when their allocation fails). Native only: the link wraps inflateInit_
// and StartStreamInflater so a test can make them fail on demand.
#include "codec/container.h"
#include "plugin/api.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

extern "C" int __real_inflateInit_(z_streamp stream, const char *version, int streamSize);

// StartStreamInflater, by its C++ name.
extern "C" bool __real__Z19StartStreamInflaterP14StreamInflater(StreamInflater *inflater);

namespace {
bool inflateInitFails = false;
}

extern "C" int __wrap_inflateInit_(z_streamp stream, const char *version, int streamSize)
{
    if (inflateInitFails)
        return Z_MEM_ERROR;
    return __real_inflateInit_(stream, version, streamSize);
}

extern "C" bool __wrap__Z19StartStreamInflaterP14StreamInflater(StreamInflater *inflater)
{
    return !inflateInitFails && __real__Z19StartStreamInflaterP14StreamInflater(inflater);
}

namespace {

class InflateInitFails : public ::testing::Test {
protected:
    void SetUp() override
    {
        liveBefore_ = LocalMemoryLiveBlocks();
        inflateInitFails = true;
    }
    void TearDown() override
    {
        inflateInitFails = false;
        EXPECT_EQ(liveBefore_, LocalMemoryLiveBlocks()) << "a block was left allocated";
    }
    Bytes container_ = WrapZqv(MakeBmp(40, 30, 24));
    long liveBefore_ = 0;
};

TEST_F(InflateInitFails, DecodeBlockFails)
{
    Bytes output(1024, 0);
    EXPECT_EQ(0, DecodeBlock(container_.data(), output.data(), static_cast<uint32_t>(container_.size()), 1024));
}

TEST_F(InflateInitFails, DecodeStreamReportsNoMemoryAndWritesNothing)
{
    ByteSource source{};
    ASSERT_EQ(0, OpenSource(&source, reinterpret_cast<const char *>(container_.data()),
                            static_cast<int32_t>(container_.size()), SourceMemory));
    HLOCAL block = nullptr;
    ByteSink sink{};
    ASSERT_EQ(0, OpenSink(&sink, &block, SourceMemory, ChunkSize));
    EXPECT_EQ(ResultNoMemory, DecodeStream(&source, &sink, DefaultProgress, 0));
    EXPECT_EQ(0, sink.Size(&sink));
    CloseSink(&sink);
    LocalFree(block);
    CloseSource(&source);
}

TEST_F(InflateInitFails, ThePictureReportsNoMemoryAndTheProbeSaysNo)
{
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    EXPECT_EQ(ResultNoMemory, LoadPicture(reinterpret_cast<const char *>(container_.data()),
                                          static_cast<int32_t>(container_.size()), 1, &info, &bits, nullptr, 0));
    Bytes head = container_;
    head.resize(2048, 0);
    EXPECT_EQ(0, ProbeHead(reinterpret_cast<HandleOrAddress>(head.data()), true));
}

} // namespace
