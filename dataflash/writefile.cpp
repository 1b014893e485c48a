// Programming a whole file into the chip, page by page from page 0.
#include "at45db041d.h"

#include "filesize.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Copies size bytes of the open file into consecutive pages; the last page is
// padded with zero bytes. Stops at a short read or a page that times out.
bool programPages(std::FILE* file, std::uint64_t size, bool pageSize256)
{
    const unsigned length = dataFlashPageLength(pageSize256);
    std::uint8_t buffer[kDataFlashMaxPageLength];
    std::uint32_t page = 0;
    for (std::uint64_t offset = 0; offset < size; offset += length, ++page) {
        std::memset(buffer, 0, length);
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
        if (std::fread(buffer, 1, wanted, file) != wanted) {
            lastMessage = QStringLiteral("Failed to read the input file!");
            return false;
        }
        if (!AT45DB041D_ProgramPage(page, buffer, pageSize256))
            return false;
    }
    return true;
}

} // namespace

bool AT45DB041D_WriteFile(const char* path)
{
    lastMessage.clear();
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatus(st)) {
        lastMessage = QStringLiteral("Failed to read chip's status byte!");
        return false;
    }
    // The page size in force now decides the layout of the whole file.
    const bool pageSize256 = st.pageSize256 == 1;
    std::uint64_t size = 0;
    if (!GetFileSizeByName(path, size)) {
        lastMessage = QStringLiteral("Failed to get the file size or file does not exist!");
        return false;
    }
    const std::uint64_t capacity = std::uint64_t(kDataFlashPages) * dataFlashPageLength(pageSize256);
    if (size > capacity) {
        lastMessage = QStringLiteral("The file is too large for the chip: %1 bytes, at most %2 fit!")
                          .arg(qulonglong(size))
                          .arg(qulonglong(capacity));
        return false;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        lastMessage = QStringLiteral("Failed to open the input file!");
        return false;
    }
    const bool written = programPages(file, size, pageSize256);
    std::fclose(file);
    return written;
}
