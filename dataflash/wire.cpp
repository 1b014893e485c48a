// Command frames, status reads and the bounded busy poll.
#include "wire.h"

#include "link.h"
#include "platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace dataflash {

namespace {

// Status register.
constexpr std::uint8_t kStatusReady = 0x80;        // RDY/BUSY#
constexpr std::uint8_t kStatusCompare = 0x40;      // COMP: the last compare found a difference
constexpr std::uint8_t kStatusDensityMask = 0x3C;  // bits 5..2: the chip's row (0 1 1 1 x x: AT45DB041D)
constexpr std::uint8_t kStatusProtect = 0x02;
constexpr std::uint8_t kStatusPageSize256 = 0x01;
// E series, second byte.
constexpr std::uint8_t kStatusProgramError = 0x20; // EPE: the last program or erase failed

// Status bytes one confirmed status read clocks at most before giving up on
// two neighbours (D series) or two neighbouring pairs (E series) that agree:
// a flipped bit spoils two of them.
constexpr int kStatusReadsPerConfirm = 4;
constexpr int kStatusBytesPerRead = 2 * kStatusReadsPerConfirm;

// The E series repeats its two status bytes as a pair.
unsigned statusLength()
{
    return dataFlashChip().series == DataFlashSeries::E ? 2 : 1;
}
// Confirmed status reads tried, over a noisy wire, before a decision that
// rests on the status gives up.
constexpr int kStatusReadsAgreed = 8;

// A chip that is gone: no status read has carried the density code for
// this long. Between such reads the poll sleeps at most kSilentSpacingMs,
// however long its own interval.
constexpr std::chrono::milliseconds kSilentFor(30);
constexpr unsigned kSilentSpacingMs = 10;

// A confirmed status read said ready, and no command has gone to the chip
// since: it is still idle. (A status read that confirms was taken by the
// chip as one: noise did not make it a command.)
bool idleSinceLastRead = false;

spilink::Pace paceOf(Wire wire)
{
    return wire == Wire::ByteWise ? spilink::Pace::ByteAtATime : spilink::Pace::Block;
}

} // namespace

WireClock::time_point frame(Wire wire, const std::uint8_t* command, std::size_t commandLength,
                            std::uint8_t* reply, std::size_t replyLength)
{
    idleSinceLastRead = false;
    return spilink::inUse().frame(command, commandLength, reply, replyLength, paceOf(wire));
}

bool chipIdleSinceLastStatus()
{
    return idleSinceLastRead;
}

// The page number sits above the byte address: 8 bits with 256-byte pages,
// 9 with 264-byte pages (AT45DB041D), up to 11 with 1056-byte pages. Only
// the chip's page address bits count.
void encodePageAddress(std::uint32_t page, bool pageSize256, std::uint8_t* out)
{
    const DataFlashChip& chip = dataFlashChip();
    const unsigned byteAddressBits = byteAddressBitsOf(chip, pageSize256);
    const std::uint32_t address = (page & ((1u << chip.pageAddressBits) - 1)) << byteAddressBits;
    out[0] = static_cast<std::uint8_t>(address >> 16);
    out[1] = static_cast<std::uint8_t>(address >> 8);
    out[2] = static_cast<std::uint8_t>(address);
}

WireClock::time_point sendBufferWrite(Wire wire, int buffer, std::uint32_t aimPage, bool pageSize256,
                                      const std::uint8_t* data, unsigned length, unsigned offset)
{
    std::uint8_t command[4 + kDataFlashMaxPageLength] = { kBufferWrite[buffer] };
    encodePageAddress(aimPage, pageSize256, command + 1);
    // The buffer address fills the byte-address bits: 8 of them with
    // 256-byte pages, 9 with 264-byte pages, up to 11.
    command[2] = static_cast<std::uint8_t>(command[2] | (offset >> 8));
    command[3] = static_cast<std::uint8_t>(offset);
    std::memcpy(command + 4, data, length);
    return frame(wire, command, 4 + length);
}

