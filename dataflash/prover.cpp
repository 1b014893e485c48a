// The steps of a proof on the chip, and the verdict when a page resists it.
#include "prover.h"

#include "link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace dataflash {

namespace {

// Polls read back to back, without sleeping: a status read is itself tens
// of microseconds on a real port. The bounds leave ten times the chip's
// datasheet maximum (the AT45DB041D's figures beside them).
// Page to buffer compare (tXFR): at most 200 us; a hundred times that, as
// one poll's read alone may take as long.
DataFlashPoll compareBudget() { return { 0, 100 * dataFlashChip().transfer.maxUs / 1000 }; }
// Buffer to page program without erase (tP): typically 2 ms, at most 4 ms.
DataFlashPoll programBudget() { return { 0, boundMs(dataFlashChip().pageProgram) }; }
std::chrono::microseconds programMaximum() { return std::chrono::microseconds(dataFlashChip().pageProgram.maxUs); }
// After a compare and a buffer write: longer than any compare (at most
// 200 us), shorter than a program with erase.
constexpr DataFlashPoll kCompareOrProgram { 0, 1 };
// Buffer to page program with built-in erase (tEP): typically 14 ms, at most 35 ms.
DataFlashPoll eraseProgramBudget() { return { 0, boundMs(dataFlashChip().pageEraseProgram) }; }
// How long after a buffer write a program it became surely still runs: a
// program with erase keeps the chip busy well over a millisecond (typically
// 14 ms). A ready chip, or a compare started, later than this shows nothing.
constexpr std::chrono::microseconds kStrayVisibleFor(1000);

// The same, over the link in use: the frames between the write and the
// evidence take time of their own, a millisecond or two each on a USB
// adapter whose every frame is a round trip (full-speed USB moves in 1 ms
// frames). Room for four of them: 5 ms on such an adapter, still well
// inside a program with erase.
std::chrono::nanoseconds strayVisibleFor()
{
    const double frameNs = spilink::inUse().cost().frameNs;
    return kStrayVisibleFor + std::chrono::nanoseconds(static_cast<long long>(4 * frameNs));
}


} // namespace

bool isBlank(const std::uint8_t* data, unsigned length)
{
    return std::all_of(data, data + length, [](std::uint8_t b) { return b == 0xFF; });
}

Prover::Prover(bool pageSize256)
    : size256(pageSize256)
    , pageLength(dataFlashPageLength(pageSize256))
{
}

void Prover::write(int buffer, std::uint32_t aim, const std::uint8_t* data, unsigned length, unsigned offset)
{
    // The write before, not yet seen to run nothing, is too old to be
    // checked after this one.
    if (writeUnchecked && !soonAfterWrite())
        ++strays;
    wroteAt = sendBufferWrite(Wire::Block, buffer, aim, size256, data, length, offset);
    writeUnchecked = true;
}

// Taken after what was seen, so that a suspension anywhere counts against it.
bool Prover::soonAfterWrite() const
{
    return WireClock::now() - wroteAt < strayVisibleFor();
}

void Prover::load(int buffer, std::uint32_t page, const std::uint8_t* data)
{
    write(buffer, page, data, pageLength);
}

void Prover::loadFlipped(int buffer, std::uint32_t page, const std::uint8_t* data)
{
    std::uint8_t flipped[kDataFlashMaxPageLength];
    std::memcpy(flipped, data, pageLength);
    flipped[0] = static_cast<std::uint8_t>(~flipped[0]);
    load(buffer, page, flipped);
}

void Prover::patchFirstByte(int buffer, std::uint32_t page, std::uint8_t value)
{
    write(buffer, page, &value, 1);
}

// A compare sent while a program runs is ignored; a proof that checks the
// compare was run (COMP seen to change) thereby shows that the write before
// it did not become a program, provided the compare was sent in time.
void Prover::startCompare(int buffer, std::uint32_t page)
{
    sendPageCommand(Wire::Block, kPageToBufferCompare[buffer], page, size256);
    compareAfterWrite = writeUnchecked;
    compareLate = writeUnchecked && !soonAfterWrite();
    writeUnchecked = false;
}

void Prover::startProgram(int buffer, std::uint32_t page, bool erase)
{
    sendPageCommand(Wire::Block, erase ? kBufferToPageWithErase[buffer] : kBufferToPageNoErase[buffer], page, size256);
    programmedAt = WireClock::now();
}

bool Prover::comparedFor(std::uint32_t page, DataFlashStatus& st)
{
    return waitReported(compareBudget(), Wire::Block,
                        { "Timed out waiting for the chip to compare page %1!",
                          "The chip stopped answering while comparing page %1!" },
                        page, &st);
}

bool Prover::programOver(std::uint32_t page)
{
    if (WireClock::now() - programmedAt >= programMaximum())
        return true;
    return programmedFor(page, false);
}

