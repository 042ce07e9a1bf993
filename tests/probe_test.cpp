// IsSupported, from a host's buffer and from an open file handle.
#include "tests/support/plugin.h"

#include <gtest/gtest.h>

namespace {

constexpr size_t HeadBytes = 2048;

Bytes HeadOf(const Bytes &container)
{
    Bytes head(container.begin(), container.begin() + std::min(container.size(), HeadBytes));
    head.resize(HeadBytes, 0);
    return head;
}

int32_t ProbeBuffer(const Bytes &head)
{
    return Plugin().IsSupported("ignored.zqv", reinterpret_cast<HandleOrAddress>(head.data()));
}

HANDLE OpenForReading(const std::string &path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

int32_t ProbeFile(const Bytes &contents, DWORD *positionAfter = nullptr)
{
    TempFile file(contents);
    HANDLE handle = OpenForReading(file.Path());
    if (handle == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot open " << file.Path();
        return -1;
    }
    int32_t answer = Plugin().IsSupported(nullptr, reinterpret_cast<HandleOrAddress>(handle));
    if (positionAfter)
        *positionAfter = SetFilePointer(handle, 0, nullptr, FILE_CURRENT);
    CloseHandle(handle);
    return answer;
}

// A container longer than the head: noisy pixels do not compress.
Bytes LargeContainer() { return WrapZqv(MakeNoisyBmp(64, 64)); }

TEST(IsSupportedFromBuffer, RecognisesTheHeadOfAZqvPicture)
{
    Bytes head = HeadOf(LargeContainer());
    EXPECT_EQ(1, ProbeBuffer(head));
}

TEST(IsSupportedFromBuffer, LeavesTheHostsBufferUnchanged)
{
    Bytes head = HeadOf(LargeContainer());
    const Bytes before = head;
    ASSERT_EQ(1, ProbeBuffer(head));
    EXPECT_EQ(before, head) << "the next plug-in the viewer asks must see the same bytes";
    EXPECT_EQ(1, ProbeBuffer(head)) << "asking twice gives the same answer";
}

TEST(IsSupportedFromBuffer, RejectsWhatIsNotAZqvPicture)
{
    struct Case {
        const char *description;
        Bytes head;
    };
    Bytes bmp = MakeNoisyBmp(64, 64);
    Bytes reserved1 = bmp;
    reserved1[6] = 1;
    Bytes reserved2 = bmp;
    reserved2[9] = 0x80;
    Bytes notBmp = bmp;
    notBmp[1] = 'A';
    Case cases[] = {
        {"a plain BMP file", HeadOf(bmp)},
        {"an unscrambled zlib stream", HeadOf(Masked(LargeContainer()))},
        {"zeros", Bytes(HeadBytes, 0)},
        {"scrambled zeros", HeadOf(Masked(Bytes(HeadBytes, 0)))},
        {"a BMP with a nonzero first reserved word", HeadOf(WrapZqv(reserved1))},
        {"a BMP with a nonzero second reserved word", HeadOf(WrapZqv(reserved2))},
        {"a file that is not a BMP", HeadOf(WrapZqv(notBmp))},
        {"damage after a decoded BMP header", HeadOf(Masked(ZlibHeadThenInvalidBlock(bmp, 100)))},
        {"a complete stream shorter than a header", HeadOf(WrapZqv(Bytes{'B', 'M', 0}))},
    };
    for (Case &c : cases)
        EXPECT_EQ(0, ProbeBuffer(c.head)) << c.description;
}

TEST(IsSupportedFromBuffer, NeverSeesDamageBeyondTheHead)
{
    Bytes container = LargeContainer();
    ASSERT_GT(container.size(), 3 * HeadBytes);
    for (size_t at = HeadBytes; at < container.size(); at += 97)
        container[at] ^= 0x5A;
    EXPECT_EQ(1, ProbeBuffer(HeadOf(container)));
}

TEST(IsSupportedFromHandle, ReadsTheFirst2048BytesFromTheHandle)
{
    Bytes container = LargeContainer();
    DWORD position = 0;
    EXPECT_EQ(1, ProbeFile(container, &position));
    EXPECT_EQ(HeadBytes, position) << "the handle is left where the read left it";
}

TEST(IsSupportedFromHandle, NeedsAtLeast2048Bytes)
{
    // A complete, valid container padded with trailing bytes to an exact length.
    Bytes container = WrapZqv(MakeBmp(4, 4, 24));
    ASSERT_LT(container.size(), HeadBytes - 1);
    Bytes exact = container;
    exact.resize(HeadBytes, 0);
    Bytes oneShort = container;
    oneShort.resize(HeadBytes - 1, 0);
    EXPECT_EQ(1, ProbeFile(exact)) << "a file of exactly 2,048 bytes";
    EXPECT_EQ(0, ProbeFile(oneShort)) << "a file of 2,047 bytes";
    EXPECT_EQ(0, ProbeFile(Bytes{})) << "an empty file";
}

TEST(IsSupportedFromHandle, ValuesUpTo0xFFFFAreHandles)
{
    // Not an open handle: a failed read, so the answer is 0, and nothing is
    // read from the address 0xFFFF.
    EXPECT_EQ(0, Plugin().IsSupported(nullptr, 0xFFFF));
}

#ifdef _WIN32
// An address above 0xFFFF where nothing is mapped.
HandleOrAddress UnmappedAddress()
{
    void *region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    VirtualFree(region, 0, MEM_RELEASE);
    return reinterpret_cast<HandleOrAddress>(region);
}

TEST(IsSupportedFaults, AnUnreadableBufferAnswersZeroAndReleasesTheLock)
{
    HandleOrAddress unmapped = UnmappedAddress();
    ASSERT_GT(unmapped, 0xFFFFu);
    EXPECT_EQ(0, Plugin().IsSupported(nullptr, unmapped)) << "a fault reading the head";
    EXPECT_EQ(0, Plugin().IsSupported(nullptr, 0x10000)) << "the lowest address taken as a buffer";

    Bytes head = HeadOf(LargeContainer());
    EXPECT_EQ(1, ProbeBuffer(head)) << "the same thread probes again";
    int32_t fromOtherThread = -1;
    ASSERT_TRUE(RunThreads({[&] { fromOtherThread = ProbeBuffer(head); }}, 10000))
        << "another thread could not take the lock after a fault";
    EXPECT_EQ(1, fromOtherThread);
}
#endif

} // namespace
