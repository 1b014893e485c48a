// The fast programming path: an image into an erased chip through both SRAM
// buffers, without a program's built-in erase, each page proven on the chip
// before the next is counted.
#include "at45db041d.h"

#include "inputfile.h"
#include "prover.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

using namespace dataflash;

namespace {

// Every page goes into buffer 1 to be programmed; buffer 2 takes the
// second, independent transfer that proves it.
constexpr int kProgramBuffer = 0;
constexpr int kProofBuffer = 1;

// A page that resists proof is proven again and programmed again (with
// erase), within these budgets. At one flipped bit in 10000 on the wire to
// the chip a transfer arrives intact four times in five, so a page needs two
// or three tries; a chip that does not take a page runs out of them.
constexpr int kProofsPerPage = 24;
constexpr int kProgramsPerPage = 6;

// Repairs of neighbours nested in repairs of neighbours, before the job gives
// up. On a noisy wire one level in two or three brings another program (two
// noisy proofs in a row of a sound page are enough), so chains are short;
// the bound keeps a wire bad enough to keep them growing from recursing
// without end.
constexpr int kNeighbourDepth = 16;

// Reads of a page after the image, each confirmed by the chip's compare,
// before update gives up keeping it: a read and its compare both come
// through intact about two times in three at one flipped bit in 10000.
constexpr int kCopiesPerPage = 8;

class Writer {
public:
    explicit Writer(const DataFlashImage& image)
        : image(image)
        , prover(image.pageSize256)
        , length(prover.length())
        , proven(dataFlashPages(), false)
        , programmed(image.pages(), false)
    {
    }

    // Pages after the image in sectors locked down for good, which keep what
    // they hold: not proven blank.
    std::vector<bool> lockedKept;

    bool writeProven(const DataFlashRun& run);
    // After the image was written and verified another way: the pages after
    // it proven blank, the image's pages known to hold it.
    bool proveErasedAfterVerified(const DataFlashRun& run)
    {
        std::fill(proven.begin(), proven.begin() + image.pages(), true);
        return proveBlankAfterImage(run);
    }
    bool writeUnchecked(const DataFlashRun& run);
    bool writeChanged(const DataFlashRun& run);
    unsigned noiseCaught() const { return prover.noiseCaught(); }
    // Pages of the image programmed at least once.
    unsigned changed() const { return unsigned(std::count(programmed.begin(), programmed.end(), true)); }

private:
    // What a page should hold: the image's page; after the image, what it
    // held before the first program (update, see keepNeighboursAfterImage),
    // else erased.
    void dataOf(std::uint32_t page, std::uint8_t* out) const
    {
        if (page < image.pages())
            image.copyPage(page, out);
        else if (const auto copy = kept.find(page); copy != kept.end())
            std::memcpy(out, copy->second.data(), length);
        else
            std::memset(out, 0xFF, length);
    }
    // Whether the job knows what the page holds: proven (the image's page,
    // or blank), or copied before a program near it.
    bool known(std::uint32_t page) const
    {
        return page < dataFlashPages() && (proven[page] || kept.count(page) != 0);
    }
    bool proveBlankAfterImage(const DataFlashRun& run);
    // Whether a known page one address bit away holds data (see
    // Prover::PageStream::likeANeighbour).
    bool likeANeighbour(std::uint32_t page, const std::uint8_t* data) const
    {
        std::uint8_t other[kDataFlashMaxPageLength];
        for (unsigned bit = 0; bit < pageAddressBits(); ++bit) {
            const std::uint32_t near = page ^ (1u << bit);
            if (!known(near))
                continue;
            dataOf(near, other);
            if (std::memcmp(other, data, length) == 0)
                return true;
        }
        return false;
    }
    // Where buffer writes are aimed (see Prover::checkStray): update aims
    // every one at page 0, so that one noise made a program can reach only
    // page 0 and the pages one address bit away from it, whose copies after
    // the image are kept before anything else (see settleStrays); a write,
    // at the page it is for.
    std::uint32_t aimFor(std::uint32_t page) const { return keepAfterImage ? 0 : page; }
    bool keepNeighboursAfterImage(std::uint32_t page);
    bool settleStrays();
    bool settleStraysNear(std::uint32_t page);
    bool proveKnown(const std::vector<std::uint32_t>& pages);
    void restoreKept();
    bool programAndProve(std::uint32_t page, const std::uint8_t* data, bool nextIsData);
    bool proveBlank(std::uint32_t page);
    bool repair(std::uint32_t page, int depth = 0);
    bool reproveNeighbours(std::uint32_t page, int depth);
    bool stopped(const DataFlashRun& run, std::uint32_t page, const char* what);