bool Prover::programmedFor(std::uint32_t page, bool erase)
{
    return waitReported(erase ? eraseProgramBudget() : programBudget(), Wire::Block,
                        { "Timed out waiting for the chip to program page %1!",
                          "The chip stopped answering while programming page %1!" },
                        page);
}

Prover::Stray Prover::checkStray(std::uint32_t page)
{
    DataFlashStatus st;
    Status status;
    int reads = 0;
    late = false;
    do
        status = readConfirmedStatus(Wire::Block, st);
    while (status == Status::Disagreed && ++reads < 8);
    if (status == Status::Confirmed && st.ready && soonAfterWrite()) {
        writeUnchecked = false;
        return Stray::None;
    }
    // Ready, but seen too late to tell: unsure only because of the clock.
    late = status == Status::Confirmed && st.ready;
    return strayProgram(page);
}

// The chip was found running a program that a buffer write became: waited
// for, so that the proof that follows finds the chip ready.
Prover::Stray Prover::strayProgram(std::uint32_t page)
{
    ++strays;
    if (!waitReported(eraseProgramBudget(), Wire::Block,
                      { "Timed out waiting for the chip after page %1's buffer was filled!",
                        "The chip stopped answering after page %1's buffer was filled!" },
                      page))
        return Stray::Failed;
    return Stray::Handled;
}

// Waits for a compare to end. A compare takes at most 200 us from its start;
// one still running after a buffer write plus a millisecond more is not a
// compare but a program (with erase, milliseconds) that noise made of the
// write, and so is a chip first seen ready too late after the write: the
// proof is then unsure.
Proof Prover::compared(std::uint32_t page, bool afterWrite, DataFlashStatus& st)
{
    const Wait wait = waitUntilReady(kCompareOrProgram, Wire::Block, &st);
    if (!afterWrite) {
        // Busy past any compare: a write before it became a program, and
        // the compare was ignored; waited for, COMP tells. So may a chip
        // first seen ready too late after that write.
        if (wait == Wait::TimedOut || (wait == Wait::Ready && compareAfterWrite && !soonAfterWrite()))
            ++strays;
        if (wait == Wait::Ready || (wait == Wait::TimedOut && comparedFor(page, st)))
            return Proof::Proven;
        if (wait == Wait::Silent)
            lastMessage = QStringLiteral("The chip stopped answering while comparing page %1!").arg(page);
        return Proof::Failed;
    }
    switch (wait) {
    case Wait::Ready:
        if (!soonAfterWrite()) {
            late = true;
            break;
        }
        writeUnchecked = false;
        return Proof::Proven;
    case Wait::Silent:
        lastMessage = QStringLiteral("The chip stopped answering while comparing page %1!").arg(page);
        return Proof::Failed;
    case Wait::TimedOut:
        break;
    }
    return strayProgram(page) == Stray::Failed ? Proof::Failed : Proof::Unsure;
}

// A proof unsure only because a check came late (the system suspended the
// tool) shows nothing about the wire, and does not make later pages proven
// twice.
Proof Prover::noted(Proof proof)
{
    if (proof == Proof::Differs || (proof == Proof::Unsure && !late))
        ++caught;
    late = false;
    lastOutcome = proof;
    return proof;
}

Proof Prover::finishProof(int buffer, std::uint32_t page, const std::uint8_t* data, const Overlap* overlap,
                          Evidence evidence, long aim)
{
    Proof proof = finishOnce(buffer, page, data, overlap, evidence, aim < 0 ? page : std::uint32_t(aim));
    // A proof never returns with the chip busy (a compare not waited for, a
    // program that a buffer write became): the next frame, a page read
    // above all, must find it idle.
    if ((proof == Proof::Differs || proof == Proof::Unsure)
        && !waitReported(eraseProgramBudget(), Wire::Block,
                         { "Timed out waiting for the chip after page %1 was compared!",
                           "The chip stopped answering after page %1 was compared!" },
                         page))
        proof = Proof::Failed;
    return noted(proof);
}

