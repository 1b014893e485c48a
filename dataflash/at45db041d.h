// Driver for the Atmel AT45DB DataFlash family over the SPI link: the chip in
// use (chips.h), an AT45DB041D (4 Mbit, 2048 pages of 256 or 264 bytes)
// unless the command line's probe found another. The AT45DB041D_ names are
// the window's, which knows that chip only. Knows nothing of widgets: every
// operation reports through its result and the process-wide lastMessage.
#pragma once

#include "chips.h"
#include "filesize.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// The decoded status register; each flag is 0 or 1.
struct DataFlashStatus {
    int ready = 0;       // bit 7, RDY/BUSY#: 1 when the chip is idle
    int comp = 0;        // bit 6: 1 when the last compare found a difference
    int protect = 0;     // bit 1: sector protection enabled
    int pageSize256 = 0; // bit 0: binary (power-of-two) pages, else the DataFlash layout
    // E series, the second status byte's bit 5: the last program or erase
    // failed (EPE).
    int programError = 0;
};

// Text of the last reporting operation's outcome; empty when it had nothing to
// say. Each reporting operation empties it when it starts.
extern QString lastMessage;
// The proofs of the last AT45DB041D_ProgramImage or AT45DB041D_UpdateImage
// that did not pass: noise on the cable changed a transfer (or a program),
// and the page was repaired. One flipped bit can fail more than one proof.
extern unsigned lastNoiseCaught;

// One busy poll: the status register is read every intervalMs, and the wait
// gives up once limitMs have passed on a steady clock.
struct DataFlashPoll {
    unsigned intervalMs;
    unsigned limitMs;
};

// The poll budgets in force. The defaults fit the AT45DB041D, AT45DB_UseChip
// sets another chip's from its row; tests shrink them.
struct DataFlashTiming {
    // Page-size change: a non-volatile register write, about as long as a
    // page program.
    DataFlashPoll pageSizeChange { 5, 1000 };
    // Buffer to page program with built-in erase: typically 14 ms, at most
    // 35 ms.
    DataFlashPoll pageProgram { 5, 1000 };
    // Chip erase: seconds; the bound leaves room for a slow, worn chip.
    DataFlashPoll chipErase { 250, 100000 };
    // What a chip erase typically takes, to say how long a stop asked
    // during one waits.
    unsigned chipEraseTypicalMs = 3000;
};
extern DataFlashTiming dataflashTiming;

// What a long operation reports as it goes, and how it is asked to stop.
struct DataFlashRun {
    // Called after each page with the pages done and the pages in all.
    std::function<void(unsigned done, unsigned total)> progress;
    // Asked between pages: true stops the operation at that clean boundary,
    // after the chip has finished the page in hand.
    std::function<bool()> stopRequested;
    // Called once, as soon as a stop is requested during a step that cannot
    // be cut short (the chip erase), with the milliseconds that step
    // typically has left; the stop takes effect when the step ends.
    std::function<void(unsigned leftMs)> stopDeferred;
};

// The geometry of the chip in use (dataFlashChip()): its pages, and the
// page length in force, binary when the chip's page-size flag is set (the
// flag's name keeps the AT45DB041D's 256), else the DataFlash layout.
inline unsigned dataFlashPages()
{
    return dataFlashChip().pages;
}
inline unsigned dataFlashPageLength(bool pageSize256)
{
    return pageLengthOf(dataFlashChip(), pageSize256);
}

// Reads and decodes the status register; false (flags all 0) when the byte
// does not carry the AT45DB041D's density code. raw may be null.
bool AT45DB041D_ReadStatus(DataFlashStatus& st, std::uint8_t* raw = nullptr);

// A status read that a decision can rest on: two neighbouring bytes of one
// read that agree, a few reads tried over a noisy wire. False, with "Failed
// to read the status byte!" in lastMessage, when none agrees.
bool AT45DB041D_ReadStatusConfirmed(DataFlashStatus& st);

// Reads the JEDEC manufacturer and device ID and checks it is an AT45DB041D.
// id may be null, else receives the four bytes.
bool AT45DB041D_ReadManufactDevID(std::uint8_t* id);

// Wakes the link with the start pattern and checks the chip is there, is an
// AT45DB041D and is not protected.
bool AT45DB041D_Connect();

