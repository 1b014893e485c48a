// The input file's size, as the programming loop needs it. Plain C++, so that
// it builds wherever the platform layer does.
#pragma once

#include <cstdint>

// Size of an existing, non-empty regular file, opened for reading only and
// sharing reads. False for a missing, empty or unreadable file, or a folder.
bool GetFileSizeByName(const char* path, std::uint64_t& size);