Proof Prover::finishOnce(int buffer, std::uint32_t page, const std::uint8_t* data, const Overlap* overlap,
                         Evidence evidence, std::uint32_t aim)
{
    std::uint8_t next[kDataFlashMaxPageLength];
    bool holdFirstByte = false;
    if (overlap) {
        std::memcpy(next, overlap->data, pageLength);
        if (overlap->flipFirst)
            next[0] = static_cast<std::uint8_t>(~next[0]);
        // Should the transfer leave the bytes the page was programmed from
        // as they are, its first byte goes inverted until the proof is over:
        // a compare that noise sends to that buffer must not find the page
        // equal to them.
        holdFirstByte = overlap->replacing && std::memcmp(next, overlap->replacing, pageLength) == 0;
        if (holdFirstByte)
            next[0] = static_cast<std::uint8_t>(~next[0]);
    }
    late = false;
    // The other buffer is filled in one frame: a fill the chip ignored
    // leaves it holding what it held before, whole, which a proof of the
    // next page by the page it held then finds equal (see provePages).
    if (overlap)
        write(overlap->buffer, overlap->aim, next, pageLength);
    DataFlashStatus st;
    if (const Proof waited = compared(page, overlap, st); waited != Proof::Proven)
        return waited;
    // The buffer differs from the page compared in its first byte at least
    // (or from the other page's data): a clear COMP means this
    // compare was not the one the chip ran.
    if (!st.comp)
        return Proof::Unsure;
    // Should noise make the patch a program of the page it is aimed at, the
    // chip is busy for milliseconds and ignores the compare that follows:
    // COMP stays set and the proof fails.
    if (evidence == Evidence::FlippedFirstByte)
        patchFirstByte(buffer, aim, data[0]);
    startCompare(buffer, page);
    if (evidence == Evidence::FlippedFirstByte && compareLate) {
        late = true;
        ++strays;
        return Proof::Unsure;
    }
    if (const Proof waited = compared(page, false, st); waited != Proof::Proven)
        return waited;
    if (st.comp)
        return Proof::Differs;
    if (holdFirstByte) {
        const std::uint8_t first = overlap->flipFirst ? static_cast<std::uint8_t>(~overlap->data[0]) : overlap->data[0];
        write(overlap->buffer, overlap->aim, &first, 1);
    }
    return Proof::Proven;
}

Proof Prover::prove(int buffer, std::uint32_t page, const std::uint8_t* data, long aim)
{
    const std::uint32_t at = aim < 0 ? page : std::uint32_t(aim);
    loadFlipped(buffer, at, data);
    if (const Stray stray = checkStray(at); stray != Stray::None)
        return noted(stray == Stray::Handled ? Proof::Unsure : Proof::Failed);
    startCompare(buffer, page);
    return finishProof(buffer, page, data, nullptr, Evidence::FlippedFirstByte, long(at));
}

bool Prover::provePages(std::uint32_t pages, const PageStream& stream)
{
    if (dataFlashChip().buffers == 1)
        return provePagesInBuffer1(pages, stream);
    std::uint8_t data[2][kDataFlashMaxPageLength];
    int buffer = 0;
    if (pages)
        stream.expected(0, data[0]);
    if (pages > 1)
        stream.expected(1, data[1]);
    bool reload = true; // the page's buffer has to be filled whole
    // What each buffer held when its last proof passed, and of which page
    // (-1: nothing known, as after a resolve, which may use both).
    std::uint8_t held[2][kDataFlashMaxPageLength];
    long heldPage[2] = { -1, -1 };
    // The page's buffer was filled with its data as it is, and the page
    // whose data that buffer held before holds other data: the compare with
    // that page sets COMP only if the fill was taken.
    bool byPrevious = false;
    const auto aimFor = [&stream](std::uint32_t page) { return stream.aim < 0 ? page : std::uint32_t(stream.aim); };
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (stream.stop && stream.stop(page))
            return false;
        const int other = 1 - buffer;
        Stray stray = Stray::None;
        if (reload) {
            loadFlipped(buffer, aimFor(page), data[buffer]);
            stray = checkStray(aimFor(page));
            byPrevious = false;
        }
        if (stray == Stray::Failed)
            return false;
        // After a stray program the page goes to resolve, which proves it
        // from fresh transfers.
        Proof proof;
        if (stray == Stray::None) {
            startCompare(buffer, byPrevious ? std::uint32_t(heldPage[buffer]) : page);
            // The next page's data goes as it is when it differs from what
            // its buffer held, saving the first byte's correction in its
            // proof.
            const bool last = page + 1 == pages;
                    const bool nextByThis = !last && heldPage[other] >= 0
                                    && std::memcmp(data[other], held[other], pageLength) != 0;
            const Overlap next { other, aimFor(page + 1), data[other], !nextByThis, nullptr };
            proof = finishProof(buffer, page, data[buffer], last ? nullptr : &next,
                                byPrevious ? Evidence::OtherPage : Evidence::FlippedFirstByte, stream.aim);
            byPrevious = nextByThis;
        } else {
            proof = noted(Proof::Unsure);
        }
        // The second proof leaves the other buffer, with the next page's
        // transfer, as it is.
        if (proof == Proof::Proven
            && ((stream.confirmOnceNoisy && noiseSeen())
                || (stream.likeANeighbour && stream.likeANeighbour(page, data[buffer]))))
            proof = prove(buffer, page, data[buffer], stream.aim);
        if (proof == Proof::Failed)
            return false;
        if (proof == Proof::Proven) {
            std::memcpy(held[buffer], data[buffer], pageLength);
            heldPage[buffer] = page;
        } else {
            heldPage[0] = heldPage[1] = -1;
        }
        if (proof != Proof::Proven && !stream.resolve(page, buffer, data[buffer]))
            return false;
        stream.passed(page, data[buffer]);
        reload = proof != Proof::Proven;
        if (page + 2 < pages)
            stream.expected(page + 2, data[buffer]);
        buffer = other;
    }
    return true;
}

