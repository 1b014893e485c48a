// The input file as the driver's file operations read it. Not for front ends.
#pragma once

#include "wire.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace dataflash {

// Opens the input file for reading once it is known to be a regular file
// that fits the chip in the given page size; null, with the reason in
// lastMessage, otherwise. size receives its length.
std::FILE* openInputFile(const char* path, bool pageSize256, bool allowEmpty, std::uint64_t& size);

// The frame of every file operation: empties lastMessage, reads the page
// size in force (one status read), opens the file once it is known to fit in
// that page size and hands it to body(file, size, pageSize256), closing it on
// every way out. False, with the reason in lastMessage, when a step fails.
template <typename Body>
bool withInputFile(const char* path, bool allowEmpty, Body body)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    std::uint64_t size = 0;
    std::FILE* file = openInputFile(path, pageSize256, allowEmpty, size);
    if (!file)
        return false;
    const bool ok = body(file, size, pageSize256);
    std::fclose(file);
    return ok;
}

// Pages a file of this size occupies.
std::uint32_t pagesFor(std::uint64_t size, unsigned pageLength);

// Reads the next page of the file into buffer, padded with zero bytes past
// the file's end. False, with lastMessage set, when the file yields fewer
// bytes than its size promised.
bool readFilePage(std::FILE* file, std::uint64_t size, std::uint32_t page, unsigned pageLength,
                  std::uint8_t* buffer);

// Reads the whole open file of this size into bytes. False, with lastMessage
// set, when it yields fewer bytes than its size promised.
bool readWholeFile(std::FILE* file, std::uint64_t size, std::vector<std::uint8_t>& bytes);

} // namespace dataflash
