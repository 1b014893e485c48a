// AT45DB041D commands: status, identification, connection, page size, erase,
// buffer and page transfers.
#include "at45db041d.h"

#include "lpt.h"
#include "platform.h"

#include "wire.h"

#include <chrono>
#include <cstring>

QString lastMessage;
DataFlashTiming dataflashTiming;

using namespace dataflash;

namespace {

// Multi-byte commands, as they go on the wire.
constexpr std::uint8_t kPowerOfTwoPageSize[] = { 0x3D, 0x2A, 0x80, 0xA6 };
constexpr std::uint8_t kChipErase[] = { 0xC7, 0x94, 0x80, 0x9A };

// JEDEC identification of the AT45DB041D.
constexpr std::uint8_t kManufacturerAtmel = 0x1F;
constexpr std::uint8_t kDeviceId1 = 0x24; // DataFlash family, 4 Mbit
constexpr std::uint8_t kDeviceId2 = 0x00;
constexpr std::uint8_t kExtendedInfoLength = 0x00;

// The window's sequence goes one byte at a time.
constexpr Wire kByteWise = Wire::ByteWise;

} // namespace

bool AT45DB041D_ReadStatus(DataFlashStatus& st, std::uint8_t* raw)
{
    std::uint8_t status = 0;
    frame(kByteWise, &kStatusRegisterRead, 1, &status, 1);
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

// False, with the protection text in lastMessage, for a protected chip.
bool refuseProtected(const DataFlashStatus& st)
{
    if (!st.protect)
        return true;
    lastMessage = QStringLiteral("Warning! Sector protection is enabled, I can't do anything.");
    return false;
}

} // namespace

bool AT45DB041D_ReadManufactDevID(std::uint8_t* id)
{
    lastMessage.clear();
    std::uint8_t bytes[4] = {};
    frame(kByteWise, &kManufacturerDeviceIdRead, 1, bytes, sizeof bytes);
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
    if (!refuseProtected(st))
        return false;
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
    frame(kByteWise, &kManufacturerDeviceIdRead, 1, info.id, sizeof info.id);
    return isAt45db041dId(info.id);
}

bool AT45DB041D_CheckWritable(const DataFlashInfo& info)
{
    lastMessage.clear();
    return refuseProtected(info.status);
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
    frame(kByteWise, kPowerOfTwoPageSize, sizeof kPowerOfTwoPageSize);
    return waitReported(dataflashTiming.pageSizeChange, kByteWise,
                        { "Timed out waiting for the chip after the page size change!",
                          "The chip stopped answering after the page size change!" });
}

bool AT45DB041D_ChipErase(const DataFlashRun& run)
{
    lastMessage.clear();
    frame(kByteWise, kChipErase, sizeof kChipErase);
    // An erase cannot be cut short: a stop asked meanwhile is acknowledged
    // at once, with the time the erase typically has left, and the caller
    // stops once it has ended.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    bool acknowledged = false;
    const auto answerStop = [&] {
        if (acknowledged || !run.stopDeferred || !run.stopRequested || !run.stopRequested())
            return;
        acknowledged = true;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        const unsigned typical = dataflashTiming.chipEraseTypicalMs;
        run.stopDeferred(elapsed < typical ? typical - unsigned(elapsed) : 0);
    };
    return waitReported(dataflashTiming.chipErase, kByteWise,
                        { "Timed out waiting for the chip to finish erasing!",
                          "The chip stopped answering while erasing!" },
                        0, nullptr, answerStop);
}

void AT45DB041D_Buffer1Write(const std::uint8_t* data, bool pageSize256)
{
    // Buffer address 0; the don't-care bits are sent as zero.
    sendBufferWrite(kByteWise, 0, 0, pageSize256, data, dataFlashPageLength(pageSize256));
}

bool AT45DB041D_ProgramPage(std::uint32_t page, const std::uint8_t* data, bool pageSize256)
{
    lastMessage.clear();
    AT45DB041D_Buffer1Write(data, pageSize256);
    sendPageCommand(kByteWise, kBuffer1ToPageProgramWithErase, page, pageSize256);
    return waitReported(dataflashTiming.pageProgram, kByteWise,
                        { "Timed out waiting for the chip to program page %1!",
                          "The chip stopped answering while programming page %1!" },
                        page);
}

void AT45DB041D_MainMemoryPageRead(std::uint32_t page, std::uint8_t* buf, bool pageSize256)
{
    sendPageRead(Wire::Block, page, pageSize256, buf);
}

void AT45DB041D_Buffer1Read(std::uint8_t* buf, bool pageSize256)
{
    // Three address bytes (buffer address 0) and one don't-care byte.
    const std::uint8_t command[5] = { kBuffer1Read, 0x00, 0x00, 0x00, 0x00 };
    frame(Wire::Block, command, sizeof command, buf, dataFlashPageLength(pageSize256));
}
