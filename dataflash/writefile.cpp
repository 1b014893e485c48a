// Whole files and the chip: checking a file before anything is erased,
// programming it page by page from page 0, and reading it back to compare.
#include "at45db041d.h"

#include "filesize.h"
#include "inputfile.h"
#include "platform.h"

#include <algorithm>
#include <cstring>

namespace dataflash {

std::FILE* openInputFile(const char* path, bool pageSize256, bool allowEmpty, std::uint64_t& size)
{
    const bool found = allowEmpty ? platformFileSize(path, size) : GetFileSizeByName(path, size);
    if (!found) {
        lastMessage = QStringLiteral("Failed to get the file size or file does not exist!");
        return nullptr;
    }
    // Sized in 64 bits: pages past 2047 would wrap to page 0 and overwrite
    // the file's own beginning.
    const std::uint64_t capacity = std::uint64_t(kDataFlashPages) * dataFlashPageLength(pageSize256);
    if (size > capacity) {
        lastMessage = QStringLiteral("The file is too large for the chip: %1 bytes, at most %2 fit!")
                          .arg(qulonglong(size))
                          .arg(qulonglong(capacity));
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        lastMessage = QStringLiteral("Failed to open the input file!");
    return file;
}

std::uint32_t pagesFor(std::uint64_t size, unsigned pageLength)
{
    return static_cast<std::uint32_t>((size + pageLength - 1) / pageLength);
}

bool readFilePage(std::FILE* file, std::uint64_t size, std::uint32_t page, unsigned pageLength,
                  std::uint8_t* buffer)
{
    const std::uint64_t offset = std::uint64_t(page) * pageLength;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(pageLength, size - offset));
    std::memset(buffer, 0, pageLength);
    if (std::fread(buffer, 1, wanted, file) != wanted) {
        lastMessage = QStringLiteral("Failed to read the input file!");
        return false;
    }
    return true;
}

bool readWholeFile(std::FILE* file, std::uint64_t size, std::vector<std::uint8_t>& bytes)
{
    bytes.resize(static_cast<std::size_t>(size));
    if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        lastMessage = QStringLiteral("Failed to read the input file!");
        return false;
    }
    return true;
}

} // namespace dataflash

using namespace dataflash;

namespace {

// Copies size bytes of the open file into consecutive pages; the last page is
// padded with zero bytes. Stops at a short read or a page that fails.
bool programPages(std::FILE* file, std::uint64_t size, bool pageSize256)
{
    const unsigned length = dataFlashPageLength(pageSize256);
    std::uint8_t buffer[kDataFlashMaxPageLength];
    const std::uint32_t pages = pagesFor(size, length);
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (!readFilePage(file, size, page, length, buffer) || !AT45DB041D_ProgramPage(page, buffer, pageSize256))
            return false;
    }
    return true;
}

} // namespace

bool AT45DB041D_CheckFile(const char* path)
{
    return withInputFile(path, true, [](std::FILE*, std::uint64_t, bool) { return true; });
}

// The page size in force now decides the layout of the whole file.
bool AT45DB041D_WriteFile(const char* path)
{
    return withInputFile(path, false, programPages);
}