    const DataFlashImage& image;
    Prover prover;
    const unsigned length;
    std::vector<bool> proven; // every page of the chip
    std::vector<bool> programmed;
    // Whether pages after the image must keep what they hold (update), and
    // what those a program could reach held before it.
    bool keepAfterImage = false;
    std::map<std::uint32_t, std::vector<std::uint8_t>> kept;
    // The possible stray programs (and, in a write, the noise caught) that
    // settleStrays or settleStraysNear has answered.
    unsigned settled = 0;
    // The page whose data the program buffer holds from its first transfer;
    // -1 when it holds nothing of use.
    long loaded = -1;
    // The page whose data the proof buffer holds from the proof that passed
    // last; -1 when it holds nothing known.
    long proofHolds = -1;
    // Both buffers hold a blank page (the proof buffer with its first byte
    // inverted), ready for a run of blank pages.
    bool blankLoaded = false;
};

bool Writer::stopped(const DataFlashRun& run, std::uint32_t page, const char* what)
{
    if (!run.stopRequested || !run.stopRequested())
        return false;
    lastMessage = page ? QStringLiteral("Stopped on request after page %1 was %2.").arg(page - 1).arg(QLatin1String(what))
                       : QStringLiteral("Stopped on request before the first page.");
    return true;
}

// Programs page (its data already in the program buffer) while the proof
// buffer takes the second transfer; while the chip compares, the next
// page's first transfer replaces this page's in the program buffer, in one
// frame during the proof's first compare, so that the decisive compare,
// sent to the wrong buffer, can never find this page equal to the bytes it
// was programmed from.
//
// The first compare, the one that must find a difference, is of the page
// last proven with the proof buffer, against this page's data: the buffer
// then holds the data as it is and needs no correcting. Should the chip not
// have taken the buffer's fill (noise made it another command, or a stray
// program kept the chip busy), the buffer still holds that page's data, the
// compare finds it equal, and the proof is unsure; so a fill lost to a
// program of the old buffer onto this page cannot pass for this page's data.
// Without such a page (the first page, after a repair), the proof buffer
// takes the data with its first byte inverted, corrected before the second
// compare. So it does when no next page's transfer follows: the program
// buffer's first byte is then rewritten, aimed at this page, and should noise
// make that write a program through the proof buffer (0x84 -> 0x85 or 0x86),
// the page takes the proof buffer's bytes; only a correction still to come
// makes the decisive compare find them different.
bool Writer::programAndProve(std::uint32_t page, const std::uint8_t* data, bool nextIsData)
{
    const long previous = proofHolds;
    bool byPrevious = previous >= 0 && nextIsData;
    if (byPrevious) {
        std::uint8_t held[kDataFlashMaxPageLength];
        dataOf(std::uint32_t(previous), held);
        byPrevious = std::memcmp(held, data, length) != 0;
    }
    proofHolds = -1;
    prover.startProgram(kProgramBuffer, page, false);
    if (byPrevious)
        prover.load(kProofBuffer, page, data);
    else
        prover.loadFlipped(kProofBuffer, page, data);
    if (!prover.programOver(page))
        return false;
    const Prover::Evidence evidence = byPrevious ? Prover::Evidence::OtherPage : Prover::Evidence::FlippedFirstByte;
    prover.startCompare(kProofBuffer, byPrevious ? std::uint32_t(previous) : page);
    Proof proof;
    if (nextIsData) {
        std::uint8_t next[kDataFlashMaxPageLength];
        dataOf(page + 1, next);
        const Prover::Overlap overlap { kProgramBuffer, page + 1, next, false, data };
        proof = prover.finishProof(kProofBuffer, page, data, &overlap, evidence);
        loaded = proof == Proof::Proven ? long(page + 1) : -1;
    } else {
        prover.patchFirstByte(kProgramBuffer, page, static_cast<std::uint8_t>(~data[0]));
        loaded = -1;
        proof = prover.finishProof(kProofBuffer, page, data, nullptr, evidence);
    }
    // Once the wire has shown noise, a pass is checked by a second proof
    // from a fresh transfer: the first could pass because its transfer
    // flipped the very bit that the programming transfer flipped. The
    // second leaves the program buffer, with the next page's data, as it is.
    if (proof == Proof::Proven && (prover.noiseSeen() || likeANeighbour(page, data)))
        proof = prover.prove(kProofBuffer, page, data);
    switch (proof) {
    case Proof::Proven:
        proofHolds = page;
        return true;
    case Proof::Failed:
        return false;
    case Proof::Differs:
    case Proof::Unsure:
        break;
    }
    return repair(page);
}

// A page of 0xFF is left as the erase left it and compared with buffers of
// 0xFF, filled once for a whole run of blank pages.
bool Writer::proveBlank(std::uint32_t page)
{
    std::uint8_t blank[kDataFlashMaxPageLength];
    std::memset(blank, 0xFF, sizeof blank);
    proofHolds = -1;
    if (!blankLoaded) {
        prover.loadFlipped(kProofBuffer, page, blank);
        prover.load(kProgramBuffer, page, blank);
        blankLoaded = true;
        loaded = -1;
    }
    prover.startCompare(kProofBuffer, page);
    DataFlashStatus st;
    if (!prover.comparedFor(page, st))
        return false;
    if (st.comp) {
        prover.startCompare(kProgramBuffer, page);
        if (!prover.comparedFor(page, st))
            return false;
        if (!st.comp)
            return true;
    }
    blankLoaded = false;
    return repair(page);
}

// A page that failed its proof: proven again from fresh transfers before
// anything is blamed; when it really differs (a flipped bit in the transfer
// it was programmed from, a page the erase left incomplete, a program that
// landed elsewhere), erased and programmed again and proven once more.
bool Writer::repair(std::uint32_t page, int depth)
{
    std::uint8_t data[kDataFlashMaxPageLength];
    dataOf(page, data);
    loaded = -1;
    proofHolds = -1;
    blankLoaded = false;
    int programs = 0;
    int failedInARow = 1; // the proof that sent the page here
    // Of those, the ones that found the page different: before update's
    // first program of an image's page, the page's old data, not noise.
    unsigned differedInARow = prover.lastProof() == Proof::Differs ? 1 : 0;
    int passedInARow = 0;
    for (int proofs = 0; proofs < kProofsPerPage; ++proofs) {
        const Proof proof = prover.prove(kProofBuffer, page, data, long(aimFor(page)));
        if (proof == Proof::Failed)
            return false;
        // A page that failed a proof is taken as proven only by two proofs in
        // a row: one could pass because its own transfer flipped the very bit
        // that the page's programming transfer flipped. After any program made
        // here, update's first included, the pages one address bit away are
        // proven again: a page that held its data and failed its proofs only
        // to noise ends right whether or not its program landed elsewhere.
        // (A page the fast path programmed on an erased chip and that ends
        // right took that program.)
        if (proof == Proof::Proven && ++passedInARow == 2)
            return programs == 0 || reproveNeighbours(page, depth);
        if (proof == Proof::Proven) {
            failedInARow = 0;
            differedInARow = 0;
            continue;
        }
        passedInARow = 0;
        if (proof == Proof::Differs)
            ++differedInARow;
        // Two proofs in a row that did not pass (a difference, or unsure: a
        // page that holds its data with the first byte inverted, as a buffer
        // write that noise made a program leaves it, looks unsure for ever)
        // mean the page itself is wrong; one alone may be the proof's own
        // transfer. Before update's first program of a page, three: most of
        // its pages already hold their data, and on a noisy wire two failed
        // proofs of a sound page are common enough (one in 25 at one flipped
        // bit in 10000) to cost many needless erases.
        const int failuresToProgram = keepAfterImage && programs == 0 ? 3 : 2;
        if (++failedInARow < failuresToProgram || programs == kProgramsPerPage)
            continue;
        if (programs == 0 && !keepNeighboursAfterImage(page))
            return false;
        if (programs == 0 && keepAfterImage && page < image.pages())
            prover.forgive(differedInARow);
        if (page < programmed.size())
            programmed[page] = true;
        // A fill that noise made a program keeps the chip busy: the program
        // sent meanwhile would be ignored.
        Prover::Stray stray = Prover::Stray::Handled;
        for (int fills = 0; stray == Prover::Stray::Handled && fills < kProofsPerPage; ++fills) {
            prover.load(kProgramBuffer, aimFor(page), data);
            stray = prover.checkStray(aimFor(page));
        }
        if (stray != Prover::Stray::None) {
            if (stray == Prover::Stray::Handled)
                lastMessage = unreliableWireText(page, "programmed", prover.blamedWire());
            return false;
        }
        prover.startProgram(kProgramBuffer, page, true);
        if (!prover.programmedFor(page, true))
            return false;
        // The program buffer must not hold what the page was programmed
        // from while the proof compares (see programAndProve).
        prover.patchFirstByte(kProgramBuffer, aimFor(page), static_cast<std::uint8_t>(~data[0]));
        ++programs;
        failedInARow = 0;
    }
    prover.explainUnproven(page, data);
    return false;
}

// This page was programmed again: that program may have landed on a page
// whose address differs in one bit, so every such page already proven is
// proven again, and repaired when it changed. A repair there that programs
// checks its own neighbours in turn, however deep the chain: its program can
// stray as well, and a page it hit is not looked at again otherwise.
bool Writer::reproveNeighbours(std::uint32_t page, int depth)
{
    if (depth >= kNeighbourDepth) {
        lastMessage = unreliableWireText(page, "proven", prover.blamedWire());
        return false;
    }
    for (unsigned bit = 0; bit < pageAddressBits(); ++bit) {
        const std::uint32_t other = page ^ (1u << bit);
        if (!known(other))
            continue;
        std::uint8_t data[kDataFlashMaxPageLength];
        dataOf(other, data);
        const Proof proof = prover.prove(kProofBuffer, other, data, long(aimFor(other)));
        if (proof == Proof::Failed || (proof != Proof::Proven && !repair(other, depth + 1)))
            return false;
    }
    return true;
}

// Before a page is programmed for the first time in a job that must leave
// the pages after the image as they are: a program whose address noise
// changed lands on a page whose address differs in one bit, and one after
// the image holds something only the chip knows. Each such page is read
// twice alike and kept, so that reproveNeighbours can prove it against that
// copy and restore it when it changed. Pages of the image need no copy: the
// ones already tested are proven again against the image, the others are
// tested when their turn comes.
//
// Two reads can agree on a bit that noise flipped in both (among the many
// reads of a job, it happens), and a restore from such a copy would program
// the flipped bit and then prove it against the same copy. So a copy is
// kept only once the chip's compare has found the page equal to it, from a
// transfer of its own; one the compare does not confirm is read again. The
// compare's buffer writes are aimed at page 0, as all of update's are, not
// at the page being copied: a write that noise made a program must not
// change what is read again.
bool Writer::keepNeighboursAfterImage(std::uint32_t page)
{
    if (!keepAfterImage)
        return true;
    for (unsigned bit = 0; bit < pageAddressBits(); ++bit) {
        const std::uint32_t other = page ^ (1u << bit);
        if (other < image.pages() || other >= dataFlashPages() || kept.count(other))
            continue;
        std::vector<std::uint8_t> held(length);
        Proof proof = Proof::Differs;
        for (int copies = 0; proof != Proof::Proven && copies < kCopiesPerPage; ++copies) {
            const PageRead read = readPageAgreed(other, image.pageSize256, held.data());
            if (read == PageRead::Disagreed)
                lastMessage = unreliableWireText(other, "read before page programs near it", WireDirection::FromChip);
            if (read != PageRead::Agreed)
                return false;
            proof = prover.prove(kProofBuffer, other, held.data(), long(aimFor(page)));
            if (proof == Proof::Failed)
                return false;
        }
        if (proof != Proof::Proven) {
            lastMessage = unreliableWireText(other, "read before page programs near it", prover.blamedWire());
            return false;
        }
        kept.emplace(other, std::move(held));
    }
    return true;
}

// Each page of the image is tested with one transfer and the chip's compare
// (a proof), the next page's transfer going while the chip compares; a page
// that fails it is repaired, which proves it once more from fresh transfers
// and, when it really differs, programs it with erase and proves it. Buffer
// writes are aimed at the page they are for: a write that noise turns into
// a program can only reach that page, which is tested after it.
bool Writer::writeChanged(const DataFlashRun& run)
{
    keepAfterImage = true;
    if (!keepNeighboursAfterImage(0) || !settleStrays()) {
        restoreKept();
        return false;
    }
    const std::uint32_t pages = image.pages();
    Prover::PageStream stream;
    stream.aim = 0;
    stream.expected = [this](std::uint32_t page, std::uint8_t* out) { dataOf(page, out); };
    stream.resolve = [this](std::uint32_t page, int, std::uint8_t*) { return repair(page) && settleStrays(); };
    stream.passed = [this, &run, pages](std::uint32_t page, const std::uint8_t*) {
        proven[page] = true;
        if (run.progress)
            run.progress(page + 1, pages);
    };
    stream.stop = [this, &run](std::uint32_t page) { return stopped(run, page, "tested"); };
    stream.likeANeighbour = [this](std::uint32_t page, const std::uint8_t* data) { return likeANeighbour(page, data); };
    if (prover.provePages(pages, stream))
        return true;
    restoreKept();
    return false;
}

// write: after any sign of noise (a proof that failed, the chip seen busy
// or first seen ready too late after a buffer write), a buffer write may
// have become a program, its address changed on the wire, and the chip
// need not have been seen busy. The writes made while this page was written
// and proven are aimed at it and at the pages on either side: those and the
// known pages one address bit away from them are proven again, and repaired
// when they changed (a repair that programs proves its own neighbours). The
// noise these proofs meet is theirs, not a sign of another stray.
bool Writer::settleStraysNear(std::uint32_t page)
{
    const auto signs = [this] { return prover.possibleStrays() + prover.noiseCaught(); };
    if (settled == signs())
        return true;
    std::vector<std::uint32_t> reachable;
    for (const std::uint32_t aim : { page - 1, page, page + 1 }) {
        if (aim >= dataFlashPages())
            continue;
        reachable.push_back(aim);
        for (unsigned bit = 0; bit < pageAddressBits(); ++bit)
            reachable.push_back(aim ^ (1u << bit));
    }
    const bool ok = proveKnown(reachable);
    settled = signs();
    return ok;
}

// The known pages among these proven again, each repaired when it changed.
bool Writer::proveKnown(const std::vector<std::uint32_t>& pages)
{
    std::uint8_t data[kDataFlashMaxPageLength];
    for (const std::uint32_t page : pages) {
        if (!known(page))
            continue;
        dataOf(page, data);
        const Proof proof = prover.prove(kProofBuffer, page, data, long(aimFor(page)));
        if (proof == Proof::Failed || (proof != Proof::Proven && !repair(page)))
            return false;
    }
    return true;
}

// After the chip was seen busy, or first seen ready, too late after one of
// update's buffer writes (Prover::possibleStrays), that write may have
// become a program of page 0 or of a page one address bit away from it
// (where they are all aimed): those the job knows are proven again, and
// restored when they changed, until no proof shows another possible stray.
bool Writer::settleStrays()
{
    std::vector<std::uint32_t> reachable { 0 };
    for (unsigned bit = 0; bit < pageAddressBits(); ++bit)
        reachable.push_back(1u << bit);
    for (int rounds = 0; settled != prover.possibleStrays(); ++rounds) {
        if (rounds == kNeighbourDepth) {
            lastMessage = unreliableWireText(0, "proven", prover.blamedWire());
            return false;
        }
        settled = prover.possibleStrays();
        if (!proveKnown(reachable))
            return false;
    }
    return true;
}

// A failed update: the pages after the image that were copied because a
// program could reach them are proven against their copies and restored
// where they changed, before the failure is told.
void Writer::restoreKept()
{
    const QString failure = lastMessage;
    std::vector<std::uint32_t> pages;
    for (const auto& copy : kept)
        pages.push_back(copy.first);
    if (proveKnown(pages) && settleStrays()) {
        lastMessage = failure;
        return;
    }
    lastMessage = QStringLiteral("%1 Pages after the file may have changed and could not be restored: %2")
                      .arg(failure, lastMessage);
}

bool Writer::writeProven(const DataFlashRun& run)
{
    const std::uint32_t pages = image.pages();
    std::uint8_t data[kDataFlashMaxPageLength];
    std::uint8_t next[kDataFlashMaxPageLength];
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (stopped(run, page, "proven"))
            return false;
        dataOf(page, data);
        bool nextIsData = false;
        if (page + 1 < pages) {
            dataOf(page + 1, next);
            nextIsData = !isBlank(next, length);
        }
        bool ok;
        if (isBlank(data, length)) {
            ok = proveBlank(page);
        } else {
            blankLoaded = false;
            if (loaded != long(page))
                prover.load(kProgramBuffer, page, data);
            ok = programAndProve(page, data, nextIsData);
        }
        if (!ok)
            return false;
        proven[page] = true;
        if (!settleStraysNear(page))
            return false;
        if (run.progress)
            run.progress(page + 1, pages);
    }
    return proveBlankAfterImage(run);
}

