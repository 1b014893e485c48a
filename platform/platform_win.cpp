// Windows implementation of the platform layer (LoadLibraryA, CreateFileA and
// ReadFile, Sleep, the console, CreateMutexA).
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

namespace {

// The system's words for an error code, without the closing full stop and
// line break.
std::string systemReason(DWORD error)
{
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == '.'))
        reason.pop_back();
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

const char* fileTypeKind(DWORD type)
{
    switch (type) {
    case FILE_TYPE_DISK:
        return nullptr;
    case FILE_TYPE_PIPE:
        return "it is a named pipe, not a regular file";
    case FILE_TYPE_CHAR:
        return "it is a device, not a regular file";
    default:
        return "it is not a regular file";
    }
}

// Opens a regular file for reading only, sharing reads: a read-only file, or
// one another program has open for reading, is a good input. Opening a pipe
// or a device returns at once (a pipe without a free instance fails); the
// file type check then refuses it before anything is read.
HANDLE openRegularFile(const char* path, LARGE_INTEGER& length, std::string& reason)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "it is a folder";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = systemReason(GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    if (const char* kind = fileTypeKind(GetFileType(file))) {
        reason = kind;
    } else if (!GetFileSizeEx(file, &length)) {
        reason = systemReason(GetLastError());
    } else {
        return file;
    }
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
}

// Reads up to length bytes; done receives the count. False on an error.
bool readFully(HANDLE file, std::uint8_t* data, std::size_t length, std::size_t& done)
{
    done = 0;
    while (done < length) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 20));
        DWORD got = 0;
        if (!ReadFile(file, data + done, chunk, &got, nullptr))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    return true;
}

} // namespace

bool platformFileSize(const char* path, std::uint64_t& size)
{
    LARGE_INTEGER length {};
    std::string reason;
    HANDLE file = openRegularFile(path, length, reason);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

PlatformRead platformReadFile(const char* path, std::uint64_t limit, std::vector<std::uint8_t>& bytes,
                              std::uint64_t& size, std::string& reason)
{
    bytes.clear();
    LARGE_INTEGER length {};
    HANDLE file = openRegularFile(path, length, reason);
    if (file == INVALID_HANDLE_VALUE)
        return PlatformRead::Refused;
    size = static_cast<std::uint64_t>(length.QuadPart);
    if (size > limit) {
        CloseHandle(file);
        return PlatformRead::TooLarge;
    }
    bytes.resize(static_cast<std::size_t>(size));
    // One byte more than the size: a file that grows meanwhile is not taken
    // for its first part.
    std::uint8_t beyond = 0;
    std::size_t got = 0, more = 0;
    const bool ok = readFully(file, bytes.data(), bytes.size(), got)
                    && (got != bytes.size() || readFully(file, &beyond, 1, more));
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok)
        reason = systemReason(error);
    else if (got != bytes.size() || more != 0)
        reason = "it changed while it was read";
    else
        return PlatformRead::Done;
    bytes.clear();
    return PlatformRead::Failed;
}

const char* platformSpecialFileKind(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "it is a folder";
    // Device and pipe names live in the \\.\ namespace.
    if (std::strncmp(path, "\\\\.\\pipe\\", 9) == 0)
        return "it is a named pipe, not a regular file";
    if (std::strncmp(path, "\\\\.\\", 4) == 0)
        return "it is a device, not a regular file";
    return nullptr;
}

bool platformBeginOutput(const char* path, PlatformOutput& output, std::string& why)
{
    output = {};
    output.path = path;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const HANDLE probe = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            why = systemReason(GetLastError());
            return false;
        }
        CloseHandle(probe);
    }
    // A short name of its own beside path, whatever path's length.
    const std::size_t slash = output.path.find_last_of("\\/:");
    const std::string folder = slash == std::string::npos ? std::string() : output.path.substr(0, slash + 1);
    DWORD error = ERROR_FILE_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        output.temporary = folder + "pagekiln-" + std::to_string(GetCurrentProcessId()) + "-"
                           + std::to_string(attempt) + ".part";
        const HANDLE file = CreateFileA(output.temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            output.handle = reinterpret_cast<std::intptr_t>(file);
            return true;
        }
        error = GetLastError();
    }
    output.temporary.clear();
    why = systemReason(error);
    return false;
}

