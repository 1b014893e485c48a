// Reading the whole chip out, every page proven: the bytes read are written
// back into a buffer and the chip compares them with the page.
#include "at45db041d.h"

#include "prover.h"

#include <cstring>

using namespace dataflash;

namespace {

// Reads of a page before it is given up: at one flipped bit in 10000 on the
// wire from the chip a page read arrives intact about four times in five.
constexpr int kReadsPerPage = 10;

constexpr int kProofBuffer = 0;

} // namespace

bool AT45DB041D_ReadChip(std::vector<std::uint8_t>& contents, const DataFlashRun& run)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    Prover prover(pageSize256);
    const unsigned length = prover.length();
    contents.assign(std::size_t(kDataFlashPages) * length, 0);
    std::uint8_t read[kDataFlashMaxPageLength];
    for (std::uint32_t page = 0; page < kDataFlashPages; ++page) {
        if (run.stopRequested && run.stopRequested()) {
            lastMessage = QStringLiteral("Stopped on request after reading %1 pages.").arg(page);
            return false;
        }
        bool proven = false;
        for (int attempt = 0; attempt < kReadsPerPage && !proven; ++attempt) {
            // Page 0 is read twice alike before anything is written to a
            // buffer: from then on every buffer write is aimed at a page whose
            // content is known, and can be restored when noise makes the
            // write a program.
            if (page == 0) {
                if (!prover.readTwice(page, read))
                    continue;
                prover.guard(page, read);
            } else {
                sendPageRead(Wire::Block, page, pageSize256, read);
            }
            const Proof proof = prover.prove(kProofBuffer, page, read);
            if (proof == Proof::Failed)
                return false;
            proven = proof == Proof::Proven;
            if (!proven && !prover.recheckGuard())
                return false;
        }
        if (!proven) {
            lastMessage = unreliableWireText(page, "read", prover.blamedWire());
            return false;
        }
        prover.guard(page, read);
        std::memcpy(contents.data() + std::size_t(page) * length, read, length);
        if (run.progress)
            run.progress(page + 1, kDataFlashPages);
    }
    return true;
}
