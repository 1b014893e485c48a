// Windows implementation of the platform layer (LoadLibraryA, CreateFileA,
// Sleep, the console).
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <io.h>

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
    return reinterpret_cast<PlatformLibrary>(LoadLibraryA(fileName));
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

bool platformStderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

namespace {
volatile std::sig_atomic_t* interruptFlag = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && interruptFlag) {
        *interruptFlag = 1;
        return TRUE; // handled: the process goes on to stop by itself
    }
    return FALSE;
}
} // namespace

void platformCatchInterrupt(volatile std::sig_atomic_t* flag)
{
    interruptFlag = flag;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
