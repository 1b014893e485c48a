// Verifying a chip against an image: per page one transfer into a buffer and
// the chip's own compare, the two buffers taking turns so that the next
// page's transfer goes while the chip compares. A difference is confirmed by
// a fresh transfer and compare, then a read of the page, before it is
// reported. The chip's sector protection is on meanwhile, so that nothing
// sent can change it; where it does not cover the chip, pages are only
// read, each until two reads agree.
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
    bool runByPageReads(const DataFlashRun& run, DataFlashDifference* difference);

private:
    unsigned checkedLength(std::uint32_t page) const { return page + 1 == image.pages() ? lastChecked : length; }
    void expected(std::uint32_t page, std::uint8_t* out);
    bool confirm(std::uint32_t page, int buffer, std::uint8_t* data, DataFlashDifference* difference);
    bool differs(std::uint32_t page, const std::uint8_t* onChip, const std::uint8_t* data,
                 DataFlashDifference* difference);
    bool stopped(const DataFlashRun& run, std::uint32_t page);

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
    waitUntilReady({ 0, boundMs(dataFlashChip().pageEraseProgram) }, Wire::Block);
    sendPageRead(Wire::Block, page, prover.pageSize256(), onChip);
    std::memcpy(out + checked, onChip + checked, length - checked);
}

// Whether the page read from the chip differs from the image in the bytes
// that count; if so, names where.
bool Verifier::differs(std::uint32_t page, const std::uint8_t* onChip, const std::uint8_t* data,
                       DataFlashDifference* difference)
{
    const unsigned checked = checkedLength(page);
    const auto mismatch = std::mismatch(onChip, onChip + checked, data);
    if (mismatch.first == onChip + checked)
        return false;
    const unsigned offset = unsigned(mismatch.first - onChip);
    if (difference)
        *difference = { page, offset, onChip[offset], data[offset] };
    lastMessage = QStringLiteral("Verification failed: page %1 does not hold what the file has there!").arg(page);
    return true;
}

bool Verifier::stopped(const DataFlashRun& run, std::uint32_t page)
{
    if (!run.stopRequested || !run.stopRequested())
        return false;
    lastMessage = QStringLiteral("Stopped before page %1 was compared.").arg(page);
    return true;
}

// Page reads alone: each page read until two reads agree, on a ready chip,
// and compared here.
bool Verifier::runByPageReads(const DataFlashRun& run, DataFlashDifference* difference)
{
    const std::uint32_t pages = image.pages();
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (stopped(run, page))
            return false;
        std::uint8_t onChip[kDataFlashMaxPageLength];
        std::uint8_t data[kDataFlashMaxPageLength];
        const PageRead read = readPageAgreed(page, prover.pageSize256(), onChip);
        if (read == PageRead::Disagreed)
            lastMessage = unreliableWireText(page, "verified", WireDirection::FromChip);
        if (read != PageRead::Agreed)
            return false;
        image.copyPage(page, data);
        if (differs(page, onChip, data, difference))
            return false;
        if (run.progress)
            run.progress(page + 1, pages);
    }
    return true;
}

// The page compared different: proven again from a fresh transfer; when it
// still differs, two reads of the page that agree show where.
bool Verifier::confirm(std::uint32_t page, int buffer, std::uint8_t* data, DataFlashDifference* difference)
{
    const unsigned checked = checkedLength(page);
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
        if (proof != Proof::Differs)
            continue;
        std::uint8_t first[kDataFlashMaxPageLength];
        const PageRead read = readPageAgreed(page, prover.pageSize256(), first);
        if (read == PageRead::NotReady)
            return false;
        if (read == PageRead::Disagreed)
            continue;
        if (differs(page, first, data, difference))
            return false;
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
    if (!pages)
        return true;
    Prover::PageStream stream;
    stream.expected = [this](std::uint32_t page, std::uint8_t* out) { expected(page, out); };
    stream.resolve = [this, difference](std::uint32_t page, int buffer, std::uint8_t* data) {
        return confirm(page, buffer, data, difference);
    };
    stream.passed = [this, &run, pages](std::uint32_t page, const std::uint8_t*) {
        if (run.progress)
            run.progress(page + 1, pages);
    };
    stream.stop = [this, &run](std::uint32_t page) { return stopped(run, page); };
    // Pages of the image one address bit away that hold the same data.
    stream.likeANeighbour = [this, pages](std::uint32_t page, const std::uint8_t* data) {
        std::uint8_t other[kDataFlashMaxPageLength];
        for (unsigned bit = 0; bit < pageAddressBits(); ++bit) {
            const std::uint32_t near = page ^ (1u << bit);
            if (near >= pages)
                continue;
            image.copyPage(near, other);
            if (std::memcmp(other, data, checkedLength(page)) == 0)
                return true;
        }
        return false;
    };
    return prover.provePages(pages, stream);
}

} // namespace

bool AT45DB041D_VerifyImage(const DataFlashImage& image, DataFlashPadding padding, const DataFlashRun& run,
                            DataFlashDifference* difference)
{
    return withImage(image, [&](const DataFlashImage& loaded) {
        Verifier verifier(loaded, padding);
        return whileProtected([&](bool protectedChip) {
            return protectedChip ? verifier.run(run, difference) : verifier.runByPageReads(run, difference);
        });
    });
}

// The page size has not changed since the write: a change takes effect only
// at power-up.
bool AT45DB041D_VerifyFile(const char* path, const DataFlashRun& run)
{
    DataFlashImage image;
    return AT45DB041D_LoadFile(path, image) && AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros, run);
}
