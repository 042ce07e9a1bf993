// zqv_bench: measures, side by side in one run, what the plug-in's design
// choices buy. Shared machines are noisy, so every figure is a ratio of two
// timings taken in the same run, each the best of several rounds.
//
//   sink growth   appending a large picture in decoder-sized pieces to the
//                 ByteSink (whose block at least doubles when it grows),
//                 against a block grown by one piece at a time.
//   decode        GetPicture of a large picture through the plug-in, against
//                 zlib's own uncompress of the same data into one buffer.
//
// Usage: zqv_bench [megabytes]   (default 100)
#include "codec/container.h"
#include "streams/sink.h"
#include "tools/plugin_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>
#include <zlib.h>

namespace {

constexpr int Rounds = 3;
// A round this slow says enough on its own; repeating it only costs time.
constexpr double SlowRoundSeconds = 5.0;
constexpr uint32_t Megabyte = 1u << 20;

double BestSeconds(const std::function<void()> &work)
{
    double best = 1e30;
    for (int round = 0; round < Rounds; ++round) {
        auto started = std::chrono::steady_clock::now();
        work();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        best = std::min(best, took.count());
        if (took.count() > SlowRoundSeconds)
            break;
    }
    return best;
}

// The ByteSink as the decoder uses it.
void AppendToSink(uint32_t totalBytes, const std::vector<uint8_t> &piece)
{
    HLOCAL block = nullptr;
    ByteSink sink{};
    if (OpenSink(&sink, &block, SourceMemory, ChunkSize) != ResultOk)
        std::abort();
    for (uint32_t written = 0; written < totalBytes; written += ChunkSize)
        if (sink.Write(&sink, piece.data(), ChunkSize) != ChunkSize)
            std::abort();
    CloseSink(&sink);
    LocalFree(block);
}

// The baseline: a moveable block grown by just what each write needs.
void AppendPieceByPiece(uint32_t totalBytes, const std::vector<uint8_t> &piece)
{
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, ChunkSize);
    size_t capacity = ChunkSize;
    for (uint32_t written = 0; written < totalBytes; written += ChunkSize) {
        if (written + ChunkSize > capacity) {
            capacity += ChunkSize;
            HLOCAL grown = LocalReAlloc(block, capacity, LMEM_MOVEABLE | LMEM_ZEROINIT);
            if (grown == nullptr)
                std::abort();
            block = grown;
        }
        auto *bytes = static_cast<uint8_t *>(LocalLock(block));
        std::memcpy(bytes + written, piece.data(), ChunkSize);
        LocalUnlock(block);
    }
    LocalFree(block);
}

// A BMP file of about `bytes` bytes, of pixels that compress like a scan.
std::vector<uint8_t> LargeBmp(uint32_t bytes)
{
    constexpr uint32_t HeaderBytes = 54;
    uint32_t width = 4096;
    uint32_t rowBytes = width * 3;
    uint32_t height = std::max<uint32_t>(1, bytes / rowBytes);
    std::vector<uint8_t> file(HeaderBytes + rowBytes * height);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            file[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, HeaderBytes);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    file[26] = 1;
    file[28] = 24;
    uint32_t noise = 1;
    for (size_t at = HeaderBytes; at < file.size(); ++at) {
        noise = noise * 1664525 + 1013904223;
        file[at] = static_cast<uint8_t>((at / 3 % 251) + (noise >> 29));
    }
    return file;
}

std::vector<uint8_t> Scrambled(const std::vector<uint8_t> &file)
{
    uLongf packedLength = compressBound(static_cast<uLong>(file.size()));
    std::vector<uint8_t> packed(packedLength);
    if (compress2(packed.data(), &packedLength, file.data(), static_cast<uLong>(file.size()), 6) != Z_OK)
        std::abort();
    packed.resize(packedLength);
    Descramble(packed.data(), static_cast<uint32_t>(packed.size()));
    return packed;
}

void CompareSinkGrowth(uint32_t totalBytes)
{
    std::vector<uint8_t> piece(ChunkSize, 0x5A);
    double doubling = BestSeconds([&] { AppendToSink(totalBytes, piece); });
    double pieceByPiece = BestSeconds([&] { AppendPieceByPiece(totalBytes, piece); });
    std::printf("sink growth, %u MB in %u-byte writes:\n", totalBytes / Megabyte, ChunkSize);
    std::printf("  ByteSink (doubling)       %8.3f s\n", doubling);
    std::printf("  grown piece by piece      %8.3f s\n", pieceByPiece);
    std::printf("  ratio piece/doubling      %8.1f x\n", pieceByPiece / doubling);
}

void CompareDecode(uint32_t totalBytes)
{
    PluginExports plugin;
    std::string error;
    if (!LoadPlugin(&plugin, &error)) {
        std::fprintf(stderr, "zqv_bench: %s\n", error.c_str());
        std::exit(1);
    }
    std::vector<uint8_t> file = LargeBmp(totalBytes);
    std::vector<uint8_t> container = Scrambled(file);
    std::vector<uint8_t> plain = container;
    Descramble(plain.data(), static_cast<uint32_t>(plain.size()));
    std::vector<uint8_t> output(file.size());

    double throughPlugin = BestSeconds([&] {
        HLOCAL info = nullptr;
        HLOCAL bits = nullptr;
        int32_t result = plugin.GetPicture(reinterpret_cast<const char *>(container.data()),
                                           static_cast<int32_t>(container.size()), 1, &info, &bits, nullptr, 0);
        if (result != ResultOk)
            std::abort();
        LocalFree(info);
        LocalFree(bits);
    });
    double zlibAlone = BestSeconds([&] {
        uLongf outputLength = static_cast<uLongf>(output.size());
        if (uncompress(output.data(), &outputLength, plain.data(), static_cast<uLong>(plain.size())) != Z_OK)
            std::abort();
    });
    std::printf("decode, a %u MB picture (%u MB as ZQV):\n", static_cast<uint32_t>(file.size() / Megabyte),
                static_cast<uint32_t>(container.size() / Megabyte));
    std::printf("  GetPicture                %8.3f s  (%.0f MB/s)\n", throughPlugin,
                file.size() / Megabyte / throughPlugin);
    std::printf("  zlib uncompress alone     %8.3f s\n", zlibAlone);
    std::printf("  ratio GetPicture/zlib     %8.2f x\n", throughPlugin / zlibAlone);
    UnloadPlugin(&plugin);
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t megabytes = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100;
    if (megabytes == 0 || megabytes > 1000) {
        std::fprintf(stderr, "usage: zqv_bench [megabytes, 1..1000]\n");
        return 2;
    }
    std::printf("best of %d rounds each (one, for a round over %.0f s)\n", Rounds, SlowRoundSeconds);
    CompareSinkGrowth(megabytes * Megabyte);
    CompareDecode(megabytes * Megabyte);
    return 0;
}
