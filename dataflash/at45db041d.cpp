// AT45DB041D commands: status, identification, connection, page size, erase,
// buffer and page transfers.
#include "at45db041d.h"

#include "link.h"
#include "platform.h"

#include "wire.h"

#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstring>

QString lastMessage;
DataFlashTiming dataflashTiming;

using namespace dataflash;

namespace {

// Multi-byte commands, as they go on the wire.
constexpr std::uint8_t kPowerOfTwoPageSize[] = { 0x3D, 0x2A, 0x80, 0xA6 };
constexpr std::uint8_t kDataFlashPageSize[] = { 0x3D, 0x2A, 0x80, 0xA7 }; // E series only
constexpr std::uint8_t kChipErase[] = { 0xC7, 0x94, 0x80, 0x9A };
constexpr std::uint8_t kEnableSectorProtection[] = { 0x3D, 0x2A, 0x7F, 0xA9 };
constexpr std::uint8_t kDisableSectorProtection[] = { 0x3D, 0x2A, 0x7F, 0x9A };
// Register reads: the opcode and three don't-care bytes.
constexpr std::uint8_t kReadSectorProtectionRegister[] = { 0x32, 0x00, 0x00, 0x00 };
constexpr std::uint8_t kReadSectorLockdownRegister[] = { 0x35, 0x00, 0x00, 0x00 };
constexpr std::uint8_t kReadSecurityRegister[] = { 0x77, 0x00, 0x00, 0x00 };
constexpr unsigned kSecurityRegisterLength = 128; // 0 to 63 user, 64 to 127 the factory's unique ID

// Chip erase commands sent before a chip that stays ready after each is
// given up.
constexpr int kChipEraseSends = 3;

// Reads of a register before its two reads are given up for agreeing.
constexpr int kRegisterReads = 8;

// JEDEC identification of the AT45DB041D.
constexpr std::uint8_t kManufacturerAtmel = 0x1F;
constexpr std::uint8_t kDeviceId1 = 0x24; // DataFlash family, 4 Mbit
constexpr std::uint8_t kDeviceId2 = 0x00;
constexpr std::uint8_t kExtendedInfoLength = 0x00;

// The window's sequence goes one byte at a time.
constexpr Wire kByteWise = Wire::ByteWise;

} // namespace

bool AT45DB041D_ReadStatusConfirmed(DataFlashStatus& st)
{
    if (readStatusAgreed(kByteWise, st))
        return true;
    lastMessage = QStringLiteral("Failed to read the status byte!");
    return false;
}

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
    spilink::inUse().start();
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatusConfirmed(st))
        return false;
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

void AT45DB_UseChip(const DataFlashChip& chip)
{
    if (&chip == &dataFlashChip())
        return;
    useDataFlashChip(chip);
    // Page program with built-in erase (tEP) and the page-size change (as
    // long as a page program): ten times the maximum, at least a second.
    dataflashTiming.pageSizeChange = { 5, boundMs(chip.pageEraseProgram, 1000) };
    dataflashTiming.pageProgram = { 5, boundMs(chip.pageEraseProgram, 1000) };
    // Chip erase (tCE): tens of seconds on the large chips; twice the
    // maximum, at least 100 s, for a slow, worn chip.
    const unsigned eraseMaxMs = chip.chipErase.maxUs / 1000;
    dataflashTiming.chipErase = { 250, std::max(100000u, 2 * eraseMaxMs) };
    dataflashTiming.chipEraseTypicalMs = chip.chipErase.typicalUs / 1000;
}

QString dataFlashChipNames()
{
    QStringList names;
    for (std::size_t i = 0; i < kDataFlashChipCount; ++i)
        names << QLatin1String(kDataFlashChips[i].name);
    return names.join(QStringLiteral(", "));
}

