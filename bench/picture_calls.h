// bench/picture_calls.h -- GetPicture as a viewer calls it, and a check of
// what it delivers.
#pragma once

#include "bench/status.h"
#include "tools/plugin_host.h"

#include <cstdint>
#include <string>
#include <vector>

// GetPicture's two blocks, freed (LocalFree) with the object.
struct PictureBlocks {
    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;

    PictureBlocks() = default;
    ~PictureBlocks() { Free(); }
    PictureBlocks(const PictureBlocks &) = delete;
    PictureBlocks &operator=(const PictureBlocks &) = delete;
    void Free();
};

// GetPicture with flags 1: the container in memory. No progress callback.
int32_t GetPictureFromMemory(const PluginExports &plugin, const std::vector<uint8_t> &container,
                             PictureBlocks *blocks);

// GetPicture with flags 0: the container is the file at path, from offset 0.
int32_t GetPictureFromFile(const PluginExports &plugin, const std::string &path, PictureBlocks *blocks);

// What a GetPicture result code means, for messages.
const char *ResultMeaning(int32_t result);

// Checks the blocks against the BMP file they were decoded from (fileBytes
// bytes, pixel data at pixelOffset): info must hold bytes 14..pixelOffset-1,
// bits be as long as the file, with the pixel data first and zeros after it.
Status CheckDelivered(const PictureBlocks &blocks, const uint8_t *file, uint64_t fileBytes, uint32_t pixelOffset);
