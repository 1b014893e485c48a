// The AT45DB DataFlash family as data: one row per chip, every figure from
// the chip's datasheet (named beside its row). The driver takes the geometry
// and the times of the chip in use from here and from nowhere else. Plain
// C++, shared with the simulated chip.
#pragma once

#include <cstddef>
#include <cstdint>

enum class DataFlashSeries {
    D, // one status byte; the page size goes to binary once, for good, after a power cycle
    E, // two status bytes (the second with EPE); the page size switches both ways at once
};

// A datasheet time: typical and maximum, in microseconds.
struct DataFlashTime {
    unsigned typicalUs;
    unsigned maxUs;
};

struct DataFlashChip {
    const char* name;
    // What Manufacturer and Device ID Read (9Fh) gives: 1F, the two device
    // ID bytes, the length of the extended device information, and (on the
    // E series) its one byte.
    std::uint8_t id[5];
    unsigned idLength;           // 4, or 5 with one byte of extended information
    std::uint8_t densityCode;    // status register bits 5..2, in place (mask 3Ch)
    unsigned pages;
    unsigned binaryPageLength;   // power-of-two pages
    unsigned dataflashPageLength; // the DataFlash layout, as shipped
    unsigned pageAddressBits;
    unsigned buffers;            // SRAM buffers: 2, or buffer 1 only
    unsigned sectors;            // bytes of the sector registers: sector 0 (0a and 0b), 1, ...
    unsigned sectorPages;        // pages of sector 1 on; 0a is 8 pages, 0b the rest of sector 0
    DataFlashSeries series;
    DataFlashTime pageEraseProgram; // tEP: buffer to page program with built-in erase
    DataFlashTime pageProgram;      // tP: buffer to page program without erase
    DataFlashTime transfer;         // tXFR: page to buffer transfer or compare
    DataFlashTime chipErase;        // tCE
    const char* source;             // the datasheet the row comes from
};

// The sector registers are this long at most (the AT45DB321D's and E's).
constexpr unsigned kDataFlashMaxSectors = 64;
// The longest page (AT45DB642D): fixed-size page buffers hold this much.
constexpr unsigned kDataFlashMaxPageLength = 1056;
// The longest ID the table holds.
constexpr unsigned kDataFlashIdLength = 5;

// The rows, in order of series and size.
extern const DataFlashChip kDataFlashChips[];
extern const std::size_t kDataFlashChipCount;

// The row whose ID the bytes start with (bytes holds kDataFlashIdLength);
// null when none does.
const DataFlashChip* findDataFlashChip(const std::uint8_t* bytes);
// The row of that name (AT45DB161E, any case); null when none.
const DataFlashChip* findDataFlashChipNamed(const char* name);

// The chip the driver works on: the AT45DB041D until a probe of the
// command line finds another (the window never changes it).
const DataFlashChip& dataFlashChip();
void useDataFlashChip(const DataFlashChip& chip);

// The page length in force: binary or DataFlash layout.
inline unsigned pageLengthOf(const DataFlashChip& chip, bool binaryPages)
{
    return binaryPages ? chip.binaryPageLength : chip.dataflashPageLength;
}

// Bits of the byte address within a page: 8 to 11.
unsigned byteAddressBitsOf(const DataFlashChip& chip, bool binaryPages);

// The sector (register byte, 0 for 0a and 0b) holding page, and whether it
// is 0a.
unsigned sectorOf(const DataFlashChip& chip, std::uint32_t page, bool* sector0a = nullptr);

// A wait's bound from a datasheet maximum: ten times it, at least floorMs.
unsigned boundMs(const DataFlashTime& time, unsigned floorMs = 1);
