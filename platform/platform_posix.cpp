// POSIX implementation of the platform layer (dlopen, stat/open/read,
// nanosleep, isatty, sigaction, flock).
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <csignal>
#include <sys/file.h>
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

namespace {

// What a file of this mode is, when it is not a regular file.
const char* specialKind(mode_t mode)
{
    if (S_ISREG(mode))
        return nullptr;
    if (S_ISDIR(mode))
        return "it is a folder";
    if (S_ISFIFO(mode))
        return "it is a named pipe, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "it is a device, not a regular file";
    if (S_ISSOCK(mode))
        return "it is a socket, not a regular file";
    return "it is not a regular file";
}

// Opens a regular file for reading; -1, with the reason, otherwise. A look at
// the name comes first, so that a pipe or a device is never opened at all;
// O_NONBLOCK covers a name swapped for one in between: the open returns at
// once instead of waiting for a writer, and the check on the open file
// refuses it.
int openRegularFile(const char* path, struct stat& info, std::string& reason)
{
    if (stat(path, &info) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if (const char* kind = specialKind(info.st_mode)) {
        reason = kind;
        return -1;
    }
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    const char* kind = fstat(fd, &info) == 0 ? specialKind(info.st_mode) : std::strerror(errno);
    if (kind) {
        reason = kind;
        close(fd);
        return -1;
    }
    return fd;
}

// Reads up to length bytes, resuming after signals; the count read, or -1.
ssize_t readFully(int fd, std::uint8_t* data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, data + done, length - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

bool platformFileSize(const char* path, std::uint64_t& size)
{
    struct stat info {};
    std::string reason;
    const int fd = openRegularFile(path, info, reason);
    if (fd < 0)
        return false;
    close(fd);
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

PlatformRead platformReadFile(const char* path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                              std::uint64_t& size, std::string& reason)
{
    bytes.clear();
    struct stat info {};
    const int fd = openRegularFile(path, info, reason);
    if (fd < 0)
        return PlatformRead::Refused;
    size = static_cast<std::uint64_t>(info.st_size);
    if (size > limit) {
        close(fd);
        return PlatformRead::TooLarge;
    }
    bytes.resize(static_cast<std::size_t>(size));
    // One byte more than the size: a file that grows meanwhile is not taken
    // for its first part.
    std::uint8_t beyond = 0;
    const ssize_t got = readFully(fd, bytes.data(), bytes.size());
    const ssize_t more = got == static_cast<ssize_t>(bytes.size()) ? readFully(fd, &beyond, 1) : 0;
    const int error = errno;
    close(fd);
    if (got < 0 || more < 0)
        reason = std::strerror(error);
    else if (got != static_cast<ssize_t>(bytes.size()) || more != 0)
        reason = "it changed while it was read";
    else
        return PlatformRead::Done;
    bytes.clear();
    return PlatformRead::Failed;
}

const char* platformSpecialFileKind(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0 ? specialKind(info.st_mode) : nullptr;
}

namespace {

// Writes all of length bytes, resuming after signals and short writes.
bool writeFully(int fd, const std::uint8_t* data, std::size_t length)
{
    while (length) {
        const ssize_t put = write(fd, data, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

bool platformBeginOutput(const char* path, PlatformOutput& output, std::string& why)
{
    output = {};
    output.path = path;
    struct stat info {};
    const bool there = lstat(path, &info) == 0;
    // A link is followed, as far as it leads: the file it names is replaced.
    if (there && S_ISLNK(info.st_mode)) {
        if (char* target = realpath(path, nullptr)) {
            output.path = target;
            std::free(target);
        }
    }
    const bool old = stat(output.path.c_str(), &info) == 0;
    // Nothing there: the name itself is tried. (A link that leads nowhere is
    // replaced, as any file would be.)
    if (!there) {
        const int probe = open(output.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (probe < 0 || (close(probe), unlink(output.path.c_str())) != 0) {
            why = std::strerror(errno);
            return false;
        }
    }
    // A short name of its own, so that a name at the system's longest still
    // has a temporary file beside it.
    const std::size_t slash = output.path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : output.path.substr(0, slash + 1);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        output.temporary = folder + ".pagekiln-" + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".part";
        const int fd = open(output.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            break;
        if (old && fchmod(fd, info.st_mode & 07777) != 0) {
            why = std::strerror(errno);
            close(fd);
            unlink(output.temporary.c_str());
            return false;
        }
        output.handle = fd;
        return true;
    }
    why = std::strerror(errno);
    return false;
}

bool platformCommitOutput(PlatformOutput& output, const std::uint8_t* bytes, std::size_t size, std::string& why)
{
    const int fd = static_cast<int>(output.handle);
    bool done = fd >= 0 && writeFully(fd, bytes, size) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && done) {
        done = false;
        error = errno;
    }
    output.handle = -1;
    if (done && rename(output.temporary.c_str(), output.path.c_str()) != 0) {
        done = false;
        error = errno;
    }
    if (!done) {
        why = std::strerror(error);
        platformDiscardOutput(output);
    }
    output.temporary.clear();
    return done;
}

void platformDiscardOutput(PlatformOutput& output)
{
    if (output.handle >= 0)
        close(static_cast<int>(output.handle));
    if (!output.temporary.empty())
        unlink(output.temporary.c_str());
    output.handle = -1;
    output.temporary.clear();
}

const char* platformPortDriverAdvice()
{
    return "The port driver could not be opened: load the parallel-port drivers (sudo modprobe parport_pc ppdev) "
           "and make sure your user is in the lp group (sudo usermod -aG lp $USER, then log out and in again).";
}

bool platformParallelPortBases(std::vector<std::uint16_t>& bases)
{
    bases.clear();
    return false;
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

bool platformStdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool platformBinaryStandardOutput()
{
    return true;
}

void platformFailWritesToClosedPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

static_assert(SIGHUP == kPlatformHangUp && SIGINT == kPlatformInterrupt && SIGTERM == kPlatformTerminate,
              "the stop requests keep their signal numbers");

namespace {
volatile std::sig_atomic_t* stopFlag = nullptr;

extern "C" void onStopRequest(int signal)
{
    if (stopFlag && *stopFlag == 0)
        *stopFlag = signal;
}
} // namespace

void platformCatchStopRequests(volatile std::sig_atomic_t* flag)
{
    stopFlag = flag;
    struct sigaction action {};
    action.sa_handler = onStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // port and file calls carry on; the flag is looked at between pages
    for (const int signal : { SIGINT, SIGTERM, SIGHUP }) {
        // What the shell or nohup ignored stays ignored: that is their
        // promise to whoever started the program.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

namespace {

bool isFolder(const char* path)
{
    struct stat info {};
    return path && path[0] == '/' && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// One folder for the whole machine, so that the programs of every user see
// each other's lock: the system's lock folder (/run/lock, else the older
// /var/lock), else /tmp. PAGEKILN_LOCK_DIR names another (tests keep their
// simulated ports apart with it).
std::string lockFolder()
{
    const char* chosen = std::getenv("PAGEKILN_LOCK_DIR");
    if (isFolder(chosen))
        return chosen;
    for (const char* folder : { "/run/lock", "/var/lock" })
        if (isFolder(folder))
            return folder;
    return "/tmp";
}

} // namespace

PortLockOutcome platformLockPort(std::uint16_t base, PlatformPortLock& lock, std::string& why)
{
    char name[40];
    std::snprintf(name, sizeof name, "port-%X", static_cast<unsigned>(base));
    return platformLockNamed(name, lock, why);
}

PortLockOutcome platformLockNamed(const char* name, PlatformPortLock& lock, std::string& why)
{
    const std::string path = lockFolder() + "/pagekiln-" + name + ".lock";
    // Opened without O_CREAT first: in a shared sticky folder the kernel may
    // refuse O_CREAT on a file another user made, while reading it is allowed,
    // and flock needs no more than that.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) // readable by every user whatever the umask, so that all of them can lock it
            fchmod(fd, 0644);
        else if (errno == EEXIST) // made by another program meanwhile
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        why = "Cannot make the port lock " + path + ": " + std::strerror(errno) + ".";
        return PortLockOutcome::failed;
    }
    // The file stays when the lock is given up: removing it could let two
    // programs lock two different files of the same name.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return PortLockOutcome::heldElsewhere;
        why = "Cannot lock " + path + ": " + std::strerror(error) + ".";
        return PortLockOutcome::failed;
    }
    lock = fd;
    return PortLockOutcome::taken;
}

void platformUnlockPort(PlatformPortLock lock)
{
    if (lock != kNoPortLock)
        close(static_cast<int>(lock)); // closing the last descriptor drops the flock
}
