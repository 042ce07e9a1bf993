// ByteSource and ByteSink under random operation sequences, each checked
// step by step against a plain model: the source's bytes in a vector with a
// position, the sink's in a vector.
//
// Input layout:
//   byte 0     bit 0: the source is a file (else memory)
//   bytes 1-2  length L of the source's bytes (cut to what the input has)
//   L bytes    the source's bytes
//   byte       file source: signed offset to open at
//   bytes      initial sink size, signed 16 bits
//   then operations, one byte each plus their operands, to the end.
#include "fuzz/fuzz_target.h"
#include "plugin/api.h"
#include "streams/sink.h"
#include "streams/source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

enum Operation : uint8_t {
    GetByteOp,
    ReadOp,
    SeekOp,
    TellOp,
    PutByteOp,
    WriteOp,
    WriteWithFailedAllocationOp,
    CheckSinkBlockOp,
    OperationCount
};

constexpr int32_t UnknownOrigin = 3;
// Bounds that keep one execution short: every block check reads the whole
// sink, and 256 KiB is still several growths past the 16 KiB default.
constexpr int MaxOperations = 512;
constexpr size_t MaxSinkBytes = 256 * 1024;

// ZQV_FUZZ_TRACE set: every operation is told on stderr, for replaying a finding.
bool Tracing()
{
    static const bool tracing = std::getenv("ZQV_FUZZ_TRACE") != nullptr;
    return tracing;
}

// --- source ------------------------------------------------------------------

struct SourceModel {
    Bytes bytes;
    int64_t position = 0;
    bool isFile = false;

    int64_t Length() const { return static_cast<int64_t>(bytes.size()); }
    int64_t Unread() const { return std::max<int64_t>(0, Length() - position); }

    // Where a seek lands, or -1 when it must be refused. A file moves anywhere
    // from 0 up and refuses an unknown origin; memory stays inside its block,
    // moves only forward from the current position, and stays where it is
    // for an unknown origin.
    int64_t SeekTarget(int32_t offset, int32_t origin) const
    {
        int64_t target;
        if (origin == 0)
            target = offset;
        else if (origin == 1)
            target = position + offset;
        else if (origin == 2)
            target = Length() + offset;
        else
            return isFile ? -1 : position;
        if (target < 0)
            return -1;
        if (!isFile && (target > Length() || (origin == 1 && offset < 0)))
            return -1;
        return target;
    }
};

// The scratch file, one per process. Its name is printed by the C library,
// once: instrumented code turning the process id into digits would count as
// coverage, and the number of digits differs from run to run.
std::string MakeSourceFileName()
{
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/zqv-streams-fuzz-%ld.bin", static_cast<long>(getpid()));
    return name;
}
const std::string SourceFileName = MakeSourceFileName();

struct RemoveSourceFile {
    ~RemoveSourceFile() { unlink(SourceFileName.c_str()); }
} removeSourceFileAtExit;

