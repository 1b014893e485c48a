// The fast programming path: a file into an erased chip through both SRAM
// buffers, each page's data moving into one buffer while the chip programs
// the previous page from the other, and every page proven on the chip.
#include "at45db041d.h"

#include "inputfile.h"
#include "wire.h"

#include <cstring>

using namespace dataflash;

namespace {

constexpr std::uint8_t kBufferWrite[2] = { kBuffer1Write, kBuffer2Write };
constexpr std::uint8_t kBufferRead[2] = { kBuffer1Read, kBuffer2Read };
constexpr std::uint8_t kBufferToPageNoErase[2] = { kBuffer1ToPageProgramNoErase, kBuffer2ToPageProgramNoErase };
constexpr std::uint8_t kPageToBufferCompare[2] = { kPageToBuffer1Compare, kPageToBuffer2Compare };

// A buffer that does not read back what was sent is written again this many
// times in all before the page is given up: a single flipped bit on a long
// cable is repaired, a line that keeps failing is reported.
constexpr int kBufferTries = 3;

bool isBlank(const std::uint8_t* data, unsigned length)
{
    for (unsigned i = 0; i < length; ++i)
        if (data[i] != 0xFF)
            return false;
    return true;
}

class Programmer {
public:
    Programmer(bool pageSize256, bool checked)
        : pageSize256(pageSize256)
        , length(dataFlashPageLength(pageSize256))
        , checked(checked)
    {
    }

    bool waitForChip();
    bool programPage(std::uint32_t page, const std::uint8_t* data);
    bool proveBlankPage(std::uint32_t page);
    bool finishPending();

private:
    void writeBuffer(int buffer, const std::uint8_t* data);
    bool bufferHolds(int buffer, std::uint32_t page, const std::uint8_t* data);
    bool fillBuffer(int buffer, std::uint32_t page, const std::uint8_t* data);
    bool programmed(std::uint32_t page);
    bool compareResult(std::uint32_t page);
    bool compare(std::uint32_t page, int buffer);
    bool wait(const char* silent, const char* timedOut, std::uint32_t page, DataFlashStatus* last = nullptr);
    void command(std::uint8_t opcode, std::uint32_t page);

