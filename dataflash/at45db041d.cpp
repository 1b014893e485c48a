// AT45DB041D commands: status, identification, connection, page size, erase,
// buffer and page transfers.
#include "at45db041d.h"

#include "lpt.h"
#include "platform.h"

#include "wire.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

QString lastMessage;
DataFlashTiming dataflashTiming;

using namespace dataflash;

namespace {

// Multi-byte commands, as they go on the wire.
constexpr std::uint8_t kPowerOfTwoPageSize[] = { 0x3D, 0x2A, 0x80, 0xA6 };
constexpr std::uint8_t kChipErase[] = { 0xC7, 0x94, 0x80, 0x9A };

// Status register.
constexpr std::uint8_t kStatusReady = 0x80;        // RDY/BUSY#
constexpr std::uint8_t kStatusCompare = 0x40;      // COMP
constexpr std::uint8_t kStatusDensityMask = 0x3C;  // bits 5..2
constexpr std::uint8_t kStatusDensity4Mbit = 0x1C; // 0 1 1 1: AT45DB041D
constexpr std::uint8_t kStatusProtect = 0x02;
constexpr std::uint8_t kStatusPageSize256 = 0x01;

// JEDEC identification of the AT45DB041D.
constexpr std::uint8_t kManufacturerAtmel = 0x1F;
constexpr std::uint8_t kDeviceId1 = 0x24; // DataFlash family, 4 Mbit
constexpr std::uint8_t kDeviceId2 = 0x00;
constexpr std::uint8_t kExtendedInfoLength = 0x00;

// A chip that is gone: this many status reads in a row without the density
// code, spaced at most kSilentSpacingMs apart (about 30 ms in all), however
// long the poll's own interval.
constexpr unsigned kSilentReads = 4;
constexpr unsigned kSilentSpacingMs = 10;

} // namespace

namespace dataflash {

void transfer(const std::uint8_t* command, std::size_t commandLength,
              std::uint8_t* reply, std::size_t replyLength)
{
    LPT_SetChipSelect(false);
    for (std::size_t i = 0; i < commandLength; ++i)
        LPT_SpiTransferByte(command[i]);
    for (std::size_t i = 0; i < replyLength; ++i)
        reply[i] = LPT_SpiTransferByte(kDummy);
    LPT_SetChipSelect(true);
}

void blockTransfer(const std::uint8_t* command, std::size_t commandLength,
                   std::uint8_t* reply, std::size_t replyLength)
{
    LPT_SetChipSelect(false);
    LPT_SpiWriteBytes(command, commandLength);
    LPT_SpiReadBytes(reply, replyLength);
    LPT_SetChipSelect(true);
}

// The page number sits above an 8-bit byte address with 256-byte pages,
// above a 9-bit one with 264-byte pages. Only the low 11 bits of the page
// count.
void encodePageAddress(std::uint32_t page, bool pageSize256, std::uint8_t* out)
{
    const unsigned byteAddressBits = pageSize256 ? 8 : 9;
    const std::uint32_t address = (page & 0x7FF) << byteAddressBits;
    out[0] = static_cast<std::uint8_t>(address >> 16);
    out[1] = static_cast<std::uint8_t>(address >> 8);
    out[2] = static_cast<std::uint8_t>(address);
}

bool decodeStatus(std::uint8_t byte, DataFlashStatus& st)
{
    st = DataFlashStatus();
    // No chip, a wrong port or another density all fail here; an undriven SO
    // reads as 0x00 or 0xFF, neither of which carries the density code.
    if ((byte & kStatusDensityMask) != kStatusDensity4Mbit)
        return false;
    st.ready = (byte & kStatusReady) ? 1 : 0;
    st.comp = (byte & kStatusCompare) ? 1 : 0;
    st.protect = (byte & kStatusProtect) ? 1 : 0;
    st.pageSize256 = (byte & kStatusPageSize256) ? 1 : 0;
    return true;
}

bool readStatus(DataFlashStatus& st)
{
    return AT45DB041D_ReadStatus(st);
}

bool readStatusFast(DataFlashStatus& st)
{
    std::uint8_t byte = 0;
    blockTransfer(&kStatusRegisterRead, 1, &byte, 1);
    return decodeStatus(byte, st);
}

bool pageSizeInForce(bool& pageSize256)
{
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatus(st)) {
        lastMessage = QStringLiteral("Failed to read chip's status byte!");
        return false;
    }
    pageSize256 = st.pageSize256 == 1;
    return true;
}

