// The port link, the input file reads, read's output and the port lock on the real Windows
// calls: run on Windows, or under Wine. Prints one line per check and
// "N passed, N failed".
//   tst_windows_layer               the port library (the simulated chip) beside the program
//   tst_windows_layer --no-library  run from a folder without it
//   tst_windows_layer --lock HEX    (run by the lock checks) takes the lock of that port
//                                   and ends holding it: 0 taken, 1 held elsewhere, 2 failed
//   tst_windows_layer --binary-out  (run by the output check) writes "a\nb\n" to a
//                                   standard output in binary mode
#include "filesize.h"
#include "lpt.h"
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what)
{
    std::printf("%s  %s\n", ok ? "PASS" : "FAIL", what);
    ++(ok ? passed : failed);
}

// One command frame through the port link: send the bytes, then receive.
void transfer(const std::uint8_t* out, int outLength, std::uint8_t* in, int inLength)
{
    LPT_SetChipSelect(false);
    for (int i = 0; i < outLength; ++i)
        LPT_SpiTransferByte(out[i]);
    for (int i = 0; i < inLength; ++i)
        in[i] = LPT_SpiTransferByte(0xFF);
    LPT_SetChipSelect(true);
}

bool writeFile(const char* path, const char* data, DWORD length)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, data, length, &written, nullptr) && written == length;
    CloseHandle(file);
    return ok;
}

void portLibraryChecks()
{
    check(LPT_LoadDriver(), "the port library is found by name in the program's folder");
    lptBase = 0x378;
    LPT_WriteStartPattern();
    const std::uint8_t statusRead = 0xD7;
    std::uint8_t status = 0;
    transfer(&statusRead, 1, &status, 1);
    check(status == 0x9C, "the status byte comes back through Inp32 and Out32 (0x9C)");
    const std::uint8_t idRead = 0x9F;
    std::uint8_t id[4] = {};
    transfer(&idRead, 1, id, 4);
    check(id[0] == 0x1F && id[1] == 0x24 && id[2] == 0x00 && id[3] == 0x00,
          "the ID bytes come back (1F 24 00 00)");
    // Every byte value into buffer 1 and back with the block transfers.
    std::uint8_t frame[4 + 256] = { 0x84, 0x00, 0x00, 0x00 };
    for (int i = 0; i < 256; ++i)
        frame[4 + i] = static_cast<std::uint8_t>(i * 167 + 13);
    LPT_SetChipSelect(false);
    LPT_SpiWriteBytes(frame, sizeof frame);
    LPT_SetChipSelect(true);
    const std::uint8_t bufferRead[5] = { 0xD4, 0x00, 0x00, 0x00, 0x00 };
    std::uint8_t back[256] = {};
    LPT_SetChipSelect(false);
    LPT_SpiWriteBytes(bufferRead, sizeof bufferRead);
    LPT_SpiReadBytes(back, sizeof back);
    LPT_SetChipSelect(true);
    check(std::memcmp(back, frame + 4, 256) == 0, "every byte value goes out and comes back in block transfers");
    lptBase = static_cast<std::int16_t>(0x3BC);
    transfer(&statusRead, 1, &status, 1);
    check(status == 0xFF, "another port reads as an undriven line");

    check(!LPT_LoadDriverFrom("inp32only.dll"), "a library without Out32 is refused");
    check(!LPT_DriverProblem().empty(), "and the refusal says why");

    _putenv("PAGEKILN_SIM_DRIVER_CLOSED=1");
    check(!LPT_LoadDriver(), "a library whose port driver is not open is refused");
    check(LPT_DriverProblem().find("administrator") != std::string::npos,
          "and the user is told to run the program once as administrator");
    _putenv("PAGEKILN_SIM_DRIVER_CLOSED=");
    check(LPT_LoadDriver(), "the library loads again once its driver is open");
    LPT_UnloadDriver();
}

void fileSizeChecks()
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string base = std::string(folder) + "pagekiln-size-" + std::to_string(GetCurrentProcessId());
    const std::string readOnly = base + "-ro.ldr";
    const std::string empty = base + "-empty.bin";
    const std::string huge = base + "-huge.bin";
    std::uint64_t size = 0;

    writeFile(readOnly.c_str(), "0123456789", 10);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    check(GetFileSizeByName(readOnly.c_str(), size) && size == 10, "a read-only file is a good input");
    HANDLE reader = CreateFileA(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    size = 0;
    check(GetFileSizeByName(readOnly.c_str(), size) && size == 10, "so is one another program has open for reading");
    CloseHandle(reader);
    std::vector<std::uint8_t> bytes;
    std::string reason;
    check(platformReadFile(readOnly.c_str(), 100, bytes, size, reason) == PlatformRead::Done && size == 10
              && std::string(bytes.begin(), bytes.end()) == "0123456789",
          "a read-only file is read whole");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(readOnly.c_str());

    check(!GetFileSizeByName((base + "-missing.bin").c_str(), size), "a missing file is refused");
    check(platformReadFile((base + "-missing.bin").c_str(), 100, bytes, size, reason) == PlatformRead::Refused
              && !reason.empty() && reason.back() != '\n',
          "and reading it says why in the system's words");
    check(platformReadFile(folder, 100, bytes, size, reason) == PlatformRead::Refused && reason == "it is a folder",
          "a folder is refused as a folder");

    // A pipe that no program ever writes into: opened, refused, never read.
    const std::string pipeName = "\\\\.\\pipe\\pagekiln-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0,
                                   nullptr);
    check(pipe != INVALID_HANDLE_VALUE
              && platformReadFile(pipeName.c_str(), 100, bytes, size, reason) == PlatformRead::Refused
              && reason == "it is a named pipe, not a regular file",
          "a named pipe is refused at once");
    CloseHandle(pipe);
    writeFile(empty.c_str(), "", 0);
    check(!GetFileSizeByName(empty.c_str(), size), "an empty file is refused");
    DeleteFileA(empty.c_str());
    check(!GetFileSizeByName(folder, size), "a folder is refused");

    HANDLE file = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG(1) << 32) + 10;
    const bool made = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    size = 0;
    check(made && GetFileSizeByName(huge.c_str(), size) && size == (std::uint64_t(1) << 32) + 10,
          "a file of 4 GiB and ten bytes is measured in full");
    size = 0;
    check(platformReadFile(huge.c_str(), 540672, bytes, size, reason) == PlatformRead::TooLarge
              && size == (std::uint64_t(1) << 32) + 10 && bytes.empty(),
          "and is found too large without being read");
    DeleteFileA(huge.c_str());
}

