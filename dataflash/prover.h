// Proof on the chip: a page is proven when the chip's own compare finds it
// equal to a buffer that was filled by a transfer of its own, independent of
// the one that programmed it. Nothing but status bytes comes back over the
// wire from the chip, and every status byte a decision rests on is
// confirmed. Not for front ends.
#pragma once

#include "wire.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace dataflash {

bool isBlank(const std::uint8_t* data, unsigned length);

// What one proof found.
enum class Proof {
    Proven,  // the chip compared the page equal to the data, after a compare it was seen to execute
    Differs, // the compare found a difference (the page, or the transfer for the proof)
    Unsure,  // the compare could not be seen to execute, or a buffer write may have become a program
    Failed,  // the chip did not become ready: lastMessage says why
};

// Which wire the evidence blames when a page cannot be proven.
enum class WireDirection { ToChip, FromChip };

// "Page N could not be DOING: ..." naming the wire and what to check.
QString unreliableWireText(std::uint32_t page, const char* doing, WireDirection direction);

// The chip's two SRAM buffers and the steps of a proof, on block transfers.
class Prover {
public:
    explicit Prover(bool pageSize256);

    // Noise can turn a buffer write into a page program through a buffer
    // (0x84 -> 0x85 or 0x86, 0x87 -> 0x86, 0x85 or 0x83), which erases and
    // programs the page its don't-care address bits name: writes are aimed
    // at the page they are for. After a buffer write for page: Handled when
    // the chip was not found ready in time, so that the write may have
    // become a program (waited for; the proof is then unsure). Failed, with
    // lastMessage set, when the chip did not become ready. That a chip is
    // ready, or ran a compare, shows no program only when seen within
    // kStrayVisibleFor of the write. A job that must change nothing keeps
    // the chip's sector protection on (see ChipProtectedForReading), so
    // that such a program is refused.
    enum class Stray { None, Handled, Failed };
    Stray checkStray(std::uint32_t page);

    unsigned length() const { return pageLength; }
    bool pageSize256() const { return size256; }

    // Fills a buffer with one page of data from address 0, aimed at page.
    void load(int buffer, std::uint32_t page, const std::uint8_t* data);
    // The same with the first byte inverted: the buffer is then known to
    // differ from a page that holds data.
    void loadFlipped(int buffer, std::uint32_t page, const std::uint8_t* data);
    // Rewrites the first byte of a buffer.
    void patchFirstByte(int buffer, std::uint32_t page, std::uint8_t value);
    void startCompare(int buffer, std::uint32_t page);
    void startProgram(int buffer, std::uint32_t page, bool erase);

    // A transfer into the other buffer, in one frame, made while a proof's
    // first compare runs, so that the chip's compare time is spent sending:
    // the next page's data.
    struct Overlap {
        int buffer;
        std::uint32_t aim;            // the page its don't-care address bits name
        const std::uint8_t* data;     // a whole page
        bool flipFirst;               // sent with its first byte inverted (for the next proof)
        const std::uint8_t* replacing; // what the buffer holds, when that must not survive the
                                       // proof (the bytes the page was just programmed from); or null
    };

    // Waits for a compare started on a buffer loaded by loadFlipped, then
    // finishes the proof: the compare must have found the difference (so
    // COMP is known set), the first byte is corrected, and a second compare
    // must clear COMP. A compare the chip ignored leaves COMP as it was and
    // so can never pass for one that found the page equal. The buffer
    // writes are aimed at page. With an overlap, its transfer goes
    // meanwhile; it is complete only when the proof passed (a caller reloads
    // that buffer otherwise). A write found to have become a program makes
    // the proof unsure.
    //
    // Where the buffer holds data unchanged and the compare started was of
    // another page, known to differ from it (the page whose data the buffer
    // held before it was filled), that compare is the one that sets COMP:
    // no byte needs correcting, and the second compare is of page (evidence
    // OtherPage).
    enum class Evidence { FlippedFirstByte, OtherPage };
    // aim, when not -1, is the page the buffer writes are aimed at instead.
    Proof finishProof(int buffer, std::uint32_t page, const std::uint8_t* data, const Overlap* overlap = nullptr,
                      Evidence evidence = Evidence::FlippedFirstByte, long aim = -1);
    // Proves pages 0 to pages - 1 in turn against what expected says they
    // hold, one transfer a page: the two buffers take turns, the next page's
    // transfer going while the chip compares this one. A page whose data
    // differs from what its buffer held at its last proof
    // is sent as it is, and its proof's first compare is of that page
    // (evidence OtherPage): a fill the chip did not take leaves that page's
    // data there, which the compare then finds equal. What
    // expected says is asked while the chip is idle. A page that does not
    // pass goes to resolve (which may use both buffers); one that passes, or
    // that resolve accepts, to passed. stop is asked before each page. False
    // when stop, resolve or the chip ended it, with lastMessage set.
    struct PageStream {
        std::function<void(std::uint32_t page, std::uint8_t* out)> expected;
        std::function<bool(std::uint32_t page, int buffer, std::uint8_t* data)> resolve;
        std::function<void(std::uint32_t page, const std::uint8_t* data)> passed;
        std::function<bool(std::uint32_t page)> stop;
        // For a job whose data came from the chip (a read): once a proof
        // has failed (see noiseSeen), a page that passes is proven once more
        // from a fresh transfer before it is taken, since a bit the read
        // flipped and the proof's transfer flipped back passes for the page.
        bool confirmOnceNoisy = false;
        // Whether a page one address bit away holds the same data, as far as
        // the job knows: a compare whose address lost that bit on the wire
        // would pass there, so a page that passes is proven once more.
        std::function<bool(std::uint32_t page, const std::uint8_t* data)> likeANeighbour;
        // The page every buffer write is aimed at (see checkStray), or -1:
        // the page it is for.
        long aim = -1;
    };
    bool provePages(std::uint32_t pages, const PageStream& stream);
    // The same on a chip with buffer 1 only.
    bool provePagesInBuffer1(std::uint32_t pages, const PageStream& stream);