void sendPageCommand(Wire wire, std::uint8_t opcode, std::uint32_t page, bool pageSize256)
{
    std::uint8_t command[4] = { opcode };
    encodePageAddress(page, pageSize256, command + 1);
    frame(wire, command, sizeof command);
}

void sendPageRead(Wire wire, std::uint32_t page, bool pageSize256, std::uint8_t* out)
{
    // Opcode, three address bytes, four don't-care bytes; then the page.
    std::uint8_t command[8] = { kMainMemoryPageRead, 0, 0, 0, kDummy, kDummy, kDummy, kDummy };
    encodePageAddress(page, pageSize256, command + 1);
    frame(wire, command, sizeof command, out, dataFlashPageLength(pageSize256));
}

PageRead readPageAgreed(std::uint32_t page, bool pageSize256, std::uint8_t* out)
{
    // Any two count, not only two in a row: over a wire that flips a bit in
    // one read of two, a pair read together agrees only one time in four,
    // but two intact reads among twenty are all but certain.
    constexpr int kReads = 20;
    // Longer than a page program with erase (tEP, at most 35 ms on the
    // AT45DB041D).
    const DataFlashPoll readyBudget { 0, boundMs(dataFlashChip().pageEraseProgram) };
    const unsigned length = dataFlashPageLength(pageSize256);
    std::vector<std::uint8_t> reads(std::size_t(kReads) * length);
    for (int n = 0; n < kReads; ++n) {
        if (!waitReported(readyBudget, Wire::Block,
                          { "Timed out waiting for the chip before page %1 was read!",
                            "The chip stopped answering while page %1 was read!" },
                          page))
            return PageRead::NotReady;
        std::uint8_t* read = reads.data() + std::size_t(n) * length;
        sendPageRead(Wire::Block, page, pageSize256, read);
        for (int earlier = 0; earlier < n; ++earlier) {
            if (std::memcmp(reads.data() + std::size_t(earlier) * length, read, length) == 0) {
                std::memcpy(out, read, length);
                return PageRead::Agreed;
            }
        }
    }
    return PageRead::Disagreed;
}

bool decodeStatus(std::uint8_t byte, DataFlashStatus& st)
{
    st = DataFlashStatus();
    // No chip, a wrong port or another density all fail here; an undriven SO
    // reads as 0x00 or 0xFF, neither of which carries a density code.
    if ((byte & kStatusDensityMask) != dataFlashChip().densityCode)
        return false;
    st.ready = (byte & kStatusReady) ? 1 : 0;
    st.comp = (byte & kStatusCompare) ? 1 : 0;
    st.protect = (byte & kStatusProtect) ? 1 : 0;
    st.pageSize256 = (byte & kStatusPageSize256) ? 1 : 0;
    return true;
}

Status readConfirmedStatus(Wire wire, DataFlashStatus& st)
{
    std::uint8_t bytes[kStatusBytesPerRead];
    const std::size_t pair = statusLength();
    bool answered = false;
    bool confirmed = false;
    // Judged as each status (one byte, or the E series' pair) comes in, so
    // that the read stops once two agree: byte i with byte i of the next.
    const auto judge = [&](std::size_t got) {
        if (got < 2 * pair || got % pair != 0)
            return false;
        const std::uint8_t* previous = bytes + got - 2 * pair;
        const std::uint8_t* status = bytes + got - pair;
        DataFlashStatus decoded;
        const bool carriesDensity = decodeStatus(status[0], decoded);
        answered = answered || carriesDensity || decodeStatus(previous[0], decoded);
        confirmed = carriesDensity && std::equal(status, status + pair, previous);
        if (confirmed) {
            if (pair == 2)
                decoded.programError = (status[1] & kStatusProgramError) ? 1 : 0;
            st = decoded;
        }
        return confirmed;
    };
    spilink::inUse().frameUntil(&kStatusRegisterRead, 1, bytes, kStatusReadsPerConfirm * pair, judge, paceOf(wire));
    // One that did not confirm may have reached the chip as another command.
    idleSinceLastRead = confirmed && st.ready;
    if (confirmed)
        return Status::Confirmed;
    st = DataFlashStatus();
    if (!answered)
        return Status::Silent;
    return Status::Disagreed;
}