// A program that noise sent astray may have landed after the image, and the
// erase may have left a page there unerased: every page after the image is
// proven blank (a page that is not is erased and proven again), but for
// those in sectors locked down for good, which the job accepted as they
// are.
bool Writer::proveBlankAfterImage(const DataFlashRun& run)
{
    for (std::uint32_t page = image.pages(); page < dataFlashPages(); ++page) {
        if (page < lockedKept.size() && lockedKept[page])
            continue;
        if (stopped(run, page, "proven"))
            return false;
        if (!proveBlank(page)) {
            lastMessage += QStringLiteral(" The chip holds the file, proven, in pages 0 to %1; page %2 after it is "
                                          "not erased; run write again.")
                               .arg(image.pages() - 1)
                               .arg(page);
            return false;
        }
        proven[page] = true;
        if (!settleStraysNear(page))
            return false;
    }
    return true;
}

// Unchecked: the two buffers take turns, one filling while the chip
// programs from the other; blank pages are left as the erase left them.
// Progress counts the pages whose program has finished.
bool Writer::writeUnchecked(const DataFlashRun& run)
{
    const std::uint32_t pages = image.pages();
    std::uint8_t data[kDataFlashMaxPageLength];
    int buffer = 0;
    bool pending = false; // the chip is programming the page before this one
    for (std::uint32_t page = 0; page < pages; ++page) {
        dataOf(page, data);
        const bool blank = isBlank(data, length);
        if (!blank)
            prover.load(buffer, page, data);
        // The stop is asked only once the program before has ended: a
        // failure of that program is told, not taken for the stop.
        if (pending && !prover.programmedFor(page - 1, false))
            return false;
        pending = false;
        if (page && run.progress)
            run.progress(page, pages);
        if (stopped(run, page, "programmed"))
            return false;
        if (!blank) {
            prover.startProgram(buffer, page, false);
            pending = true;
            buffer = 1 - buffer;
        }
    }
    if (pending && !prover.programmedFor(pages - 1, false))
        return false;
    if (pages && run.progress)
        run.progress(pages, pages);
    return true;
}

} // namespace

