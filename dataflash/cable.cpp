// pagekiln-cli cable: how often each wire of the cable flips a bit, measured
// with the SRAM buffer and the status register, never the flash.
#include "at45db041d.h"
#include "wire.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <vector>

namespace {

using namespace dataflash;

constexpr std::uint8_t kBuffer1ReadFrame[5] = { kBuffer1Read, 0x00, 0x00, 0x00, 0x00 }; // one don't-care byte
constexpr std::uint8_t kStatusReadFrame[1] = { kStatusRegisterRead };
constexpr std::uint8_t kPatterns[] = { 0x00, 0xFF, 0x55, 0xAA, 0x0F, 0xF0, 0x33, 0xCC, 0x96 }; // 0x96: pseudo-random
constexpr int kRounds = 4;
constexpr int kReads = 5;           // of each buffer fill: odd, so that a majority decides every bit
constexpr int kStatusReads = 8;
constexpr unsigned kStatusBytes = 512; // of one continuous status read
constexpr int kTries = 3;           // of setting protection over a noisy wire

// Whether a sector register marks a sector (0: 0a, 1: 0b, 2 on: sectors 1
// on; a byte per sector, 0a and 0b share byte 0).
bool marked(const std::uint8_t (&reg)[kDataFlashMaxSectors], int sector)
{
    if (sector < 2)
        return (reg[0] & (sector == 0 ? 0xC0 : 0x30)) == (sector == 0 ? 0xC0 : 0x30);
    return reg[sector - 1] == 0xFF;
}

unsigned differingBits(const std::uint8_t* a, const std::uint8_t* b, std::size_t length)
{
    unsigned bits = 0;
    for (std::size_t i = 0; i < length; ++i)
        bits += unsigned(std::bitset<8>(a[i] ^ b[i]).count());
    return bits;
}

// Whether read is held read from another offset: a buffer read whose
// address noise changed runs on from there and wraps at the buffer's end. On
// a fill of one byte value that is invisible but where the fill itself took
// a flipped bit, which then shows in two places and is the command's error,
// not the wire's from the chip.
bool readFromAnotherOffset(const std::vector<std::uint8_t>& read, const std::vector<std::uint8_t>& held)
{
    const std::size_t length = held.size();
    for (std::size_t offset = 1; offset < length; ++offset) {
        std::size_t i = 0;
        while (i < length && read[i] == held[(offset + i) % length])
            ++i;
        if (i == length)
            return true;
    }
    return false;
}

// Bit by bit, the value most of the reads gave.
std::vector<std::uint8_t> majority(const std::vector<std::vector<std::uint8_t>>& reads)
{
    std::vector<std::uint8_t> result(reads.front().size());
    for (std::size_t i = 0; i < result.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::size_t ones = 0;
            for (const auto& read : reads)
                ones += (read[i] >> bit) & 1;
            if (2 * ones > reads.size())
                result[i] |= std::uint8_t(1 << bit);
        }
    return result;
}

bool setProtection(DataFlashProtection wanted)
{
    for (int attempt = 0; attempt < kTries; ++attempt)
        if (AT45DB041D_SetSectorProtection(wanted))
            return true;
    return false;
}

// One buffer fill read back kReads times. A transfer that differs from the
// others in more than a quarter of its bits had its command changed by noise
// (another buffer, another offset): that counts as one error of the command.
void measureFill(std::uint8_t pattern, int round, std::uint32_t aim, bool pageSize256, unsigned length,
                 DataFlashCable& cable)
{
    std::vector<std::uint8_t> data(length, pattern);
    if (pattern == 0x96) // a different pseudo-random fill each round
        for (unsigned i = 0; i < length; ++i)
            data[i] = std::uint8_t((i * 167 + 13 + round * 71) ^ (i >> 3));
    sendBufferWrite(Wire::Block, 0, aim, pageSize256, data.data(), length);
    std::vector<std::vector<std::uint8_t>> reads(kReads, std::vector<std::uint8_t>(length));
    for (auto& read : reads)
        frame(Wire::Block, kBuffer1ReadFrame, sizeof kBuffer1ReadFrame, read.data(), length);
    const std::vector<std::uint8_t> held = majority(reads);
    const unsigned wholesale = length * 8 / 4;
    for (const auto& read : reads) {
        const unsigned flipped = differingBits(read.data(), held.data(), length);
        cable.toChip.bits += 8 * sizeof kBuffer1ReadFrame;
        if (flipped > wholesale || (flipped && readFromAnotherOffset(read, held))) {
            ++cable.toChip.errors;
            continue;
        }
        cable.fromChip.errors += flipped;
        cable.fromChip.bits += 8 * length;
    }
    const unsigned wrong = differingBits(held.data(), data.data(), length);
    cable.toChip.errors += wrong > wholesale ? 1 : wrong;
    cable.toChip.bits += 8 * (4 + length);
}

// One long status read: the chip repeats its status register (the E
// series its two bytes as a pair), so every byte should be the one most of
// those in its place in the pair are, and the first carry the density code.
void measureStatus(DataFlashCable& cable)
{
    const unsigned pair = dataFlashChip().series == DataFlashSeries::E ? 2 : 1;
    std::vector<std::vector<std::uint8_t>> statuses(kStatusBytes / pair, std::vector<std::uint8_t>(pair));
    std::vector<std::uint8_t> reply(kStatusBytes);
    frame(Wire::Block, kStatusReadFrame, sizeof kStatusReadFrame, reply.data(), reply.size());
    for (unsigned i = 0; i < kStatusBytes; ++i)
        statuses[i / pair][i % pair] = reply[i];
    const std::vector<std::uint8_t> known = majority(statuses);
    cable.toChip.bits += 8;
    DataFlashStatus st;
    if (!decodeStatus(known[0], st)) { // not a status at all: the command was changed
        ++cable.toChip.errors;
        return;
    }
    for (unsigned i = 0; i < kStatusBytes; ++i)
        cable.fromChip.errors += unsigned(std::bitset<8>(reply[i] ^ known[i % pair]).count());
    cable.fromChip.bits += 8 * kStatusBytes;
}

} // namespace

