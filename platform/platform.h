// The thin layer between Pagekiln and the operating system: loading the port
// library, querying a file's size, sleeping, and the console. One implementation per
// platform (platform_win.cpp, platform_posix.cpp); the build picks one.
#pragma once

#include <csignal>
#include <cstdint>

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
bool platformFileSize(const char* path, std::uint64_t& size);

// Blocks the calling thread for the given number of milliseconds.
void platformSleepMs(unsigned milliseconds);

// True when the standard error stream is a terminal (not a file or a pipe).
bool platformStderrIsTerminal();

// From now on an interrupt from the keyboard (Ctrl-C: SIGINT, or the console's
// Ctrl-C and Ctrl-Break events on Windows) sets *flag to 1 instead of ending
// the process, so that the program can stop at a clean boundary.
void platformCatchInterrupt(volatile std::sig_atomic_t* flag);