bool WriteSourceFile(const Bytes &bytes)
{
    FILE *file = std::fopen(SourceFileName.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

void CheckTell(ByteSource *source, const SourceModel &model, const char *after)
{
    int32_t told = source->Tell(source);
    FUZZ_REQUIRE(told == model.position, "Tell after %s gave %d, expected %lld", after, told,
                 static_cast<long long>(model.position));
}

void SourceGetByte(ByteSource *source, SourceModel &model)
{
    int32_t expected = model.Unread() > 0 ? model.bytes[static_cast<size_t>(model.position)] : -1;
    int32_t got = source->GetByte(source);
    FUZZ_REQUIRE(got == expected, "GetByte at %lld gave %d, expected %d", static_cast<long long>(model.position),
                 got, expected);
    if (expected != -1)
        ++model.position;
}

void SourceRead(ByteSource *source, SourceModel &model, uint32_t count)
{
    Bytes got(count + 1, 0xAA);
    uint32_t expected = static_cast<uint32_t>(std::min<int64_t>(count, model.Unread()));
    uint32_t read = source->Read(source, got.data(), count);
    FUZZ_REQUIRE(read == expected, "Read(%u) at %lld gave %u bytes, expected %u", count,
                 static_cast<long long>(model.position), read, expected);
    FUZZ_REQUIRE(read == 0 || std::equal(got.begin(), got.begin() + read, model.bytes.begin() + model.position),
                 "Read(%u) at %lld delivered other bytes than the source holds", count,
                 static_cast<long long>(model.position));
    FUZZ_REQUIRE(got[count] == 0xAA, "Read(%u) wrote past the bytes it was asked for", count);
    model.position += read;
}

void SourceSeek(ByteSource *source, SourceModel &model, int32_t offset, int32_t origin)
{
    int64_t target = model.SeekTarget(offset, origin);
    int64_t expected = target == -1 ? -1 : model.position;
    int32_t got = source->Seek(source, offset, origin);
    if (Tracing())
        std::fprintf(stderr, "Seek(%d, %d) gave %d\n", offset, origin, got);
    FUZZ_REQUIRE(got == expected, "Seek(%d, %d) at %lld of %lld gave %d, expected %lld", offset, origin,
                 static_cast<long long>(model.position), static_cast<long long>(model.Length()), got,
                 static_cast<long long>(expected));
    if (target != -1)
        model.position = target;
}

// --- sink ----------------------------------------------------------------------

void CheckSinkBlock(ByteSink *sink, const Bytes &model)
{
    int32_t size = sink->Size(sink);
    FUZZ_REQUIRE(size == static_cast<int32_t>(model.size()), "Size gave %d, expected %zu", size, model.size());
    FUZZ_REQUIRE(sink->block.start != nullptr, "the sink's block is not locked");
    FUZZ_REQUIRE(std::equal(model.begin(), model.end(), sink->block.start), "the sink holds other bytes");
    FUZZ_REQUIRE(sink->block.capacity >= model.size() && LocalSize(sink->block.handle) >= sink->block.capacity,
                 "capacity %u, block of %zu bytes, %zu bytes held", sink->block.capacity, LocalSize(sink->block.handle),
                 model.size());
    bool tailClear = std::all_of(sink->block.start + model.size(), sink->block.start + sink->block.capacity,
                                 [](uint8_t byte) { return byte == 0; });
    FUZZ_REQUIRE(tailClear, "the sink's block is not zero past its %zu bytes", model.size());
}

Bytes Pattern(uint32_t count, uint8_t seed)
{
    Bytes bytes(count);
    for (uint32_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 31);
    return bytes;
}

void SinkPutByte(ByteSink *sink, Bytes &model, int32_t value)
{
    int32_t got = sink->PutByte(sink, value);
    FUZZ_REQUIRE(got == value, "PutByte(%d) gave %d with memory to spare", value, got);
    model.push_back(static_cast<uint8_t>(value));
}

// With a failure armed the sink may or may not grow; either way it must
// hold exactly what its answer says it took.
void SinkWrite(ByteSink *sink, Bytes &model, uint32_t count, uint8_t seed, bool failAnAllocation)
{
    if (model.size() + count > MaxSinkBytes)
        return;
    Bytes bytes = Pattern(count, seed);
    LocalMemoryFailAllocation(failAnAllocation ? 1 : 0);
    uint32_t written = sink->Write(sink, bytes.data(), count);
    LocalMemoryFailAllocation(0);
    if (!failAnAllocation)
        FUZZ_REQUIRE(written == count, "Write(%u) gave %u with memory to spare", count, written);
    else
        FUZZ_REQUIRE(written == count || written == 0, "Write(%u) gave %u, expected all or nothing", count,
                     written);
    model.insert(model.end(), bytes.begin(), bytes.begin() + written);
    int32_t size = sink->Size(sink);
    FUZZ_REQUIRE(size == static_cast<int32_t>(model.size()), "Size after Write gave %d, expected %zu", size,
                 model.size());
}

void CheckClosedSink(ByteSink *sink, HLOCAL delivered, const Bytes &model)
{
    FUZZ_REQUIRE(delivered != nullptr, "CloseSink delivered no block");
    FUZZ_REQUIRE(sink->Size(sink) == static_cast<int32_t>(model.size()), "Size after CloseSink gave %d, expected %zu",
                 sink->Size(sink), model.size());
    auto *bytes = static_cast<const uint8_t *>(LocalLock(delivered));
    FUZZ_REQUIRE(bytes != nullptr, "the delivered block cannot be locked");
    FUZZ_REQUIRE(LocalSize(delivered) >= model.size(), "delivered block of %zu bytes holds %zu",
                 LocalSize(delivered), model.size());
    FUZZ_REQUIRE(std::equal(model.begin(), model.end(), bytes), "the delivered block holds other bytes");
    LocalUnlock(delivered);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputReader input(data, size);
    SourceModel model;
    model.isFile = (input.Byte() & 1) != 0;
    size_t length = 0;
    const uint8_t *sourceBytes = input.Take(input.Little16(), &length);
    model.bytes.assign(sourceBytes, sourceBytes + length);
    int8_t openOffset = static_cast<int8_t>(input.Byte());
    int16_t initialSinkSize = static_cast<int16_t>(input.Little16());

    long liveBefore = LocalMemoryLiveBlocks();
    ByteSource source;
    if (model.isFile) {
        FUZZ_REQUIRE(WriteSourceFile(model.bytes), "cannot write %s", SourceFileName.c_str());
        int32_t opened = OpenSource(&source, SourceFileName.c_str(), openOffset, SourceFile);
        if (openOffset < 0) {
            // A negative offset names no byte: refused, and the file is
            // opened again at its start for the operations that follow.
            FUZZ_REQUIRE(opened == ResultFileError, "OpenSource at offset %d gave %d", openOffset, opened);
            opened = OpenSource(&source, SourceFileName.c_str(), 0, SourceFile);
        }
        FUZZ_REQUIRE(opened == ResultOk, "OpenSource on a file gave %d", opened);
        model.position = std::max<int64_t>(0, openOffset);
    } else {
        OpenSource(&source, reinterpret_cast<const char *>(model.bytes.data()),
                   static_cast<int32_t>(model.bytes.size()), SourceMemory);
    }
    CheckTell(&source, model, "opening");

    HLOCAL delivered = nullptr;
    ByteSink sink;
    int32_t sinkOpened = OpenSink(&sink, &delivered, SourceMemory, initialSinkSize);
    FUZZ_REQUIRE(sinkOpened == ResultOk, "OpenSink(%d) gave %d", initialSinkSize, sinkOpened);
    Bytes sinkModel;

    for (int step = 0; step < MaxOperations && !input.AtEnd(); ++step) {
        uint8_t operation = input.Byte() % OperationCount;
        if (Tracing())
            std::fprintf(stderr, "operation %u at %lld\n", operation, static_cast<long long>(model.position));
        switch (operation) {
        case GetByteOp:
            SourceGetByte(&source, model);
            break;
        case ReadOp:
            SourceRead(&source, model, input.Little16());
            break;
        case SeekOp: {
            auto offset = static_cast<int16_t>(input.Little16());
            SourceSeek(&source, model, offset, input.Byte() % (UnknownOrigin + 1));
            break;
        }
        case TellOp:
            CheckTell(&source, model, "a step");
            break;
        case PutByteOp:
            SinkPutByte(&sink, sinkModel, static_cast<int16_t>(input.Little16()));
            break;
        case WriteOp: {
            uint16_t count = input.Little16();
            SinkWrite(&sink, sinkModel, count, input.Byte(), false);
            break;
        }
        case WriteWithFailedAllocationOp: {
            uint16_t count = input.Little16();
            SinkWrite(&sink, sinkModel, count, input.Byte(), true);
            break;
        }
        case CheckSinkBlockOp:
            CheckSinkBlock(&sink, sinkModel);
            break;
        }
        CheckTell(&source, model, "an operation");
    }

    CheckSinkBlock(&sink, sinkModel);
    CloseSink(&sink);
    CheckClosedSink(&sink, delivered, sinkModel);
    LocalFree(delivered);
    CloseSource(&source);
    FUZZ_REQUIRE(LocalMemoryLiveBlocks() == liveBefore, "%ld local blocks live, expected %ld",
                 LocalMemoryLiveBlocks(), liveBefore);
    return 0;
}