// What is on the port: the status register and the ID bytes.
struct DataFlashInfo {
    bool answered = false; // the chip answered: a status byte with a density code, or an ID
    DataFlashStatus status;
    std::uint8_t id[kDataFlashIdLength] = {};
    const DataFlashChip* chip = nullptr; // its row in the chip table, once known
};

// Wakes the link with the start pattern, reads the ID (two reads alike),
// finds the chip's row and makes it the chip in use (AT45DB_UseChip), then
// reads the status register and checks it carries that chip's density code;
// whether or not the chip is protected (reading is allowed either way).
// False, with the reason in lastMessage and nothing sent but reads, when no
// chip answers, its ID is in no row (another maker's flash, an unknown
// AT45DB; the chip in use is then left as it was), or its status does not
// carry its row's density code (the row stays in use; the caller stops). For
// the command line: the window keeps to AT45DB041D_Connect.
bool AT45DB_Probe(DataFlashInfo& info);

// Makes chip the chip in use, and its datasheet's times the waits' budgets
// (unless it is in use already, whose budgets are left as they are).
void AT45DB_UseChip(const DataFlashChip& chip);

// The chips of the table by name, for a refusal: "AT45DB011D, AT45DB021D, ...".
QString dataFlashChipNames();

// Whether a probed chip may be programmed: false, with the connection's
// protection text in lastMessage, when its sector protection is on.
bool AT45DB041D_CheckWritable(const DataFlashInfo& info);

// The sector registers and the chip's own serial number. A sector register
// has a byte per sector (0: 0a and 0b, 1 to 7), as the chip gives it.
struct DataFlashSectors {
    // A byte per sector of the chip in use; the rest 0.
    std::uint8_t protection[kDataFlashMaxSectors] = {}; // sectors protected while protection is on (32h)
    std::uint8_t lockdown[kDataFlashMaxSectors] = {};   // sectors locked down for good (35h)
    std::uint8_t uniqueId[64] = {};  // security register bytes 64 to 127, programmed at the factory (77h)
};

// Reads the sector protection and lockdown registers and the unique ID, each
// read twice and kept only when both reads agree. False, with lastMessage
// set, when they keep disagreeing.
bool AT45DB041D_ReadSectors(DataFlashSectors& sectors);

// The sectors a register marks, by name ("0a 0b 3"), or "none".
QString dataFlashSectorNames(const std::uint8_t (&reg)[kDataFlashMaxSectors]);

enum class DataFlashProtection { Off, On };

// Enable or Disable Sector Protection (3D 2A 7F A9 / 3D 2A 7F 9A), then a
// confirmed status read. False, with the reason and what to do in
// lastMessage, when the chip stays as it was: for Off, WP# held low keeps the
// protection on, or sectors locked down can never be written again.
bool AT45DB041D_SetSectorProtection(DataFlashProtection wanted);

// Programs the one-time page-size register for 256-byte pages, unless the chip
// already uses them.
bool AT45DB041D_SetBinaryPageSize();

// Sets the page size of the chip in use: binary (power-of-two) pages or the
// DataFlash layout. The E series switches both ways, in force at once; the
// D series only to binary pages, once and for good, in force after a power
// cycle. False, with lastMessage saying why, when the chip cannot go that
// way or does not become ready. changed, when given, says whether a command
// was sent (false when the size was in force already).
bool AT45DB_SetPageSize(bool binary, bool* changed = nullptr);

// Erases the whole chip and waits for it to finish. The erase cannot be cut
// short: a stop requested meanwhile is answered through run.stopDeferred.
bool AT45DB041D_ChipErase(const DataFlashRun& run = {});

// Fills SRAM buffer 1 from address 0 with one page of data.
void AT45DB041D_Buffer1Write(const std::uint8_t* data, bool pageSize256);

// Writes one page through buffer 1 (with built-in erase) and waits for it.
bool AT45DB041D_ProgramPage(std::uint32_t page, const std::uint8_t* data, bool pageSize256);

// Reads one main-memory page into buf (at least 264 bytes).
void AT45DB041D_MainMemoryPageRead(std::uint32_t page, std::uint8_t* buf, bool pageSize256);

// Reads SRAM buffer 1 from address 0 into buf (at least 264 bytes).
void AT45DB041D_Buffer1Read(std::uint8_t* buf, bool pageSize256);