namespace {

// Reads of the ID before two that agree are given up.
constexpr int kIdReads = 4;

// The ID bytes, read until two reads agree; false when they never do.
bool readIdAgreed(std::uint8_t (&id)[kDataFlashIdLength])
{
    std::uint8_t again[kDataFlashIdLength];
    for (int read = 0; read < kIdReads; ++read) {
        frame(Wire::Block, &kManufacturerDeviceIdRead, 1, id, sizeof id);
        frame(Wire::Block, &kManufacturerDeviceIdRead, 1, again, sizeof again);
        if (std::memcmp(id, again, sizeof id) == 0)
            return true;
    }
    return false;
}

// An undriven SO reads as all ones or all zeros.
bool nothingDriven(const std::uint8_t (&id)[kDataFlashIdLength])
{
    return std::all_of(id, id + kDataFlashIdLength, [](std::uint8_t b) { return b == 0x00; })
           || std::all_of(id, id + kDataFlashIdLength, [](std::uint8_t b) { return b == 0xFF; });
}

} // namespace

bool AT45DB_Probe(DataFlashInfo& info)
{
    lastMessage.clear();
    info = DataFlashInfo();
    spilink::inUse().start();
    const bool idRead = readIdAgreed(info.id);
    if (!idRead || nothingDriven(info.id)) {
        // Silence, or a wire too noisy for the ID: the status read says which.
        if (!AT45DB041D_ReadStatusConfirmed(info.status))
            return false;
        info.answered = true;
        lastMessage = QStringLiteral("The chip's ID reads differently each time: the wire from the chip is "
                                     "unreliable (check the cable, its length and the chip's supply)!");
        return false;
    }
    info.answered = true;
    info.chip = findDataFlashChip(info.id);
    if (!info.chip) {
        lastMessage = QStringLiteral("The chip is not one this program knows (its ID is in no row of the chip "
                                     "table); nothing on it was changed. Supported: %1.")
                          .arg(dataFlashChipNames());
        return false;
    }
    AT45DB_UseChip(*info.chip);
    if (!readStatusAgreed(Wire::Block, info.status)) {
        lastMessage = QStringLiteral("The chip gives the ID of an %1, but its status register does not carry that "
                                     "chip's density code: either the ID or the status reads are damaged on the "
                                     "wire (check the cable, its length and the chip's supply), or the chip is no %1; "
                                     "nothing on it was changed!")
                          .arg(QLatin1String(info.chip->name));
        return false;
    }
    return true;
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
    if (!AT45DB041D_ReadStatusConfirmed(st))
        return false;
    if (st.pageSize256) {
        lastMessage = QStringLiteral("Your page size is already 256 B...");
        return true;
    }
    frame(kByteWise, kPowerOfTwoPageSize, sizeof kPowerOfTwoPageSize);
    return waitReported(dataflashTiming.pageSizeChange, kByteWise,
                        { "Timed out waiting for the chip after the page size change!",
                          "The chip stopped answering after the page size change!" });
}

bool AT45DB_SetPageSize(bool binary, bool* changed)
{
    lastMessage.clear();
    if (changed)
        *changed = false;
    const DataFlashChip& chip = dataFlashChip();
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatusConfirmed(st))
        return false;
    if ((st.pageSize256 == 1) == binary)
        return true;
    if (!binary && chip.series == DataFlashSeries::D) {
        lastMessage = QStringLiteral("The %1 is set to binary pages for good: a D-series chip's page size is a "
                                     "one-time setting that cannot go back to %2-byte pages (an E-series chip can)!")
                          .arg(QLatin1String(chip.name))
                          .arg(chip.dataflashPageLength);
        return false;
    }
    frame(kByteWise, binary ? kPowerOfTwoPageSize : kDataFlashPageSize, sizeof kPowerOfTwoPageSize);
    if (changed)
        *changed = true;
    return waitReported(dataflashTiming.pageSizeChange, kByteWise,
                        { "Timed out waiting for the chip after the page size change!",
                          "The chip stopped answering after the page size change!" });
}