// read's OUTPUT: written under a temporary name, in place only when whole.
void outputChecks()
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + "pagekiln-out-" + std::to_string(GetCurrentProcessId()) + ".bin";
    writeFile(path.c_str(), "old", 3);
    PlatformOutput output;
    std::string why;
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    const bool begun = platformBeginOutput(path.c_str(), output, why);
    const std::string temporary = output.temporary;
    platformDiscardOutput(output);
    check(begun && platformReadFile(path.c_str(), 100, bytes, size, why) == PlatformRead::Done && size == 3
              && GetFileAttributesA(temporary.c_str()) == INVALID_FILE_ATTRIBUTES,
          "an output given up keeps the old file and leaves no temporary file");
    const std::uint8_t chip[] = { 'n', 'e', 'w', '\n', 0xFF };
    check(platformBeginOutput(path.c_str(), output, why) && platformCommitOutput(output, chip, sizeof chip, why)
              && platformReadFile(path.c_str(), 100, bytes, size, why) == PlatformRead::Done
              && bytes == std::vector<std::uint8_t>(chip, chip + sizeof chip),
          "a committed output replaces the old file byte for byte");
    DeleteFileA(path.c_str());
}

// A second process: this program with these arguments, its standard output
// into output when given; its exit status, or -1.
int runSelf(const std::string& arguments, HANDLE output = nullptr)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" " + arguments;
    STARTUPINFOA startup {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    DWORD status = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &status))
        status = DWORD(-1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

int lockFromAnotherProcess(const char* hex)
{
    return runSelf(std::string("--lock ") + hex);
}

// Standard output in binary mode takes line feeds as they are: read - on
// Windows hands on the chip's bytes unchanged.
void binaryOutputCheck()
{
    const char* path = "tst_windows_layer-out.bin";
    SECURITY_ATTRIBUTES inherited { sizeof inherited, nullptr, TRUE };
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int status = file == INVALID_HANDLE_VALUE ? -1 : runSelf("--binary-out", file);
    CloseHandle(file);
    std::uint64_t size = 0;
    check(status == 0 && GetFileSizeByName(path, size) && size == 4,
          "standard output in binary mode adds no carriage return (4 bytes of a\\nb\\n)");
    DeleteFileA(path);
}

int writeBinaryOutput()
{
    if (!platformBinaryStandardOutput())
        return 1;
    return std::fwrite("a\nb\n", 1, 4, stdout) == 4 && std::fflush(stdout) == 0 ? 0 : 1;
}

int lockAndEnd(const char* hex)
{
    PlatformPortLock lock = kNoPortLock;
    std::string why;
    switch (platformLockPort(static_cast<std::uint16_t>(std::strtoul(hex, nullptr, 16)), lock, why)) {
    case PortLockOutcome::taken:
        return 0; // and ends without giving it up
    case PortLockOutcome::heldElsewhere:
        return 1;
    case PortLockOutcome::failed:
        break;
    }
    std::printf("%s\n", why.c_str());
    return 2;
}

void portLockChecks()
{
    PlatformPortLock lock = kNoPortLock;
    PlatformPortLock second = kNoPortLock;
    std::string why;
    check(platformLockPort(0x378, lock, why) == PortLockOutcome::taken, "the lock of port 378 is taken");
    check(lockFromAnotherProcess("378") == 1, "a second process finds port 378 held");
    check(platformLockPort(0x378, second, why) == PortLockOutcome::heldElsewhere,
          "so does a second handle in the same process");
    check(lockFromAnotherProcess("3BC") == 0, "port 3BC is free meanwhile");
    check(platformLockPort(0x3BC, second, why) == PortLockOutcome::taken,
          "the process that took 3BC gave it up by ending");
    platformUnlockPort(second);
    platformUnlockPort(lock);
    check(lockFromAnotherProcess("378") == 0, "once given up, port 378 can be taken by another process");
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 2 && std::strcmp(argv[1], "--lock") == 0)
        return lockAndEnd(argv[2]);
    if (argc > 1 && std::strcmp(argv[1], "--binary-out") == 0)
        return writeBinaryOutput();
    if (argc > 1 && std::strcmp(argv[1], "--no-library") == 0) {
        check(!LPT_LoadDriver(), "without the port library the load fails");
        check(LPT_DriverProblem().empty(), "with nothing more to say than that");
    } else {
        portLibraryChecks();
        fileSizeChecks();
        outputChecks();
        portLockChecks();
        binaryOutputCheck();
        std::vector<std::uint16_t> bases;
        check(platformParallelPortBases(bases), "the system's list of parallel ports can be read");
        std::printf("      parallel ports listed: %u\n", static_cast<unsigned>(bases.size()));
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
