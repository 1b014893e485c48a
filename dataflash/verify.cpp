// Verifying a chip against an image: per page one transfer into a buffer and
// the chip's own compare, the two buffers taking turns so that the next
// page's transfer goes while the chip compares. A difference is confirmed by
// a fresh transfer and compare, then a read of the page, before it is
// reported.
#include "at45db041d.h"

#include "inputfile.h"
#include "prover.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace dataflash;

namespace {

// Fresh proofs a page that compared different gets before the verdict.
constexpr int kConfirmations = 16;

class Verifier {
public:
    Verifier(const DataFlashImage& image, DataFlashPadding padding)
        : image(image)
        , prover(image.pageSize256)
        , length(prover.length())
        , lastChecked(padding == DataFlashPadding::Ignored && image.pages() ? image.fileBytesIn(image.pages() - 1)
                                                                             : length)
    {
    }

    bool run(const DataFlashRun& run, DataFlashDifference* difference);

private:
    unsigned checkedLength(std::uint32_t page) const { return page + 1 == image.pages() ? lastChecked : length; }
    void expected(std::uint32_t page, std::uint8_t* out);
    bool confirm(std::uint32_t page, int buffer, std::uint8_t* data, DataFlashDifference* difference);

    const DataFlashImage& image;
    Prover prover;
    const unsigned length;
    const unsigned lastChecked; // bytes of the last page that belong to the image
};

// What the page should hold. Where the bytes after the image are not part
// of it, they are taken from the chip, so that the compare covers the
// image's bytes alone.
void Verifier::expected(std::uint32_t page, std::uint8_t* out)
{
    image.copyPage(page, out);
    const unsigned checked = checkedLength(page);
    if (checked == length)
        return;
    std::uint8_t onChip[kDataFlashMaxPageLength];
    sendPageRead(Wire::Block, page, prover.pageSize256(), onChip);
    std::memcpy(out + checked, onChip + checked, length - checked);
}

// The page compared different: proven again from a fresh transfer; when it
// still differs, two reads of the page that agree show where.
bool Verifier::confirm(std::uint32_t page, int buffer, std::uint8_t* data, DataFlashDifference* difference)
{
    const unsigned checked = checkedLength(page);
    if (!prover.recheckGuard())
        return false;
    int passedInARow = 0;
    for (int attempt = 0; attempt < kConfirmations; ++attempt) {
        const Proof proof = prover.prove(buffer, page, data);
        if (proof == Proof::Failed)
            return false;
        // Two passes in a row, not one: a single pass could come from the
        // proof's transfer flipping the very bit in which the page differs.
        if (proof == Proof::Proven && ++passedInARow == 2)
            return true;
        if (proof == Proof::Proven)
            continue;
        passedInARow = 0;
        if (!prover.recheckGuard())
            return false;
        if (proof != Proof::Differs)
            continue;
        std::uint8_t first[kDataFlashMaxPageLength];
        std::uint8_t second[kDataFlashMaxPageLength];
        sendPageRead(Wire::Block, page, prover.pageSize256(), first);
        sendPageRead(Wire::Block, page, prover.pageSize256(), second);
        if (std::memcmp(first, second, length) != 0)
            continue;
        const auto mismatch = std::mismatch(first, first + checked, data);
        if (mismatch.first != first + checked) {
            const unsigned offset = unsigned(mismatch.first - first);
            if (difference)
                *difference = { page, offset, first[offset], data[offset] };
            lastMessage = QStringLiteral("Verification failed: page %1 does not hold what the file has there!").arg(page);
            return false;
        }
        // The image's bytes are there: what differed was in the bytes after
        // them, read earlier over a noisy wire.
        std::memcpy(data + checked, first + checked, length - checked);
    }
    lastMessage = unreliableWireText(page, "verified", prover.blamedWire());
    return false;
}

bool Verifier::run(const DataFlashRun& run, DataFlashDifference* difference)
{
    const std::uint32_t pages = image.pages();
    std::uint8_t data[2][kDataFlashMaxPageLength];
    int buffer = 0;
    if (pages) {
        // Page 0 is read twice alike before anything is written to a
        // buffer: from then on every buffer write is aimed at a page whose
        // content is known, and can be restored when noise makes the write
        // a program.
        std::uint8_t first[kDataFlashMaxPageLength];
        int reads = 0;
        while (!prover.readTwice(0, first)) {
            if (++reads == kConfirmations) {
                lastMessage = unreliableWireText(0, "verified", WireDirection::FromChip);
                return false;
            }
        }
        prover.guard(0, first);
        expected(0, data[0]);
        prover.loadFlipped(buffer, prover.aimFor(0), data[0]);
        if (prover.checkStray(0) == Prover::Stray::Failed)
            return false;
        prover.startCompare(buffer, 0);
    }
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (run.stopRequested && run.stopRequested()) {
            DataFlashStatus st;
            if (prover.comparedFor(page, st))
                lastMessage = QStringLiteral("Stopped before page %1 was compared.").arg(page);
            return false;
        }
        const int other = 1 - buffer;
        Prover::Stray stray = Prover::Stray::None;
        if (page + 1 < pages) {
            expected(page + 1, data[other]);
            prover.loadFlipped(other, prover.aimFor(page + 1), data[other]);
            stray = prover.checkStray(page + 1);
        }
        if (stray == Prover::Stray::Failed)
            return false;
        // After a stray program the guarded page was proven again, which
        // took over COMP: this page is proven afresh.
        const Proof proof
            = stray == Prover::Stray::Handled ? Proof::Unsure : prover.finishProof(buffer, page, data[buffer]);
        if (proof == Proof::Failed)
            return false;
        if (proof != Proof::Proven && !confirm(page, buffer, data[buffer], difference))
            return false;
        prover.guard(page, data[buffer]);
        if (run.progress)
            run.progress(page + 1, pages);
        buffer = other;
        if (page + 1 < pages) {
            if (stray == Prover::Stray::Handled) { // the buffer was overwritten meanwhile
                prover.loadFlipped(buffer, prover.aimFor(page + 1), data[buffer]);
                if (prover.checkStray(page + 1) == Prover::Stray::Failed)
                    return false;
            }
            prover.startCompare(buffer, page + 1);
        }
    }
    return true;
}

} // namespace

bool AT45DB041D_VerifyImage(const DataFlashImage& image, DataFlashPadding padding, const DataFlashRun& run,
                            DataFlashDifference* difference)
{
    return withImage(image, [&](const DataFlashImage& loaded) {
        Verifier verifier(loaded, padding);
        return verifier.run(run, difference);
    });
}

// The page size has not changed since the write: a change takes effect only
// at power-up.
bool AT45DB041D_VerifyFile(const char* path, const DataFlashRun& run)
{
    DataFlashImage image;
    return AT45DB041D_LoadFile(path, image) && AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros, run);
}