namespace {

// The sectors locked down for good, read twice: a refusal must not rest on
// reads that noise spoilt alike.
bool readLockdown(std::uint8_t (&lockdown)[kDataFlashMaxSectors])
{
    std::uint8_t again[kDataFlashMaxSectors];
    if (!readLockdownRegister(lockdown) || !readLockdownRegister(again))
        return false;
    for (unsigned sector = 0; sector < kDataFlashMaxSectors; ++sector)
        lockdown[sector] &= again[sector];
    // A chip that has gone reads as all 0xFF, as a register marking every
    // sector: it must still answer.
    DataFlashStatus st;
    if (!readStatusAgreed(Wire::Block, st)) {
        lastMessage = QStringLiteral("The chip stopped answering while its lockdown register was read!");
        return false;
    }
    return true;
}

// update changes only the image's pages that differ: those in sectors
// locked down for good are read first, and one that differs ends the job
// before anything is changed. Sectors after the image do not matter.
bool lockedPagesMatch(const DataFlashImage& image)
{
    std::uint8_t lockdown[kDataFlashMaxSectors];
    if (!readLockdown(lockdown))
        return false;
    const unsigned length = image.pageLength();
    std::uint8_t differ[kDataFlashMaxSectors] = {};
    bool anyDiffer = false;
    for (std::uint32_t page = 0; page < image.pages(); ++page) {
        if (!pageInMarkedSector(lockdown, page))
            continue;
        std::uint8_t wanted[kDataFlashMaxPageLength];
        std::uint8_t held[kDataFlashMaxPageLength];
        image.copyPage(page, wanted);
        const PageRead read = readPageAgreed(page, image.pageSize256, held);
        if (read == PageRead::Disagreed)
            lastMessage = unreliableWireText(page, "read", WireDirection::FromChip);
        if (read != PageRead::Agreed)
            return false;
        if (std::memcmp(wanted, held, length) != 0) {
            markSectorOf(differ, page);
            anyDiffer = true;
        }
    }
    if (anyDiffer) {
        lastMessage = QStringLiteral("Sectors %1 are locked down for good, and the file differs from what they hold: "
                                     "the chip can never be programmed or erased there (nothing can undo a lockdown); "
                                     "nothing on the chip was changed; use another chip!")
                          .arg(dataFlashSectorNames(differ));
        return false;
    }
    return true;
}

} // namespace

