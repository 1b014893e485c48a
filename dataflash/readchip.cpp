// Reading the whole chip out, with the continuous array read.
#include "at45db041d.h"

#include "wire.h"

using namespace dataflash;

namespace {

// Pages per read frame: short enough that a stop request is answered within
// tens of milliseconds, long enough that the command bytes cost nothing.
constexpr unsigned kPagesPerFrame = 8;

} // namespace

bool AT45DB041D_ReadChip(std::vector<std::uint8_t>& contents, const DataFlashRun& run)
{
    lastMessage.clear();
    bool pageSize256 = false;
    if (!pageSizeInForce(pageSize256))
        return false;
    const unsigned length = dataFlashPageLength(pageSize256);
    contents.assign(std::size_t(kDataFlashPages) * length, 0);
    for (std::uint32_t page = 0; page < kDataFlashPages; page += kPagesPerFrame) {
        if (run.stopRequested && run.stopRequested()) {
            lastMessage = QStringLiteral("Stopped on request after reading %1 pages.").arg(page);
            return false;
        }
        // Opcode, three address bytes, one don't-care byte; then the data.
        std::uint8_t command[5] = { kContinuousArrayRead, 0, 0, 0, kDummy };
        encodePageAddress(page, pageSize256, command + 1);
        blockTransfer(command, sizeof command, contents.data() + std::size_t(page) * length,
                      std::size_t(kPagesPerFrame) * length);
        if (!confirmChipAnswers()) {
            lastMessage = QStringLiteral("The chip stopped answering while pages %1 to %2 were read!")
                              .arg(page)
                              .arg(page + kPagesPerFrame - 1);
            return false;
        }
        if (run.progress)
            run.progress(page + kPagesPerFrame, kDataFlashPages);
    }
    return true;
}
