// POSIX implementation of the platform layer (dlopen, open/fstat, nanosleep).
#include "platform.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* platformPortLibraryName()
{
    return "libinpout32.so";
}

PlatformLibrary platformLoadLibrary(const char* fileName)
{
    return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

void* platformResolve(PlatformLibrary library, const char* symbol)
{
    if (!library)
        return nullptr;
    return dlsym(library, symbol);
}

void platformFreeLibrary(PlatformLibrary library)
{
    if (library)
        dlclose(library);
}

bool platformFileSize(const char* path, std::uint64_t& size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    if (!ok)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

void platformSleepMs(unsigned milliseconds)
{
    timespec left { static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L };
    // Resume after a signal interrupts the sleep, for the time that was left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