bool AT45DB041D_CheckLockdown(const DataFlashImage& image, DataFlashLocked locked, std::vector<bool>* keptPages)
{
    lastMessage.clear();
    if (keptPages)
        keptPages->assign(dataFlashPages(), false);
    std::uint8_t lockdown[kDataFlashMaxSectors];
    if (!readLockdown(lockdown))
        return false;
    // The locked sectors, split by whether the image needs pages in them.
    std::uint8_t under[kDataFlashMaxSectors] = {};
    std::uint8_t after[kDataFlashMaxSectors] = {};
    bool anyUnder = false;
    bool anyAfter = false;
    for (std::uint32_t page = 0; page < dataFlashPages(); ++page) {
        if (!pageInMarkedSector(lockdown, page))
            continue;
        const bool needed = page < image.pages();
        markSectorOf(needed ? under : after, page);
        (needed ? anyUnder : anyAfter) = true;
        if (!needed && keptPages)
            (*keptPages)[page] = true;
    }
    if (anyUnder) {
        lastMessage = QStringLiteral("Sectors %1 are locked down for good, and the job must change pages in them: the "
                                     "chip can never be programmed or erased there (nothing can undo a lockdown); nothing on the "
                                     "chip was changed; use another chip!")
                          .arg(dataFlashSectorNames(under));
        return false;
    }
    if (anyAfter && locked == DataFlashLocked::Refuse) {
        lastMessage = QStringLiteral("Sectors %1 after the file are locked down for good: the erase cannot clear "
                                     "them, so they would keep the old data they hold; nothing on the chip was "
                                     "changed. Accept them as they are (pagekiln-cli write --keep-locked), or use "
                                     "another chip!")
                          .arg(dataFlashSectorNames(after));
        return false;
    }
    return true;
}