bool readStatusAgreed(Wire wire, DataFlashStatus& st)
{
    for (int read = 0; read < kStatusReadsAgreed; ++read) {
        if (readConfirmedStatus(wire, st) == Status::Confirmed)
            return true;
    }
    st = DataFlashStatus();
    return false;
}

bool pageSizeInForce(bool& pageSize256)
{
    DataFlashStatus st;
    if (!readStatusAgreed(Wire::Block, st)) {
        lastMessage = QStringLiteral("Failed to read chip's status byte!");
        return false;
    }
    pageSize256 = st.pageSize256 == 1;
    return true;
}

Wait waitUntilReady(const DataFlashPoll& poll, Wire wire, DataFlashStatus* last,
                    const std::function<void()>& eachPoll)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::chrono::milliseconds limit(poll.limitMs);
    bool silent = false;
    Clock::time_point silentSince;
    for (;;) {
        const unsigned pause = silent ? std::min(poll.intervalMs, kSilentSpacingMs) : poll.intervalMs;
        if (eachPoll)
            eachPoll();
        if (pause) // a poll without interval reads back to back, without a system call between
            platformSleepMs(pause);
        // The chip is judged by a read made after the deadline: a process
        // the system stopped between a busy read and the clock's reading
        // must not fail a chip that finished meanwhile.
        const Clock::time_point readAt = Clock::now();
        DataFlashStatus st;
        const Status status = readConfirmedStatus(wire, st);
        const Clock::time_point now = Clock::now();
        if (status == Status::Silent) {
            if (!silent)
                silentSince = now;
            silent = true;
            if (now - silentSince >= kSilentFor)
                return Wait::Silent;
        } else {
            silent = false;
            if (status == Status::Confirmed && st.ready) {
                if (last)
                    *last = st;
                return Wait::Ready;
            }
        }
        // A chip that is not answering is left to the silence rule, so that
        // it is reported as gone rather than as slow.
        if (readAt - start >= limit && !silent)
            return Wait::TimedOut;
    }
}

bool waitReported(const DataFlashPoll& poll, Wire wire, const WaitTexts& texts, std::uint32_t page,
                  DataFlashStatus* last, const std::function<void()>& eachPoll)
{
    DataFlashStatus ended;
    const Wait outcome = waitUntilReady(poll, wire, &ended, eachPoll);
    if (last)
        *last = ended;
    if (outcome == Wait::Ready && ended.programError) {
        // The E series says so itself when a program or erase did not take.
        const DataFlashChip& chip = dataFlashChip();
        lastMessage = QString::fromLatin1(texts.timedOut).contains(QLatin1String("%1"))
                          ? QStringLiteral("The chip reports an erase or program error (EPE) on page %1: the %2's "
                                           "flash did not take it there; that page is worn out or damaged, use "
                                           "another chip!")
                                .arg(page)
                                .arg(QLatin1String(chip.name))
                          : QStringLiteral("The chip reports an erase or program error (EPE): the %1's flash did "
                                           "not take the last erase or program; it is worn out or damaged, use "
                                           "another chip!")
                                .arg(QLatin1String(chip.name));
        return false;
    }
    if (outcome == Wait::Ready)
        return true;
    const QString text = QString::fromLatin1(outcome == Wait::Silent ? texts.silent : texts.timedOut);
    lastMessage = text.contains(QLatin1String("%1")) ? text.arg(page) : text;
    return false;
}

} // namespace dataflash