bool platformCommitOutput(PlatformOutput& output, const std::uint8_t* bytes, std::size_t size, std::string& why)
{
    const HANDLE file = reinterpret_cast<HANDLE>(output.handle);
    bool done = output.handle != -1;
    while (done && size) {
        DWORD put = 0;
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        done = WriteFile(file, bytes, chunk, &put, nullptr) && put != 0;
        bytes += put;
        size -= put;
    }
    done = done && FlushFileBuffers(file);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (output.handle != -1)
        CloseHandle(file);
    output.handle = -1;
    if (done && !MoveFileExA(output.temporary.c_str(), output.path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        done = false;
        error = GetLastError();
    }
    if (!done) {
        why = systemReason(error);
        platformDiscardOutput(output);
    }
    output.temporary.clear();
    return done;
}

void platformDiscardOutput(PlatformOutput& output)
{
    if (output.handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(output.handle));
    if (!output.temporary.empty())
        DeleteFileA(output.temporary.c_str());
    output.handle = -1;
    output.temporary.clear();
}

const char* platformPortDriverAdvice()
{
    return "The port driver could not be opened: run Pagekiln once as administrator so that the port library "
           "can install its driver.";
}

namespace {

// The device setup class of serial and parallel ports (GUID_DEVCLASS_PORTS).
const GUID kPortsClass = { 0x4d36e978, 0xe325, 0x11ce, { 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18 } };

// Whether a Ports-class device is a parallel port: its device key names it LPTn.
bool isParallelPort(HDEVINFO devices, SP_DEVINFO_DATA& device)
{
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    char name[32] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool parallel = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size)
                              == ERROR_SUCCESS
                          && type == REG_SZ && _strnicmp(name, "LPT", 3) == 0;
    RegCloseKey(key);
    return parallel;
}

// The start of a device's first I/O range in one of its configurations.
bool firstIoBase(DEVINST device, ULONG configuration, std::uint16_t& base)
{
    LOG_CONF conf = 0;
    if (CM_Get_First_Log_Conf(&conf, device, configuration) != CR_SUCCESS)
        return false;
    bool found = false;
    RES_DES resource = 0;
    if (CM_Get_Next_Res_Des(&resource, conf, ResType_IO, nullptr, 0) == CR_SUCCESS) {
        ULONG size = 0;
        if (CM_Get_Res_Des_Data_Size(&size, resource, 0) == CR_SUCCESS && size >= sizeof(IO_DES)) {
            std::vector<std::uint8_t> data(size);
            IO_DES header {};
            if (CM_Get_Res_Des_Data(resource, data.data(), size, 0) == CR_SUCCESS) {
                std::memcpy(&header, data.data(), sizeof header);
                found = header.IOD_Alloc_Base <= 0xFFFF;
                base = static_cast<std::uint16_t>(header.IOD_Alloc_Base);
            }
        }
        CM_Free_Res_Des_Handle(resource);
    }
    CM_Free_Log_Conf_Handle(conf);
    return found;
}

} // namespace

bool platformParallelPortBases(std::vector<std::uint16_t>& bases)
{
    bases.clear();
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        std::uint16_t base = 0;
        // The range as allocated, else as the firmware set it at boot.
        if (isParallelPort(devices, device)
            && (firstIoBase(device.DevInst, ALLOC_LOG_CONF, base) || firstIoBase(device.DevInst, BOOT_LOG_CONF, base)))
            bases.push_back(base);
    }
    SetupDiDestroyDeviceInfoList(devices);
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

bool platformStdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

bool platformBinaryStandardOutput()
{
    std::fflush(stdout);
    return _setmode(_fileno(stdout), _O_BINARY) != -1;
}

void platformFailWritesToClosedPipes()
{
    // Windows has no SIGPIPE: a write to a closed pipe fails by itself.
}

namespace {
volatile std::sig_atomic_t* stopFlag = nullptr;
// Set when the program exits, for a handler that must not return before.
HANDLE exited = nullptr;

void signalExit()
{
    SetEvent(exited);
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    int signal = 0;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        signal = kPlatformInterrupt;
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        signal = kPlatformHangUp;
        break;
    default:
        return FALSE;
    }
    if (!stopFlag)
        return FALSE;
    if (*stopFlag == 0)
        *stopFlag = signal;
    // After these Windows ends the process as soon as the handler returns:
    // give the program the time to finish its frame, release the chip and
    // say what it holds.
    if (signal == kPlatformHangUp)
        WaitForSingleObject(exited, 4500);
    return TRUE; // handled: the process goes on to stop by itself
}
} // namespace

void platformCatchStopRequests(volatile std::sig_atomic_t* flag)
{
    stopFlag = flag;
    if (!exited) {
        exited = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::atexit(signalExit);
    }
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

PortLockOutcome platformLockPort(std::uint16_t base, PlatformPortLock& lock, std::string& why)
{
    char name[40];
    std::snprintf(name, sizeof name, "port-%X", static_cast<unsigned>(base));
    return platformLockNamed(name, lock, why);
}

PortLockOutcome platformLockNamed(const char* device, PlatformPortLock& lock, std::string& why)
{
    // In the Global namespace, so that programs in other sessions (another
    // user logged in at the same PC) see it too.
    char name[80];
    std::snprintf(name, sizeof name, "Global\\Pagekiln-%s", device);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    const DWORD error = GetLastError();
    if (!mutex) {
        // Denied: the mutex exists, made by a program of another user.
        if (error == ERROR_ACCESS_DENIED)
            return PortLockOutcome::heldElsewhere;
        why = "Cannot make the port lock " + std::string(name) + ": " + systemReason(error) + ".";
        return PortLockOutcome::failed;
    }
    // A holder keeps its handle until it gives the lock up or ends, so a
    // mutex that already exists is held: ownership, which the same thread
    // could take twice, is not what is asked.
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return PortLockOutcome::heldElsewhere;
    }
    lock = reinterpret_cast<PlatformPortLock>(mutex);
    return PortLockOutcome::taken;
}

void platformUnlockPort(PlatformPortLock lock)
{
    if (lock == kNoPortLock)
        return;
    HANDLE mutex = reinterpret_cast<HANDLE>(lock);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