unsigned lastNoiseCaught = 0;

bool AT45DB041D_ProgramImage(const DataFlashImage& image, DataFlashCheck check, const DataFlashRun& run,
                             DataFlashLocked locked)
{
    lastNoiseCaught = 0;
    return withImage(image, [&](const DataFlashImage& loaded) {
        Writer writer(loaded);
        if (check == DataFlashCheck::Proven && !AT45DB041D_CheckLockdown(loaded, locked, &writer.lockedKept))
            return false;
        // The chip may still be finishing the erase the caller waited for.
        if (!waitReported({ 0, 1000 }, Wire::Block,
                          { "Timed out waiting for the chip before page %1 was programmed!",
                            "The chip stopped answering before page %1 was programmed!" }))
            return false;
        const bool done = check == DataFlashCheck::Proven ? writer.writeProven(run) : writer.writeUnchecked(run);
        lastNoiseCaught = writer.noiseCaught();
        return done;
    });
}

bool AT45DB041D_ProgramFile(const char* path, DataFlashCheck check, const DataFlashRun& run)
{
    DataFlashImage image;
    return AT45DB041D_LoadFile(path, image) && AT45DB041D_ProgramImage(image, check, run);
}

bool AT45DB041D_ProveErasedAfter(const DataFlashImage& image, DataFlashLocked locked, const DataFlashRun& run)
{
    return withImage(image, [&](const DataFlashImage& loaded) {
        Writer writer(loaded);
        return AT45DB041D_CheckLockdown(loaded, locked, &writer.lockedKept) && writer.proveErasedAfterVerified(run);
    });
}

