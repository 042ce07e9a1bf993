// A container decoded into one block, as a whole BMP file for an image
// library (codec/container.h, PictureFileDecode).
#include "codec/container.h"

#include <algorithm>
#include <cstring>

namespace {

// The kind number of the ByteSink, which only the decoder writes to.
constexpr int32_t SinkPictureFile = 4;
constexpr UINT FileBlockFlags = LMEM_MOVEABLE;

PictureFileDecode &DecodeOf(ByteSink *sink) { return *reinterpret_cast<PictureFileDecode *>(sink); }

uint32_t FitsBlock(uint64_t bytes) { return static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX)); }

bool Refuse(PictureFileDecode &decode, FileVerdict why)
{
    decode.refusal = why;
    return false;
}

bool Append(PictureFileDecode &decode, const uint8_t *bytes, uint32_t count, uint64_t mostBytes)
{
    return AppendToLocalBlock(&decode.sink.block, bytes, count, FitsBlock(mostBytes)) == count ||
           Refuse(decode, FileVerdict::NoMemory);
}

// The block is made as long as the file will be once the head says so (the
// rows and the pixel offset, or the file size the header claims), within
// what the picture may hold: a large picture then never moves while it
// comes. Where that cannot be had, the block grows as the file comes.
void ReserveFile(PictureFileDecode &decode)
{
    RowCoverage atStart = decode.rows;
    atStart.position = 0;
    uint64_t expected = std::max<uint64_t>(CompleteFileLength(&atStart), BmpFileSize(decode.sink.block.start));
    uint32_t reserve = FitsBlock(std::min(expected, decode.head.mostDecoded));
    if (reserve > decode.sink.block.capacity)
        ResizeOpenLocalBlock(&decode.sink.block, reserve);
}

// Judges the head of the file, all of it or all the stream gave.
bool JudgeHead(PictureFileDecode &decode)
{
    LocalBlock &file = decode.sink.block;
    decode.headJudged = true;
    decode.head = JudgePictureHead(file.start, file.used);
    if (decode.head.verdict != HeadVerdict::Picture)
        return Refuse(decode, FileVerdict::BadHead);
    StartRowCoverage(&decode.rows, file.start, file.used);
    ReserveFile(decode);
    return true;
}

// The decoded file as it comes: its head is judged as soon as it is all
// there, the rest taken up to the bomb limit. 0 refuses the bytes and so
// ends the decode.
uint32_t WriteDecoded(ByteSink *sink, const uint8_t *bytes, uint32_t count)
{
    PictureFileDecode &decode = DecodeOf(sink);
    uint32_t given = count;
    if (!decode.headJudged) {
        uint32_t headPart = std::min(count, JudgedHeadBytes - decode.sink.block.used);
        if (!Append(decode, bytes, headPart, JudgedHeadBytes))
            return 0;
        bytes += headPart;
        count -= headPart;
        if (decode.sink.block.used < JudgedHeadBytes)
            return given;
        if (!JudgeHead(decode) || decode.headOnly)
            return 0;
    }
    if (decode.sink.block.used + uint64_t(count) > decode.head.mostDecoded)
        return Refuse(decode, FileVerdict::Bomb);
    if (!Append(decode, bytes, count, decode.head.mostDecoded))
        return 0;
    CoverRows(&decode.rows, bytes, count);
    return given;
}

bool StartsAsContainer(const PictureFileDecode &decode)
{
    return decode.containerStartLength == ContainerStartBytes &&
           IsContainerStart(decode.containerStart[0], decode.containerStart[1]);
}

// Pads a picture with zero bytes to all the pixel data it describes.
FileVerdict CompleteFile(PictureFileDecode &decode)
{
    LocalBlock &file = decode.sink.block;
    uint64_t complete = CompleteFileLength(&decode.rows);
    if (complete <= file.used)
        return FileVerdict::Picture;
    if (complete > decode.head.mostDecoded || complete > UINT32_MAX)
        return FileVerdict::RowsTooLong;
    // What the block holds past the file is zero already (LocalBlock).
    uint32_t padding = static_cast<uint32_t>(complete - file.used);
    if (!MakeRoomInLocalBlock(&file, padding, static_cast<uint32_t>(complete)))
        return FileVerdict::NoMemory;
    file.used += padding;
    return FileVerdict::Picture;
}

} // namespace

bool StartPictureFileDecode(PictureFileDecode *decode, bool headOnly)
{
    decode->headOnly = headOnly;
    decode->refusal = FileVerdict::Picture;
    decode->sink.kind = SinkPictureFile;
    decode->sink.Write = WriteDecoded;
    decode->decoder.result = ResultNoMemory;
    if (!AllocateLocalBlock(&decode->sink.block, SinkGrowth, FileBlockFlags) ||
        !AllocateWorkBlock(&decode->areasBlock, DecodeAreasBytes(UINT64_MAX)))
        return false;
    decode->areas = PlaceDecodeAreas(decode->areasBlock.start, UINT64_MAX);
    decode->decoder.sink = &decode->sink;
    decode->decoder.areas = &decode->areas;
    decode->decoder.progress = DefaultProgress;
    decode->decoder.result = StartFedDecoder(&decode->decoder);
    return decode->decoder.result == ResultOk;
}

bool FeedPictureFile(PictureFileDecode *decode, const uint8_t *bytes, uint32_t count)
{
    StreamDecoder &decoder = decode->decoder;
    if (decoder.result != ResultOk || decoder.streamEnded)
        return false;
    uint32_t startBytes = std::min(count, ContainerStartBytes - decode->containerStartLength);
    std::memcpy(decode->containerStart + decode->containerStartLength, bytes, startBytes);
    decode->containerStartLength += startBytes;
    if (decode->containerStartLength == ContainerStartBytes && !StartsAsContainer(*decode))
        return Refuse(*decode, FileVerdict::NotContainer);
    decoder.result = FeedStreamDecoder(&decoder, bytes, count);
    return decoder.result == ResultOk && !decoder.streamEnded;
}

FileVerdict FinishPictureFile(PictureFileDecode *decode)
{
    const StreamDecoder &decoder = decode->decoder;
    if (decode->headOnly && decode->headJudged)
        return decode->refusal;
    if (decode->refusal != FileVerdict::Picture)
        return decode->refusal;
    if (decoder.result == ResultBrokenData)
        return StartsAsContainer(*decode) ? FileVerdict::Damaged : FileVerdict::NotContainer;
    if (decoder.result != ResultOk)
        return FileVerdict::NoMemory;
    if (!StartsAsContainer(*decode))
        return FileVerdict::NotContainer;
    if (!decode->headJudged && !JudgeHead(*decode))
        return decode->refusal;
    return decode->headOnly ? FileVerdict::Picture : CompleteFile(*decode);
}

void EndPictureFileDecode(PictureFileDecode *decode)
{
    EndStreamDecoder(&decode->decoder);
    FreeLocalBlock(&decode->areasBlock);
    FreeLocalBlock(&decode->sink.block);
}
