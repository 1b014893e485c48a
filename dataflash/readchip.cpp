// Reading the whole chip out, every page proven: the bytes read are written
// back into a buffer and the chip compares them with the page.
#include "at45db041d.h"

#include "prover.h"

#include <cstring>

using namespace dataflash;

namespace {

// Reads of page 0 before it is given up: at one flipped bit in 10000 on the
// wire from the chip a page read arrives intact about four times in five.
constexpr int kReadsPerPage = 10;
// Proofs of a page that failed one, before it is given up. With both wires
// at one flipped bit in 10000 a page read arrives intact about four times
// in five and a proof's transfer as often, and half of a whole chip's pages
// come here: thirty proofs leave about one chip read in 100000 unproven
// (twenty, as many as one in twenty).
constexpr int kProofsPerPage = 30;

constexpr int kProofBuffer = 0;

} // namespace

bool AT45DB041D_ReadChip(std::vector<std::uint8_t>& contents, const DataFlashRun& run)
{
    return AT45DB041D_ReadChipUntil(contents, nullptr, run);
}

bool AT45DB041D_ReadChipUntil(std::vector<std::uint8_t>& contents,
                              const std::function<bool(const std::uint8_t* data, std::size_t bytes)>& enough,
                              const DataFlashRun& run)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    Prover prover(pageSize256);
    const unsigned length = prover.length();
    contents.assign(std::size_t(kDataFlashPages) * length, 0);
    // Page 0, and the pages one address bit away from it, are read twice
    // alike before anything is written to a buffer: every buffer write is
    // aimed at page 0, and whatever page a program noise made of one lands
    // on can be restored.
    std::uint8_t first[kDataFlashMaxPageLength];
    for (int reads = 0; !prover.readTwice(0, first);) {
        if (++reads == kReadsPerPage) {
            lastMessage = unreliableWireText(0, "read", WireDirection::FromChip);
            return false;
        }
    }
    if (!prover.guard(0, first))
        return false;
    // Each page's bytes, as read, are what its proof expects; the stream
    // reads a page while the chip is idle, before the page ahead of it is
    // proven.
    Prover::PageStream stream;
    stream.expected = [&](std::uint32_t page, std::uint8_t* out) {
        if (page == 0)
            std::memcpy(out, first, length);
        else
            sendPageRead(Wire::Block, page, pageSize256, out);
    };
    // A page whose proof did not pass is read again, and the read is taken
    // once two proofs of it pass, each from a fresh transfer: a single pass
    // could come from the transfer flipping back the very bit the read
    // flipped. A read whose first proof fails is most likely wrong and is
    // read again; one that has passed once is kept through one failure,
    // which is then most likely the transfer's.
    stream.resolve = [&](std::uint32_t page, int buffer, std::uint8_t* read) {
        // The proof that did not pass may be one whose patch noise made a
        // program of the guarded page: it is checked after every such proof.
        if (!prover.recheckGuard())
            return false;
        int passes = 0;
        int failures = 0;
        for (int proofs = 0; proofs < kProofsPerPage; ++proofs) {
            if (passes + failures == 0)
                sendPageRead(Wire::Block, page, pageSize256, read);
            const Proof proof = prover.prove(buffer, page, read);
            if (proof == Proof::Failed)
                return false;
            if (proof == Proof::Proven) {
                if (++passes == 2)
                    return true;
                continue;
            }
            if (!prover.recheckGuard())
                return false;
            // A read that passed once is dropped at its second failure.
            if (++failures > passes)
                passes = failures = 0;
        }
        lastMessage = unreliableWireText(page, "read", prover.blamedWire());
        return false;
    };
    stream.confirmOnceNoisy = true;
    stream.passed = [&](std::uint32_t page, const std::uint8_t* read) {
        std::memcpy(contents.data() + std::size_t(page) * length, read, length);
        if (run.progress)
            run.progress(page + 1, kDataFlashPages);
    };
    bool readEnough = false;
    stream.stop = [&](std::uint32_t page) {
        if (enough && page > 0 && enough(contents.data(), std::size_t(page) * length)) {
            contents.resize(std::size_t(page) * length);
            readEnough = true;
            return true;
        }
        if (!run.stopRequested || !run.stopRequested())
            return false;
        lastMessage = QStringLiteral("Stopped on request after reading %1 pages.").arg(page);
        return true;
    };
    return prover.provePages(kDataFlashPages, stream) || readEnough;
}