// An input file read whole into memory. What is programmed and verified is
// this copy: a file emptied, replaced or growing on disk meanwhile cannot
// change what the chip receives.
struct DataFlashImage {
    std::vector<std::uint8_t> bytes;
    bool pageSize256 = false; // the page layout it was checked for

    unsigned pageLength() const { return dataFlashPageLength(pageSize256); }
    // Pages the file occupies.
    std::uint32_t pages() const;
    // The file's own bytes in a page: the page length, less on the last page.
    unsigned fileBytesIn(std::uint32_t page) const;
    // Copies one page into out (pageLength() bytes), the last page padded
    // with zero bytes past the file's end.
    void copyPage(std::uint32_t page, std::uint8_t* out) const;
};

// The page size a file is checked for and laid out in.
enum class DataFlashLayout {
    PageSizeInForce, // the chip's page size now, from its status register
    Pages256,        // 256-byte pages, whatever is in force: for a job that writes only once they are
};

// What a verify compares past the file's end in its last page.
enum class DataFlashPadding {
    Zeros,   // the zero bytes a write puts there
    Ignored, // nothing: only the file's bytes (another tool may have left 0xFF there)
};

// After a file operation refused its file or could not read it: why, in the
// system's words or saying what the file is ("Permission denied", "it is
// empty"); empty otherwise. lastMessage keeps the driver's own text; front
// ends can add this one with the file's name. Emptied with lastMessage.
extern QString lastFileReason;

// Reads the page size in force (one status read), checks that the file is a
// regular, non-empty file that fits the chip in the layout asked for, and
// reads it whole into image, before anything on the chip is changed. The file
// is opened once, without blocking: a folder, named pipe or device is refused
// at once. False, with the reason in lastMessage and lastFileReason.
bool AT45DB041D_LoadFile(const char* path, DataFlashImage& image,
                         DataFlashLayout layout = DataFlashLayout::PageSizeInForce);

// The same checks, keeping nothing: whether the file can be written.
bool AT45DB041D_CheckFile(const char* path);

// Programs a whole file into the chip from page 0, the last page padded with
// zero bytes, in the page size in force.
bool AT45DB041D_WriteFile(const char* path);

// Programs a loaded file the same way. Refused, before anything is sent but a
// status read, when the page size in force is not the one it was checked for;
// so are the other image operations below.
bool AT45DB041D_WriteImage(const DataFlashImage& image);

// How far the fast path checks what it programs.
enum class DataFlashCheck {
    // Every page proven on the chip: a second, independent transfer of its
    // data into the other buffer, compared equal with the page by the chip.
    // A page that differs is erased, programmed and proven again.
    Proven,
    // Programmed and not checked.
    Unchecked,
};

// What a write does with sectors after the image that are locked down for
// good (the chip erase cannot clear them).
enum class DataFlashLocked {
    Refuse, // the write is refused before anything changes
    Keep,   // accepted as they are: they keep what they hold, and are not proven blank
};

// Reads the lockdown register (two reads alike) and checks that the chip can
// end holding the image followed by erased pages. False, naming the sectors
// and what to do, when a sector the image needs is locked down, or one after
// it unless locked is Keep; locked, when given, then receives one flag per
// page of the chip, set for the pages after the image kept as they are.
// Changes nothing: a job calls it before the erase.
bool AT45DB041D_CheckLockdown(const DataFlashImage& image, DataFlashLocked locked,
                              std::vector<bool>* keptPages = nullptr);

// Programs an image into a chip that has just been erased, from page 0, the
// last page zero-padded. Pages of 0xFF are left as the erase left them (and,
// when proving, compared with buffers of 0xFF). The two SRAM buffers share
// the work: while the chip programs from one, the other takes the next
// transfer. Progress counts pages proven (or, when unchecked, programmed).
// Stops at the first page that cannot be written, naming it and what the
// evidence blames: the wire to the chip, the wire from it, or the flash.
// When proving, every page after the image is then proven blank (compared
// with buffers of 0xFF), but for sectors locked down that locked accepts; a
// page that is not blank is erased and proven again.
bool AT45DB041D_ProgramImage(const DataFlashImage& image, DataFlashCheck check, const DataFlashRun& run = {},
                             DataFlashLocked locked = DataFlashLocked::Refuse);

