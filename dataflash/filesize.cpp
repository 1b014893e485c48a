#include "filesize.h"

#include "platform.h"

bool GetFileSizeByName(const char* path, std::uint64_t& size)
{
    std::uint64_t length = 0;
    if (!platformFileSize(path, length) || length == 0)
        return false;
    size = length;
    return true;
}