Wait waitUntilReady(const DataFlashPoll& poll, StatusReader reader, DataFlashStatus* last)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::chrono::milliseconds limit(poll.limitMs);
    unsigned silentReads = 0;
    for (;;) {
        const unsigned pause = silentReads ? std::min(poll.intervalMs, kSilentSpacingMs) : poll.intervalMs;
        if (pause) // a poll without interval reads back to back, without a system call between
            platformSleepMs(pause);
        DataFlashStatus st;
        if (!reader(st)) {
            if (++silentReads >= kSilentReads)
                return Wait::Silent;
        } else {
            silentReads = 0;
            if (st.ready) {
                if (last)
                    *last = st;
                return Wait::Ready;
            }
        }
        if (Clock::now() - start >= limit)
            return Wait::TimedOut;
    }
}

bool confirmChipAnswers()
{
    // The chip is idle after a read: the first good status read ends the wait.
    const DataFlashPoll poll { 0, dataflashTiming.pageProgram.limitMs };
    return waitUntilReady(poll, readStatusFast) == Wait::Ready;
}

} // namespace dataflash

bool AT45DB041D_ReadStatus(DataFlashStatus& st, std::uint8_t* raw)
{
    std::uint8_t status = 0;
    transfer(&kStatusRegisterRead, 1, &status, 1);
    if (!decodeStatus(status, st))
        return false;
    if (raw)
        *raw = status;
    return true;
}

namespace {

// Whether four ID bytes are an AT45DB041D's; if not, lastMessage says why.
bool isAt45db041dId(const std::uint8_t* bytes)
{
    if (bytes[0] != kManufacturerAtmel) {
        lastMessage = QStringLiteral("Manufacturer isn't AMTEL!");
        return false;
    }
    if (bytes[1] != kDeviceId1) {
        lastMessage = QStringLiteral("Wrong family/device code!");
        return false;
    }
    if (bytes[2] != kDeviceId2 || bytes[3] != kExtendedInfoLength) {
        lastMessage = QStringLiteral("AT45DB041D_ReadManufactDevID: the 2 last bytes are wrong!");
        return false;
    }
    return true;
}

} // namespace

bool AT45DB041D_ReadManufactDevID(std::uint8_t* id)
{
    lastMessage.clear();
    std::uint8_t bytes[4] = {};
    transfer(&kManufacturerDeviceIdRead, 1, bytes, sizeof bytes);
    if (!isAt45db041dId(bytes))
        return false;
    if (id)
        std::memcpy(id, bytes, sizeof bytes);
    return true;
}

bool AT45DB041D_Connect()
{
    lastMessage.clear();
    LPT_WriteStartPattern();
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatus(st)) {
        lastMessage = QStringLiteral("Failed to read the status byte!");
        return false;
    }
    if (st.protect) {
        lastMessage = QStringLiteral("Warning! Sector protection is enabled, I can't do anything.");
        return false;
    }
    if (!st.pageSize256) {
        // Superseded by the ID check below, which empties lastMessage; the
        // caller deals with the page size.
        lastMessage = QStringLiteral("Warning! Sector size is not 256 bytes, BlackFin booting won't work until\n"
                                     "you set the page size with this tool to 256 B instead of 264 B.\n\n");
    }
    if (!AT45DB041D_ReadManufactDevID(nullptr)) {
        lastMessage = QStringLiteral("Failed on ReadManufactDevId.");
        return false;
    }
    return true;
}

