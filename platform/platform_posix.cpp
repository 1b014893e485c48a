// POSIX implementation of the platform layer (dlopen, open/fstat, nanosleep,
// isatty, sigaction).
#include "platform.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <csignal>
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

bool platformStderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

namespace {
volatile std::sig_atomic_t* interruptFlag = nullptr;

extern "C" void onInterrupt(int)
{
    if (interruptFlag)
        *interruptFlag = 1;
}
} // namespace

void platformCatchInterrupt(volatile std::sig_atomic_t* flag)
{
    interruptFlag = flag;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // port and file calls carry on; the flag is looked at between pages
    sigaction(SIGINT, &action, nullptr);
}