    // A whole proof in one buffer. Its buffer writes are aimed at page, or
    // at aim when that is not -1: a page that a program they became could
    // reach without harm (one about to be programmed with erase anyway).
    Proof prove(int buffer, std::uint32_t page, const std::uint8_t* data, long aim = -1);

    // Whether a proof of this prover's did not pass: the wire (or the chip)
    // has shown a fault. A pass is wrong only when two transfers (or a read
    // and a transfer) flipped the same bit. On a wire where that is likely
    // enough to matter, a proof fails first, almost surely: the first
    // damaged transfer is caught unless the next flips that very bit too.
    // From then on a job proves each page twice.
    bool noiseSeen() const { return caught != 0; }
    // How many proofs did not pass: each a transfer (or a program) that
    // noise changed, caught and then repaired.
    unsigned noiseCaught() const { return caught; }
    // Proofs that failed because the page held other data, as a page that
    // update then programs: they show nothing about the wire.
    void forgive(unsigned proofs) { caught -= std::min(caught, proofs); }
    // What the last proof found.
    Proof lastProof() const { return lastOutcome; }
    // How many times the chip was seen busy, or first seen ready, too late
    // after a buffer write or a compare for it to have run nothing else: a
    // write that noise made a program may then have programmed a page one
    // address bit away from where it was aimed, or that page itself.
    unsigned possibleStrays() const { return strays; }

    // Waits for the chip after a compare, a program without erase or a
    // program with erase; false with lastMessage set when it did not become
    // ready.
    bool comparedFor(std::uint32_t page, DataFlashStatus& st);
    bool programmedFor(std::uint32_t page, bool erase);
    // After startProgram without erase, before a proof of that page: waits
    // as programmedFor does, unless the longest such program (4 ms) has
    // passed since it started, as it has after a page's transfer on a port
    // of 1 us an access. A healthy chip is then ready; one that is not
    // ignores the proof's compares, and a proof passes only on a compare
    // seen to run, which a chip runs only once ready.
    bool programOver(std::uint32_t page);

    // Why a page could not be written and proven within its budget, from
    // what the chip and the wire show: status reads whose bytes disagree
    // blame the wire from the chip; otherwise a page that holds the data, or
    // other wrong bytes after each program, blames the wire to the chip; the
    // same wrong bytes after another program, the flash.
    void explainUnproven(std::uint32_t page, const std::uint8_t* data);
    // The wire a page that kept failing its proofs blames: the one from the
    // chip when status reads show it flipping bits, else the one to it.
    WireDirection blamedWire();


private:
    void write(int buffer, std::uint32_t aim, const std::uint8_t* data, unsigned length, unsigned offset = 0);
    bool soonAfterWrite() const;
    Proof compared(std::uint32_t page, bool afterWrite, DataFlashStatus& st);
    Proof finishOnce(int buffer, std::uint32_t page, const std::uint8_t* data, const Overlap* overlap,
                     Evidence evidence, std::uint32_t aim);
    Proof noted(Proof proof);
    Stray strayProgram(std::uint32_t page);
    bool wireFromChipFlips();

    unsigned caught = 0;
    unsigned strays = 0;
    Proof lastOutcome = Proof::Proven;
    // The unsure outcome being made has no other cause than a check that
    // came too late after a buffer write (see checkStray).
    bool late = false;
    // The last buffer write: when the chip was released after it, whether
    // the chip has been seen ready in time since (so that it did not become
    // a program), and whether the last compare started too late after it
    // for a program it became to have made the chip ignore the compare.
    WireClock::time_point wroteAt;
    WireClock::time_point programmedAt; // when the last program was sent
    bool writeUnchecked = false;
    bool compareAfterWrite = false; // the last compare was sent before that write was checked
    bool compareLate = false;
    bool size256;
    unsigned pageLength;
};

} // namespace dataflash