bool AT45DB041D_Probe(DataFlashInfo& info)
{
    lastMessage.clear();
    info = DataFlashInfo();
    LPT_WriteStartPattern();
    if (!AT45DB041D_ReadStatus(info.status)) {
        lastMessage = QStringLiteral("Failed to read the status byte!");
        return false;
    }
    info.answered = true;
    transfer(&kManufacturerDeviceIdRead, 1, info.id, sizeof info.id);
    return isAt45db041dId(info.id);
}

bool AT45DB041D_SetBinaryPageSize()
{
    lastMessage.clear();
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatus(st)) {
        lastMessage = QStringLiteral("Failed to read the status byte!");
        return false;
    }
    if (st.pageSize256) {
        lastMessage = QStringLiteral("Your page size is already 256 B...");
        return true;
    }
    transfer(kPowerOfTwoPageSize, sizeof kPowerOfTwoPageSize);
    switch (waitUntilReady(dataflashTiming.pageSizeChange)) {
    case Wait::Ready:
        return true;
    case Wait::TimedOut:
        lastMessage = QStringLiteral("Timed out waiting for the chip after the page size change!");
        return false;
    case Wait::Silent:
        lastMessage = QStringLiteral("The chip stopped answering after the page size change!");
        return false;
    }
    return false;
}

bool AT45DB041D_ChipErase()
{
    lastMessage.clear();
    transfer(kChipErase, sizeof kChipErase);
    switch (waitUntilReady(dataflashTiming.chipErase)) {
    case Wait::Ready:
        return true;
    case Wait::TimedOut:
        lastMessage = QStringLiteral("Timed out waiting for the chip to finish erasing!");
        return false;
    case Wait::Silent:
        lastMessage = QStringLiteral("The chip stopped answering while erasing!");
        return false;
    }
    return false;
}

void AT45DB041D_Buffer1Write(const std::uint8_t* data, bool pageSize256)
{
    const unsigned length = dataFlashPageLength(pageSize256);
    std::uint8_t command[4 + kDataFlashMaxPageLength] = { kBuffer1Write, 0x00, 0x00, 0x00 }; // buffer address 0
    std::memcpy(command + 4, data, length);
    transfer(command, 4 + length);
}

bool AT45DB041D_ProgramPage(std::uint32_t page, const std::uint8_t* data, bool pageSize256)
{
    lastMessage.clear();
    AT45DB041D_Buffer1Write(data, pageSize256);
    std::uint8_t command[4] = { kBuffer1ToPageProgramWithErase };
    encodePageAddress(page, pageSize256, command + 1);
    transfer(command, sizeof command);
    switch (waitUntilReady(dataflashTiming.pageProgram)) {
    case Wait::Ready:
        return true;
    case Wait::TimedOut:
        lastMessage = QStringLiteral("Timed out waiting for the chip to program page %1!").arg(page);
        return false;
    case Wait::Silent:
        lastMessage = QStringLiteral("The chip stopped answering while programming page %1!").arg(page);
        return false;
    }
    return false;
}

void AT45DB041D_MainMemoryPageRead(std::uint32_t page, std::uint8_t* buf, bool pageSize256)
{
    std::uint8_t command[8] = { kMainMemoryPageRead, 0, 0, 0, kDummy, kDummy, kDummy, kDummy };
    encodePageAddress(page, pageSize256, command + 1);
    blockTransfer(command, sizeof command, buf, dataFlashPageLength(pageSize256));
}

void AT45DB041D_Buffer1Read(std::uint8_t* buf, bool pageSize256)
{
    // Three address bytes (buffer address 0) and one don't-care byte.
    const std::uint8_t command[5] = { kBuffer1Read, 0x00, 0x00, 0x00, 0x00 };
    blockTransfer(command, sizeof command, buf, dataFlashPageLength(pageSize256));
}
