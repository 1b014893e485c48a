// Reading the whole chip out, every page proven: the bytes read are written
// back into a buffer and the chip compares them with the page, with the
// chip's sector protection on meanwhile, so that nothing sent can change it;
// where the protection does not cover the chip, by page reads alone, each
// page read until two reads agree.
#include "at45db041d.h"

#include "prover.h"

#include <cstring>

using namespace dataflash;

namespace {

using Enough = std::function<bool(const std::uint8_t* data, std::size_t bytes)>;

// Whether the caller has the pages it needs once page is next: contents
// then ends before page.
bool readEnough(const Enough& enough, std::vector<std::uint8_t>& contents, std::uint32_t page, unsigned length)
{
    if (!enough || page == 0 || !enough(contents.data(), std::size_t(page) * length))
        return false;
    contents.resize(std::size_t(page) * length);
    return true;
}

// Proofs of a page that failed one, before it is given up. With both wires
// at one flipped bit in 10000 a page read arrives intact about four times
// in five and a proof's transfer as often, and half of a whole chip's pages
// come here: thirty proofs leave about one chip read in 100000 unproven
// (twenty, as many as one in twenty).
constexpr int kProofsPerPage = 30;

// Page reads alone: each page read until two reads agree, on a ready chip.
bool readByPageReads(std::vector<std::uint8_t>& contents, bool pageSize256, const Enough& enough,
                     const DataFlashRun& run)
{
    const unsigned length = dataFlashPageLength(pageSize256);
    for (std::uint32_t page = 0; page < dataFlashPages(); ++page) {
        if (readEnough(enough, contents, page, length))
            return true;
        if (run.stopRequested && run.stopRequested()) {
            lastMessage = QStringLiteral("Stopped on request after reading %1 pages.").arg(page);
            return false;
        }
        const PageRead read = readPageAgreed(page, pageSize256, contents.data() + std::size_t(page) * length);
        if (read == PageRead::Disagreed)
            lastMessage = unreliableWireText(page, "read", WireDirection::FromChip);
        if (read != PageRead::Agreed)
            return false;
        if (run.progress)
            run.progress(page + 1, dataFlashPages());
    }
    return true;
}

// Every page proven by the chip's compare: only on a protected chip, since
// a buffer write is one bit from a program (0x84 -> 0x85, 0x86).
bool readProven(std::vector<std::uint8_t>& contents, bool pageSize256, const Enough& enough, const DataFlashRun& run)
{
    Prover prover(pageSize256);
    const unsigned length = prover.length();
    // Each page's bytes, as read, are what its proof expects; the stream
    // reads a page while the chip is idle, before the page ahead of it is
    // proven.
    const auto readWhenReady = [&](std::uint32_t page, std::uint8_t* out) {
        if (!chipIdleSinceLastStatus())
            waitUntilReady({ 0, boundMs(dataFlashChip().pageEraseProgram) }, Wire::Block);
        sendPageRead(Wire::Block, page, pageSize256, out);
    };
    Prover::PageStream stream;
    stream.expected = readWhenReady;
    // A page whose proof did not pass is read again, and the read is taken
    // once two proofs of it pass, each from a fresh transfer: a single pass
    // could come from the transfer flipping back the very bit the read
    // flipped. A read whose first proof fails is most likely wrong and is
    // read again; one that has passed once is kept through one failure,
    // which is then most likely the transfer's.
    stream.resolve = [&](std::uint32_t page, int buffer, std::uint8_t* read) {
        int passes = 0;
        int failures = 0;
        for (int proofs = 0; proofs < kProofsPerPage; ++proofs) {
            if (passes + failures == 0)
                readWhenReady(page, read);
            const Proof proof = prover.prove(buffer, page, read);
            if (proof == Proof::Failed)
                return false;
            if (proof == Proof::Proven) {
                if (++passes == 2)
                    return true;
                continue;
            }
            // A read that passed once is dropped at its second failure.
            if (++failures > passes)
                passes = failures = 0;
        }
        lastMessage = unreliableWireText(page, "read", prover.blamedWire());
        return false;
    };
    stream.confirmOnceNoisy = true;
    // Pages already read, one address bit away, that hold the same bytes.
    stream.likeANeighbour = [&](std::uint32_t page, const std::uint8_t* read) {
        for (unsigned bit = 0; bit < pageAddressBits(); ++bit) {
            const std::uint32_t near = page ^ (1u << bit);
            if (near < page && std::memcmp(contents.data() + std::size_t(near) * length, read, length) == 0)
                return true;
        }
        return false;
    };
    stream.passed = [&](std::uint32_t page, const std::uint8_t* read) {
        std::memcpy(contents.data() + std::size_t(page) * length, read, length);
        if (run.progress)
            run.progress(page + 1, dataFlashPages());
    };
    bool enoughRead = false;
    stream.stop = [&](std::uint32_t page) {
        if (readEnough(enough, contents, page, length))
            return enoughRead = true;
        if (!run.stopRequested || !run.stopRequested())
            return false;
        lastMessage = QStringLiteral("Stopped on request after reading %1 pages.").arg(page);
        return true;
    };
    return prover.provePages(dataFlashPages(), stream) || enoughRead;
}

} // namespace

bool AT45DB041D_ReadChip(std::vector<std::uint8_t>& contents, const DataFlashRun& run)
{
    return AT45DB041D_ReadChipUntil(contents, nullptr, run);
}

bool AT45DB041D_ReadChipUntil(std::vector<std::uint8_t>& contents, const Enough& enough, const DataFlashRun& run)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    contents.assign(std::size_t(dataFlashPages()) * dataFlashPageLength(pageSize256), 0);
    return whileProtected([&](bool protectedChip) {
        return protectedChip ? readProven(contents, pageSize256, enough, run)
                             : readByPageReads(contents, pageSize256, enough, run);
    });
}