QString unreliableWireText(std::uint32_t page, const char* doing, WireDirection direction)
{
    const QString text = direction == WireDirection::ToChip
                             ? QStringLiteral("Page %1 could not be %2: the data sent to the chip keeps arriving "
                                              "different, so the wire to the chip is unreliable (check the cable, its "
                                              "length and the chip's supply)!")
                             : QStringLiteral("Page %1 could not be %2: what the chip sends back keeps changing on "
                                              "the way (its status and page reads disagree), so the wire from the chip "
                                              "is unreliable (check the cable, its length and the chip's supply)!");
    return text.arg(page).arg(QLatin1String(doing));
}


// A test of the wire from the chip alone: an idle chip repeats the same
// status byte for as long as it is clocked, whatever arrives on SI after
// the opcode, so bytes of one read that differ were flipped on the way back.
// A read whose opcode itself was changed on the way answers with something
// other than a status byte, and is not counted.
bool Prover::wireFromChipFlips()
{
    constexpr int kReads = 8;
    constexpr int kBytesPerRead = 8;
    // The E series repeats a pair: each byte is judged among those in its place.
    const int pair = dataFlashChip().series == DataFlashSeries::E ? 2 : 1;
    int flipped = 0;
    for (int read = 0; read < kReads; ++read) {
        std::uint8_t bytes[kBytesPerRead];
        frame(Wire::Block, &kStatusRegisterRead, 1, bytes, sizeof bytes);
        std::uint8_t firsts[kBytesPerRead];
        const int count = kBytesPerRead / pair;
        for (int i = 0; i < count; ++i)
            firsts[i] = bytes[i * pair];
        const std::uint8_t* majority = std::max_element(firsts, firsts + count, [&](std::uint8_t a, std::uint8_t b) {
            return std::count(firsts, firsts + count, a) < std::count(firsts, firsts + count, b);
        });
        bool steady = std::count(firsts, firsts + count, *majority) == count;
        for (int i = pair; i < kBytesPerRead && steady; ++i)
            steady = i % pair == 0 || bytes[i] == bytes[i - pair];
        DataFlashStatus st;
        if (decodeStatus(*majority, st) && !steady)
            ++flipped;
    }
    return flipped >= 2;
}

// The chips with buffer 1 only: each page proven whole in it, one after the
// other, with nothing sent while the chip compares.
bool Prover::provePagesInBuffer1(std::uint32_t pages, const PageStream& stream)
{
    std::uint8_t data[kDataFlashMaxPageLength];
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (stream.stop && stream.stop(page))
            return false;
        stream.expected(page, data);
        Proof proof = prove(0, page, data);
        if (proof == Proof::Proven
            && ((stream.confirmOnceNoisy && noiseSeen()) || (stream.likeANeighbour && stream.likeANeighbour(page, data))))
            proof = prove(0, page, data);
        if (proof == Proof::Failed)
            return false;
        if (proof != Proof::Proven && !stream.resolve(page, 0, data))
            return false;
        stream.passed(page, data);
    }
    return true;
}

void Prover::explainUnproven(std::uint32_t page, const std::uint8_t* data)
{
    if (wireFromChipFlips()) {
        lastMessage = unreliableWireText(page, "proven", WireDirection::FromChip);
        return;
    }
    // The wire from the chip is sound, so reads of the page can be trusted
    // unless their commands arrive changed.
    std::uint8_t held[kDataFlashMaxPageLength];
    std::uint8_t heldAgain[kDataFlashMaxPageLength];
    bool flash = false;
    if (readPageAgreed(page, size256, held) == PageRead::Agreed && std::memcmp(held, data, pageLength) != 0) {
        // One more program: a flash that does not take the data gives the
        // same wrong bytes again, a wire that flips bits other ones.
        load(0, page, data);
        startProgram(0, page, true);
        if (!programmedFor(page, true))
            return;
        flash = readPageAgreed(page, size256, heldAgain) == PageRead::Agreed && std::memcmp(held, heldAgain, pageLength) == 0;
    }
    if (flash)
        lastMessage = QStringLiteral("Page %1 does not match the file after programming: the flash did not take it "
                                     "(a worn or damaged chip)!")
                          .arg(page);
    else
        lastMessage = unreliableWireText(page, "proven", WireDirection::ToChip);
}

WireDirection Prover::blamedWire()
{
    return wireFromChipFlips() ? WireDirection::FromChip : WireDirection::ToChip;
}

} // namespace dataflash
