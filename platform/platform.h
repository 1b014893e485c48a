// The thin layer between Pagekiln and the operating system: loading the port
// library, reading input files, sleeping, the console, stop requests and the
// lock that keeps a port to one program. One implementation per platform
// (platform_win.cpp, platform_posix.cpp); the build picks one.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

// Calling convention of the port library's entry points: inpout32's exports
// are __stdcall on Windows; elsewhere the platform's C convention.
#if defined(_WIN32)
#define PORT_CALL __stdcall
#else
#define PORT_CALL
#endif

// Opaque handle of a loaded library; null when nothing is loaded.
using PlatformLibrary = void*;

// File name under which the port I/O library is looked up: "inpout32.dll" in a
// 32-bit Windows build, "inpoutx64.dll" in a 64-bit one, "libinpout32.so" on
// Linux. The platform's usual search applies (on Windows the program's folder
// first; on Linux LD_LIBRARY_PATH, then the program's run path).
const char* platformPortLibraryName();

// Loads a library by file name or path; null on failure.
PlatformLibrary platformLoadLibrary(const char* fileName);

// Resolves an exported symbol; null when the library lacks it.
void* platformResolve(PlatformLibrary library, const char* symbol);

// Releases a library obtained from platformLoadLibrary.
void platformFreeLibrary(PlatformLibrary library);

// Size of an existing regular file, opened for reading only and sharing reads
// with other programs. False when the file cannot be opened or is not a file.
// Never blocks: see platformReadFile.
bool platformFileSize(const char* path, std::uint64_t& size);

// What reading a whole file came to.
enum class PlatformRead {
    Done,     // bytes hold the whole file
    Refused,  // missing, not to be opened, or not a regular file
    TooLarge, // larger than the limit: nothing was read; size says how large
    Failed,   // opened, but not read whole
};

// Reads a whole regular file of at most limit bytes into bytes; size receives
// its length. The file is opened for reading only, sharing reads with other
// programs, and never blocks: a folder, named pipe or device is refused
// before anything is read from it, whatever is (or is not) on its other end.
// Unless Done, reason says why in the system's words, or what the file is
// ("it is a named pipe, not a regular file").
PlatformRead platformReadFile(const char* path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                              std::uint64_t& size, std::string& reason);

// What is at path when it is there but is not a regular file ("it is a
// folder", "it is a device, not a regular file", ...); null when nothing is
// there or it is a regular file (or a link to one). Looks without opening it.
const char* platformSpecialFileKind(const char* path);

// An output file written under a temporary name beside it and put in its
// place only when whole, so that a run that fails keeps the old file. Names
// are the bytes given, whatever they are (on Windows in the code page).
struct PlatformOutput {
    std::intptr_t handle = -1; // the temporary file, open for writing; -1 when none
    std::string path;          // the name the file gets (a link's target, where it leads to one)
    std::string temporary;     // the name it is written under
};

// Makes the temporary file beside path, after trying path itself (made and
// removed again when nothing is there), so that a name the system refuses
// fails now. The file keeps the old file's permissions. False, with the
// system's reason, when either cannot be made.
bool platformBeginOutput(const char* path, PlatformOutput& output, std::string& why);

// Writes bytes into the temporary file, flushes it to the disk and renames
// it over path. False, with the reason, on any failure; the temporary file
// is then gone and the old file as it was.
bool platformCommitOutput(PlatformOutput& output, const std::uint8_t* bytes, std::size_t size, std::string& why);

// Removes the temporary file of an output not committed; nothing otherwise.
void platformDiscardOutput(PlatformOutput& output);

// What to do when the port library reports its port driver closed, in words
// for the user: run once as administrator on Windows; on Linux, load the
// parallel-port drivers and join the lp group.
const char* platformPortDriverAdvice();

// The base addresses of the parallel ports the system lists, from their I/O
// ranges (on Windows the Ports class's LPTn devices). False when the platform
// keeps no such list or it cannot be read: on Linux the ppdev port library
// itself reaches only the ports the kernel lists.
bool platformParallelPortBases(std::vector<std::uint16_t>& bases);

// Blocks the calling thread for the given number of milliseconds.
void platformSleepMs(unsigned milliseconds);

// True when the standard error stream is a terminal (not a file or a pipe).
bool platformStderrIsTerminal();

// True when the standard output stream is a terminal.
bool platformStdoutIsTerminal();

// Puts standard output in binary mode, so that bytes go out as they are (on
// Windows no carriage return is added before a line feed); elsewhere
// nothing to do. False when the mode could not be set.
bool platformBinaryStandardOutput();

// A reader that closed its end of a pipe makes writes to it fail (EPIPE)
// instead of ending the process, so that the program can tell it apart and a
// closed standard error cannot stop a job on the chip halfway.
void platformFailWritesToClosedPipes();

// Signal numbers of the stop requests, as *flag receives them.
constexpr int kPlatformHangUp = 1;     // SIGHUP; on Windows the console closed, logoff or shutdown
constexpr int kPlatformInterrupt = 2;  // SIGINT; on Windows Ctrl-C or Ctrl-Break
constexpr int kPlatformTerminate = 15; // SIGTERM

// From now on a request to stop sets *flag to its signal number (the first
// one, should more follow) instead of ending the process, so that the program
// can stop at a clean boundary: SIGINT (Ctrl-C), SIGTERM and SIGHUP, each
// unless it was ignored when the program started (nohup, trap '' INT), which
// it then stays; on
// Windows the console's Ctrl-C and Ctrl-Break events, and its close, logoff
// and shutdown events, after which Windows ends the process once the handler
// returns: the handler waits (up to about 4.5 s, within the system's
// allowance) for the program to exit.
void platformCatchStopRequests(volatile std::sig_atomic_t* flag);

// One program per port: a lock named after the port's base address, which the
// operating system drops when the process ends, however it ends, and which
// the programs of every user on the machine see. On Linux an advisory flock
// on pagekiln-port-<HEX>.lock in /run/lock (else /var/lock, else /tmp; or in
// $PAGEKILN_LOCK_DIR); on Windows the named mutex Global\Pagekiln-port-<HEX>.
// Any other holder counts, another handle in this process included.
enum class PortLockOutcome {
    taken,          // this process holds the lock until platformUnlockPort or its end
    heldElsewhere,  // another program holds it
    failed,         // the lock itself could not be made: why says so, in words for the user
};

// Opaque handle of a held port lock; kNoPortLock when none is held.
using PlatformPortLock = std::intptr_t;
constexpr PlatformPortLock kNoPortLock = -1;

// Takes the lock for the port at base without waiting. lock receives the
// handle when taken.
PortLockOutcome platformLockPort(std::uint16_t base, PlatformPortLock& lock, std::string& why);

// The same lock for a device known by name rather than by port address
// ("spidev0.0": pagekiln-spidev0.0.lock, Global\Pagekiln-spidev0.0). The name
// is used as it is: letters, digits, '.', '-' and '_' only.
PortLockOutcome platformLockNamed(const char* name, PlatformPortLock& lock, std::string& why);

// Gives the lock up (kNoPortLock: nothing to do).
void platformUnlockPort(PlatformPortLock lock);