    const bool pageSize256;
    const unsigned length;
    const bool checked;
    int nextBuffer = 0;
    // The page the chip is programming (or has programmed) and not yet
    // compared, and the buffer it came from.
    bool pending = false;
    std::uint32_t pendingPage = 0;
    int pendingBuffer = 0;
    // The buffer known to hold a blank page, -1 when neither does.
    int blankBuffer = -1;
};

// Polls without sleeping: a status read is itself tens of microseconds on a
// real port, and a program without erase takes 2 ms (4 at most). The bound
// is the page program's budget.
bool Programmer::wait(const char* silent, const char* timedOut, std::uint32_t page, DataFlashStatus* last)
{
    const DataFlashPoll poll { 0, dataflashTiming.pageProgram.limitMs };
    switch (waitUntilReady(poll, readStatusFast, last)) {
    case Wait::Ready:
        return true;
    case Wait::TimedOut:
        lastMessage = QString::fromLatin1(timedOut).arg(page);
        return false;
    case Wait::Silent:
        lastMessage = QString::fromLatin1(silent).arg(page);
        return false;
    }
    return false;
}

bool Programmer::waitForChip()
{
    return wait("The chip stopped answering before page %1 was programmed!",
                "Timed out waiting for the chip before page %1 was programmed!", 0);
}

// An opcode and a main-memory page address (byte 0).
void Programmer::command(std::uint8_t opcode, std::uint32_t page)
{
    std::uint8_t frame[4] = { opcode };
    encodePageAddress(page, pageSize256, frame + 1);
    blockTransfer(frame, sizeof frame);
}

// Writes one page of data into a buffer from address 0. Allowed while the
// chip programs or compares from the other buffer.
void Programmer::writeBuffer(int buffer, const std::uint8_t* data)
{
    std::uint8_t frame[4 + kDataFlashMaxPageLength] = { kBufferWrite[buffer], 0x00, 0x00, 0x00 };
    std::memcpy(frame + 4, data, length);
    blockTransfer(frame, 4 + length);
}

// Reads a freshly written buffer back: a data-line error is caught here,
// before it reaches the flash, and the buffer is written again. Allowed
// while the chip works from the other buffer.
bool Programmer::bufferHolds(int buffer, std::uint32_t page, const std::uint8_t* data)
{
    const std::uint8_t readBack[5] = { kBufferRead[buffer], 0x00, 0x00, 0x00, 0x00 }; // address 0, one don't-care byte
    std::uint8_t held[kDataFlashMaxPageLength];
    for (int written = 1;; ++written) {
        blockTransfer(readBack, sizeof readBack, held, length);
        if (std::memcmp(held, data, length) == 0)
            return true;
        // A chip that has gone reads back as 0xFF: say so rather than blame
        // the data line.
        if (!wait("The chip stopped answering while taking page %1's data!",
                  "Timed out waiting for the chip while taking page %1's data!", page))
            return false;
        if (written == kBufferTries)
            break;
        writeBuffer(buffer, data);
    }
    lastMessage = QStringLiteral("Page %1 did not reach the chip's buffer intact in %2 tries: the data line is "
                                 "unreliable (check the cable, its length and the chip's supply)!")
                      .arg(page)
                      .arg(kBufferTries);
    return false;
}

bool Programmer::fillBuffer(int buffer, std::uint32_t page, const std::uint8_t* data)
{
    writeBuffer(buffer, data);
    return !checked || bufferHolds(buffer, page, data);
}

// Waits for a page program to finish.
bool Programmer::programmed(std::uint32_t page)
{
    return wait("The chip stopped answering while programming page %1!",
                "Timed out waiting for the chip to program page %1!", page);
}

// Waits for a compare started by a page-to-buffer compare command; the chip
// sets COMP when the page and the buffer differ.
bool Programmer::compareResult(std::uint32_t page)
{
    DataFlashStatus st;
    if (!wait("The chip stopped answering while comparing page %1!", "Timed out waiting for the chip to compare page %1!",
              page, &st))
        return false;
    if (st.comp) {
        lastMessage = QStringLiteral("Page %1 does not match the file after programming: the flash did not take it "
                                     "(a worn or damaged chip)!")
                          .arg(page);
        return false;
    }
    return true;
}

bool Programmer::compare(std::uint32_t page, int buffer)
{
    command(kPageToBufferCompare[buffer], page);
    return compareResult(page);
}

// Waits for the page in hand to finish programming and, when checking,
// compares it with its buffer.
bool Programmer::finishPending()
{
    if (!pending)
        return true;
    pending = false;
    return programmed(pendingPage) && (!checked || compare(pendingPage, pendingBuffer));
}

// Moves the page into the free buffer while the previous page programs from
// the other; then, when checking, reads it back while the chip compares the
// previous page; then programs it without erase (the chip was erased as a
// whole).
bool Programmer::programPage(std::uint32_t page, const std::uint8_t* data)
{
    const int buffer = nextBuffer;
    nextBuffer = 1 - nextBuffer;
    if (buffer == blankBuffer)
        blankBuffer = -1;
    writeBuffer(buffer, data);
    const bool comparing = pending && checked;
    if (pending) {
        pending = false;
        if (!programmed(pendingPage))
            return false;
        if (comparing)
            command(kPageToBufferCompare[pendingBuffer], pendingPage);
    }
    if (checked && !bufferHolds(buffer, page, data))
        return false;
    if (comparing && !compareResult(pendingPage))
        return false;
    command(kBufferToPageNoErase[buffer], page);
    pending = true;
    pendingPage = page;
    pendingBuffer = buffer;
    return true;
}

// A page of 0xFF is left as the erase left it; when checking, it is compared
// with a buffer of 0xFF, filled once for a whole run of blank pages.
bool Programmer::proveBlankPage(std::uint32_t page)
{
    if (!checked)
        return true;
    if (!finishPending())
        return false;
    if (blankBuffer < 0) {
        std::uint8_t blank[kDataFlashMaxPageLength];
        std::memset(blank, 0xFF, sizeof blank);
        blankBuffer = nextBuffer;
        nextBuffer = 1 - nextBuffer;
        if (!fillBuffer(blankBuffer, page, blank)) {
            blankBuffer = -1;
            return false;
        }
    }
    return compare(page, blankBuffer);
}

} // namespace

namespace {

bool programImage(const DataFlashImage& image, bool checked, const DataFlashRun& run)
{
    const std::uint32_t pages = image.pages();
    const unsigned length = image.pageLength();
    Programmer programmer(image.pageSize256, checked);
    std::uint8_t data[kDataFlashMaxPageLength];
    if (!programmer.waitForChip())
        return false;
    for (std::uint32_t page = 0; page < pages; ++page) {
        if (run.stopRequested && run.stopRequested()) {
            // The page in hand is finished and proven before stopping.
            if (programmer.finishPending())
                lastMessage = page ? QStringLiteral("Stopped on request after page %1.").arg(page - 1)
                                   : QStringLiteral("Stopped on request before the first page.");
            return false;
        }
        image.copyPage(page, data);
        const bool ok = isBlank(data, length) ? programmer.proveBlankPage(page) : programmer.programPage(page, data);
        if (!ok)
            return false;
        if (run.progress)
            run.progress(page + 1, pages);
    }
    return programmer.finishPending();
}

} // namespace

bool AT45DB041D_ProgramFile(const char* path, bool checked, const DataFlashRun& run)
{
    return withInputFile(path, [&](const DataFlashImage& image) { return programImage(image, checked, run); });
}

bool AT45DB041D_ProgramImage(const DataFlashImage& image, bool checked, const DataFlashRun& run)
{
    return withImage(image, [&](const DataFlashImage& loaded) { return programImage(loaded, checked, run); });
}
