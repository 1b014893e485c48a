// Whole files and the chip: a file checked and read into memory before
// anything is erased, programmed page by page from page 0, and read back to
// compare.
#include "at45db041d.h"

#include "inputfile.h"
#include "platform.h"

#include <algorithm>
#include <cstring>
#include <string>

QString lastFileReason;

std::uint32_t DataFlashImage::pages() const
{
    return static_cast<std::uint32_t>((bytes.size() + pageLength() - 1) / pageLength());
}

unsigned DataFlashImage::fileBytesIn(std::uint32_t page) const
{
    const std::size_t offset = std::size_t(page) * pageLength();
    return offset < bytes.size() ? unsigned(std::min<std::size_t>(pageLength(), bytes.size() - offset)) : 0;
}

void DataFlashImage::copyPage(std::uint32_t page, std::uint8_t* out) const
{
    const unsigned length = fileBytesIn(page);
    if (length)
        std::memcpy(out, bytes.data() + std::size_t(page) * pageLength(), length);
    std::memset(out + length, 0, pageLength() - length);
}

namespace dataflash {

bool loadInputFile(const char* path, DataFlashLayout layout, DataFlashImage& image)
{
    lastMessage.clear();
    lastFileReason.clear();
    image = DataFlashImage();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    image.pageSize256 = pageSize256 || layout == DataFlashLayout::Pages256;
    // Sized in 64 bits: pages past 2047 would wrap to page 0 and overwrite
    // the file's own beginning.
    const std::uint64_t capacity = std::uint64_t(dataFlashPages()) * image.pageLength();
    std::uint64_t size = 0;
    std::string reason;
    switch (platformReadFile(path, capacity, image.bytes, size, reason)) {
    case PlatformRead::Done:
        if (size > 0)
            return true;
        reason = "it is empty";
        lastMessage = QStringLiteral("Failed to get the file size or file does not exist!");
        break;
    case PlatformRead::Refused:
        lastMessage = QStringLiteral("Failed to get the file size or file does not exist!");
        break;
    case PlatformRead::TooLarge:
        lastMessage = QStringLiteral("The file is too large for the chip: %1 bytes, at most %2 fit!")
                          .arg(qulonglong(size))
                          .arg(qulonglong(capacity));
        break;
    case PlatformRead::Failed:
        lastMessage = QStringLiteral("Failed to read the input file!");
        break;
    }
    lastFileReason = QString::fromLocal8Bit(reason.c_str());
    image.bytes.clear();
    return false;
}

bool imageFitsChip(const DataFlashImage& image)
{
    lastMessage.clear();
    if (image.bytes.empty()) { // nothing loaded: as an empty file
        lastMessage = QStringLiteral("Failed to get the file size or file does not exist!");
        return false;
    }
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    if (pageSize256 != image.pageSize256) {
        lastMessage = QStringLiteral("The chip uses %1-byte pages, but the file was checked for %2-byte pages!")
                          .arg(dataFlashPageLength(pageSize256))
                          .arg(image.pageLength());
        return false;
    }
    return true;
}

} // namespace dataflash

using namespace dataflash;

namespace {

// Copies the image into consecutive pages; the last page is padded with zero
// bytes. Stops at a page that fails.
bool programPages(const DataFlashImage& image)
{
    std::uint8_t buffer[kDataFlashMaxPageLength];
    const std::uint32_t pages = image.pages();
    for (std::uint32_t page = 0; page < pages; ++page) {
        image.copyPage(page, buffer);
        if (!AT45DB041D_ProgramPage(page, buffer, image.pageSize256))
            return false;
    }
    return true;
}

} // namespace

bool AT45DB041D_LoadFile(const char* path, DataFlashImage& image, DataFlashLayout layout)
{
    return loadInputFile(path, layout, image);
}

bool AT45DB041D_CheckFile(const char* path)
{
    return withInputFile(path, [](const DataFlashImage&) { return true; });
}

// The page size in force now decides the layout of the whole file.
bool AT45DB041D_WriteFile(const char* path)
{
    return withInputFile(path, programPages);
}

bool AT45DB041D_WriteImage(const DataFlashImage& image)
{
    return withImage(image, programPages);
}

