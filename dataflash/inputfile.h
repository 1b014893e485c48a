// The input file as the driver's file operations read it. Not for front ends.
#pragma once

#include <cstdint>
#include <cstdio>

namespace dataflash {

// Opens the input file for reading once it is known to be a regular file
// that fits the chip in the given page size; null, with the reason in
// lastMessage, otherwise. size receives its length.
std::FILE* openInputFile(const char* path, bool pageSize256, bool allowEmpty, std::uint64_t& size);

// Pages a file of this size occupies.
std::uint32_t pagesFor(std::uint64_t size, unsigned pageLength);

// Reads the next page of the file into buffer, padded with zero bytes past
// the file's end. False, with lastMessage set, when the file yields fewer
// bytes than its size promised.
bool readFilePage(std::FILE* file, std::uint64_t size, std::uint32_t page, unsigned pageLength,
                  std::uint8_t* buffer);

} // namespace dataflash