// After an image written and verified on another path (the window's): every
// page after it proven blank as AT45DB041D_ProgramImage proves them.
bool AT45DB041D_ProveErasedAfter(const DataFlashImage& image, DataFlashLocked locked = DataFlashLocked::Refuse,
                                 const DataFlashRun& run = {});

// The same for a file, loaded for the page size in force.
bool AT45DB041D_ProgramFile(const char* path, DataFlashCheck check, const DataFlashRun& run = {});

// Refused before the erase when a sector is locked down for good. Erases
// the whole chip, then proves every page blank: compared with a
// buffer of 0xFF (and, so that the compare is known to have run, with one
// whose first byte is 0x00), both filled once. A page that is not blank is
// erased and programmed blank, then proven again. Progress counts pages
// proven.
bool AT45DB041D_EraseAndProve(const DataFlashRun& run = {});

// Leaves the chip holding the image from page 0, the last page zero-padded,
// by changing only the pages that differ: each page is tested with one
// transfer and the chip's compare; a page that differs is programmed with
// built-in erase and proven like the fast path's pages. Pages after the
// image are left as they are. changed, when given, receives the number of
// pages programmed. Progress counts pages tested.
bool AT45DB041D_UpdateImage(const DataFlashImage& image, const DataFlashRun& run = {}, unsigned* changed = nullptr);

// Reads the whole chip, every page in the page size in force (524288 or
// 540672 bytes), each page proven: the bytes read are written back into a
// buffer and compared with the page by the chip, and read again when they
// differ. Fails, naming the page and the wire the evidence blames, when a
// page cannot be proven; a chip that stops answering is a failure too.
bool AT45DB041D_ReadChip(std::vector<std::uint8_t>& contents, const DataFlashRun& run = {});

// The same from page 0 on, for as long as the pages read leave enough(data,
// bytes) false: asked before each page after the first with the bytes read so
// far, true ends the read there and contents holds those pages. Each page is
// proven as a whole chip's read proves it.
bool AT45DB041D_ReadChipUntil(std::vector<std::uint8_t>& contents,
                              const std::function<bool(const std::uint8_t* data, std::size_t bytes)>& enough,
                              const DataFlashRun& run = {});

// Where a verify found the chip different from the image.
struct DataFlashDifference {
    std::uint32_t page = 0;
    unsigned offset = 0;       // first differing byte within the page
    std::uint8_t onChip = 0;   // what the chip holds there
    std::uint8_t expected = 0; // what the image has there
};

// Compares every page the image occupies with the chip: per page one
// transfer into a buffer and the chip's own compare. A difference is
// confirmed (a fresh transfer and compare, then two reads of the page that
// agree) before it is reported with "Verification failed: page N does not
// hold what the file has there!"; difference, when given, receives where.
// A chip that stops answering fails the verify.
bool AT45DB041D_VerifyImage(const DataFlashImage& image, DataFlashPadding padding, const DataFlashRun& run = {},
                            DataFlashDifference* difference = nullptr);

// The same for a file, in the page size in force, the last page's zero
// padding included (as AT45DB041D_WriteFile leaves it).
bool AT45DB041D_VerifyFile(const char* path, const DataFlashRun& run = {});

// Bit errors seen on one wire of the cable, among the bits that crossed it.
struct DataFlashWireCount {
    std::uint64_t errors = 0;
    std::uint64_t bits = 0;
};

// What a measurement of the cable found on each wire.
struct DataFlashCable {
    DataFlashWireCount toChip;   // SI
    DataFlashWireCount fromChip; // SO
};

// Measures both wires on the chip that is there without changing its flash:
// patterns written into SRAM buffer 1 and each read back several times (an
// error on the wire to the chip repeats in every read of the buffer; one on
// the wire from the chip does not), and long status reads, a byte the chip
// repeats. While it measures, sector protection is on and the buffer writes
// carry the address of a page in a protected or locked-down sector, so that
// a write noise turned into a program changes nothing; protection is then set
// back as it was. Progress counts buffer fills and status reads. False, with
// lastMessage, when the chip cannot be kept safe (no sector the protection or
// lockdown register marks; protection that does not go on, or off again
// afterwards) or a stop was asked for.
bool AT45DB041D_MeasureCable(DataFlashCable& cable, const DataFlashRun& run = {});

// The error rate a wire has at most, with 95 % confidence, from its count
// (the Poisson bound: 3 / bits when no error was seen).
double dataFlashRateBound(const DataFlashWireCount& count);