bool AT45DB041D_ChipErase(const DataFlashRun& run)
{
    lastMessage.clear();
    // A chip erase keeps the chip busy for seconds: a chip seen ready right
    // after the command ignored it, as a chip ignores a frame damaged on the
    // wire, and it is sent again. A chip that does not answer is left to the
    // wait, which says so.
    bool erasing = false;
    for (int sent = 0; sent < kChipEraseSends && !erasing; ++sent) {
        frame(kByteWise, kChipErase, sizeof kChipErase);
        DataFlashStatus st;
        erasing = !readStatusAgreed(kByteWise, st) || !st.ready;
    }
    if (!erasing) {
        lastMessage = QStringLiteral("The chip did not start the chip erase: it was ready at once after each of %1 "
                                     "erase commands, so it ignored them (check the cable, its length and the "
                                     "chip's supply); the chip still holds what it held before, nothing was "
                                     "erased; run the job again!")
                          .arg(kChipEraseSends);
        return false;
    }
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

namespace {

// Reads a register twice until two reads agree; false when they never do.
bool readAgreed(const std::uint8_t (&command)[4], std::uint8_t* out, unsigned length)
{
    std::uint8_t first[kSecurityRegisterLength];
    std::uint8_t second[kSecurityRegisterLength];
    for (int read = 0; read < kRegisterReads; ++read) {
        frame(Wire::Block, command, sizeof command, first, length);
        frame(Wire::Block, command, sizeof command, second, length);
        if (std::memcmp(first, second, length) == 0) {
            std::memcpy(out, first, length);
            return true;
        }
    }
    lastMessage = QStringLiteral("The chip's sector registers read differently each time: the wire from the chip is "
                                 "unreliable (check the cable, its length and the chip's supply)!");
    return false;
}

// Whether a sector register marks sector index (0: 0a, 1: 0b, 2 on:
// sectors 1 on). Sector 0's byte marks 0a with bits 7 and 6, 0b with 5
// and 4; each other sector's byte is FF when marked.
bool sectorMarked(const std::uint8_t (&reg)[kDataFlashMaxSectors], unsigned index)
{
    if (index == 0)
        return (reg[0] & 0xC0) == 0xC0;
    if (index == 1)
        return (reg[0] & 0x30) == 0x30;
    return reg[index - 1] == 0xFF;
}

QString sectorName(unsigned index)
{
    return index == 0 ? QStringLiteral("0a") : index == 1 ? QStringLiteral("0b") : QString::number(index - 1);
}

} // namespace

bool AT45DB041D_ReadSectors(DataFlashSectors& sectors)
{
    lastMessage.clear();
    std::uint8_t security[kSecurityRegisterLength];
    const unsigned sectorCount = dataFlashChip().sectors;
    if (!readAgreed(kReadSectorProtectionRegister, sectors.protection, sectorCount)
        || !readAgreed(kReadSectorLockdownRegister, sectors.lockdown, sectorCount)
        || !readAgreed(kReadSecurityRegister, security, sizeof security))
        return false;
    std::memcpy(sectors.uniqueId, security + 64, sizeof sectors.uniqueId);
    return true;
}

namespace dataflash {

// The sector index (0: 0a, 1: 0b, 2 on: sectors 1 on) of a page.
static unsigned sectorIndexOf(std::uint32_t page)
{
    bool sector0a = false;
    const unsigned sector = sectorOf(dataFlashChip(), page, &sector0a);
    return sector0a ? 0 : sector + 1;
}

unsigned sectorIndexes()
{
    return dataFlashChip().sectors + 1;
}

std::uint32_t sectorFirstPage(unsigned index)
{
    return index == 0 ? 0 : index == 1 ? 8 : (index - 1) * dataFlashChip().sectorPages;
}

bool pageInMarkedSector(const std::uint8_t (&reg)[kDataFlashMaxSectors], std::uint32_t page)
{
    return sectorMarked(reg, sectorIndexOf(page));
}

void markSectorOf(std::uint8_t (&reg)[kDataFlashMaxSectors], std::uint32_t page)
{
    const unsigned index = sectorIndexOf(page);
    if (index < 2)
        reg[0] = static_cast<std::uint8_t>(reg[0] | (index == 0 ? 0xC0 : 0x30));
    else
        reg[index - 1] = 0xFF;
}

} // namespace dataflash

namespace {

// Sends a protection command until a confirmed status shows it taken, a few
// times at most.
bool setProtectionSeen(bool on)
{
    for (int sent = 0; sent < kChipEraseSends; ++sent) {
        frame(Wire::Block, on ? kEnableSectorProtection : kDisableSectorProtection, sizeof kEnableSectorProtection);
        DataFlashStatus st;
        if (readStatusAgreed(Wire::Block, st) && st.protect == (on ? 1 : 0))
            return true;
    }
    return false;
}

} // namespace

bool dataflash::whileProtected(const std::function<bool(bool protectedChip)>& job)
{
    DataFlashStatus st;
    if (!readStatusAgreed(Wire::Block, st)) {
        lastMessage = QStringLiteral("The chip stopped answering before its pages were read!");
        return false;
    }
    // A chip that has gone reads its register as all 0xFF: it must still
    // answer after it.
    std::uint8_t protection[kDataFlashMaxSectors];
    if (!readAgreed(kReadSectorProtectionRegister, protection, dataFlashChip().sectors))
        return false;
    if (!readStatusAgreed(Wire::Block, st)) {
        lastMessage = QStringLiteral("The chip stopped answering while its sector protection register was read!");
        return false;
    }
    const bool everySector = std::all_of(protection + 1, protection + dataFlashChip().sectors,
                                         [](std::uint8_t b) { return b == 0xFF; })
                             && (protection[0] & 0xF0) == 0xF0;
    const bool turnedOn = everySector && !st.protect && setProtectionSeen(true);
    const bool done = job(everySector && (st.protect || turnedOn));
    if (!turnedOn || setProtectionSeen(false))
        return done;
    if (done)
        lastMessage = QStringLiteral("Sector protection, turned on so that nothing could change the chip meanwhile, "
                                     "could not be turned off again (check the cable); run unprotect, or power the "
                                     "board off and on!");
    return false;
}

bool dataflash::readLockdownRegister(std::uint8_t (&reg)[kDataFlashMaxSectors])
{
    return readAgreed(kReadSectorLockdownRegister, reg, dataFlashChip().sectors);
}

QString dataFlashSectorNames(const std::uint8_t (&reg)[kDataFlashMaxSectors])
{
    QStringList names;
    for (unsigned index = 0; index < dataflash::sectorIndexes(); ++index)
        if (sectorMarked(reg, index))
            names << sectorName(index);
    return names.isEmpty() ? QStringLiteral("none") : names.join(QLatin1Char(' '));
}

bool AT45DB041D_SetSectorProtection(DataFlashProtection wanted)
{
    lastMessage.clear();
    const bool on = wanted == DataFlashProtection::On;
    frame(kByteWise, on ? kEnableSectorProtection : kDisableSectorProtection, sizeof kEnableSectorProtection);
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatusConfirmed(st))
        return false;
    if (on) {
        if (st.protect)
            return true;
        lastMessage = QStringLiteral("Sector protection is still off after the Enable Sector Protection command: the "
                                     "chip did not take it (check the cable and run protect again)!");
        return false;
    }
    if (st.protect) {
        lastMessage = QStringLiteral("Sector protection is still on after the Disable Sector Protection command: the "
                                     "chip's WP# pin is held low, which keeps the protection on and makes the chip "
                                     "ignore the command; tie WP# high (to VCC), then run unprotect again!");
        return false;
    }
    DataFlashSectors sectors;
    if (!readAgreed(kReadSectorLockdownRegister, sectors.lockdown, dataFlashChip().sectors))
        return false;
    const QString locked = dataFlashSectorNames(sectors.lockdown);
    if (locked != QLatin1String("none")) {
        lastMessage = QStringLiteral("Sector protection is off, but sectors %1 are locked down for good (the chip's "
                                     "sector lockdown register says so): they can never be programmed or erased "
                                     "again and nothing can undo it; use another chip!")
                          .arg(locked);
        return false;
    }
    return true;
}