bool AT45DB041D_UpdateImage(const DataFlashImage& image, const DataFlashRun& run, unsigned* changed)
{
    if (changed)
        *changed = 0;
    lastNoiseCaught = 0;
    return withImage(image, [&](const DataFlashImage& loaded) {
        Writer writer(loaded);
        if (!waitReported({ 0, 1000 }, Wire::Block,
                          { "Timed out waiting for the chip before page %1 was tested!",
                            "The chip stopped answering before page %1 was tested!" }))
            return false;
        if (!lockedPagesMatch(loaded))
            return false;
        const bool done = writer.writeChanged(run);
        lastNoiseCaught = writer.noiseCaught();
        if (changed)
            *changed = writer.changed();
        return done;
    });
}

bool AT45DB041D_EraseAndProve(const DataFlashRun& run)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    // A blank image of the whole chip: every page is proven blank against
    // the buffers of 0xFF, filled once, and erased again when it is not.
    DataFlashImage blank;
    blank.pageSize256 = pageSize256;
    blank.bytes.assign(std::size_t(dataFlashPages()) * blank.pageLength(), 0xFF);
    if (!AT45DB041D_CheckLockdown(blank, DataFlashLocked::Refuse) || !AT45DB041D_ChipErase(run))
        return false;
    return AT45DB041D_ProgramImage(blank, DataFlashCheck::Proven, run);
}
