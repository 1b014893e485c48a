// Windows implementation of the platform layer (LoadLibraryA, CreateFileA,
// Sleep).
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {
std::string lastLoadError;

std::string describeError(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length ? std::string(text, length) : "error " + std::to_string(code);
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}
}

const char* platformPortLibraryName()
{
#if defined(_WIN64)
    return "inpoutx64.dll"; // a 64-bit process cannot load the 32-bit inpout32.dll
#else
    return "inpout32.dll";
#endif
}

PlatformLibrary platformLoadLibrary(const char* fileName)
{
    HMODULE module = LoadLibraryA(fileName);
    if (!module)
        lastLoadError = describeError(GetLastError());
    return reinterpret_cast<PlatformLibrary>(module);
}

void* platformResolve(PlatformLibrary library, const char* symbol)
{
    if (!library)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}

void platformFreeLibrary(PlatformLibrary library)
{
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

std::string platformLastLoadError()
{
    return lastLoadError;
}

bool platformFileSize(const char* path, std::uint64_t& size)
{
    // Read access only, sharing reads: a read-only file, or one another
    // program has open for reading, is a good input.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length {};
    const bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &length);
    CloseHandle(file);
    if (!ok)
        return false;
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

void platformSleepMs(unsigned milliseconds)
{
    Sleep(milliseconds);
}