bool AT45DB041D_MeasureCable(DataFlashCable& cable, const DataFlashRun& run)
{
    lastMessage.clear();
    cable = DataFlashCable();
    bool pageSize256 = false;
    DataFlashSectors sectors;
    DataFlashStatus st;
    if (!pageSizeInForce(pageSize256) || !AT45DB041D_ReadSectors(sectors))
        return false;
    Status read = Status::Silent;
    for (int attempt = 0; attempt < kTries && read != Status::Confirmed; ++attempt)
        read = readConfirmedStatus(Wire::Block, st);
    if (read != Status::Confirmed) {
        lastMessage = QStringLiteral("Failed to read the status byte!");
        return false;
    }
    int aim = -1;
    for (int sector = int(sectorIndexes()) - 1; sector >= 0 && aim < 0; --sector)
        if (marked(sectors.protection, sector) || marked(sectors.lockdown, sector))
            aim = int(sectorFirstPage(unsigned(sector)));
    if (aim < 0) {
        lastMessage = QStringLiteral("No sector is marked in the chip's protection or lockdown register, so a buffer "
                                     "write that noise turned into a program could change a page: the cable is not "
                                     "measured on this chip.");
        return false;
    }
    if (!st.protect && !setProtection(DataFlashProtection::On))
        return false;
    const unsigned length = dataFlashPageLength(pageSize256);
    const unsigned total = kRounds * unsigned(sizeof kPatterns) + kStatusReads;
    unsigned done = 0;
    bool stopped = false;
    for (int round = 0; round < kRounds && !stopped; ++round)
        for (const std::uint8_t pattern : kPatterns) {
            if (run.stopRequested && run.stopRequested()) {
                stopped = true;
                break;
            }
            measureFill(pattern, round, std::uint32_t(aim), pageSize256, length, cable);
            if (run.progress)
                run.progress(++done, total);
        }
    for (int read = 0; read < kStatusReads && !stopped; ++read) {
        measureStatus(cable);
        if (run.progress)
            run.progress(++done, total);
    }
    if (!st.protect && !setProtection(DataFlashProtection::Off)) {
        lastMessage = QStringLiteral("Sector protection stays on after the cable was measured: run pagekiln-cli "
                                     "unprotect.");
        return false;
    }
    if (stopped)
        lastMessage = QStringLiteral("Stopped before the cable was measured whole.");
    return !stopped;
}

double dataFlashRateBound(const DataFlashWireCount& count)
{
    if (count.bits == 0)
        return 1;
    // The mean m for which N or fewer errors have a 5 % chance (Poisson),
    // found by halving: the rate is at most m / bits.
    const double errors = double(count.errors);
    if (errors > 500) // the normal approximation, where the Poisson sum underflows
        return std::min(1.0, (errors + 1.645 * std::sqrt(errors) + 1) / double(count.bits));
    auto atMostN = [errors](double mean) {
        double term = std::exp(-mean), sum = term;
        for (double k = 1; k <= errors; ++k)
            sum += term *= mean / k;
        return sum;
    };
    double low = errors, high = errors + 10 + 10 * std::sqrt(errors + 1);
    for (int step = 0; step < 60; ++step) {
        const double mean = (low + high) / 2;
        (atMostN(mean) > 0.05 ? low : high) = mean;
    }
    return std::min(1.0, high / double(count.bits));
}
