// The AT45DB family table. Device ID byte 1 is the family (001, DataFlash)
// and the density (bits 4..0); the status register's density code (bits
// 5..2) tells the same density a second way. Times are the datasheets'
// "Program and Erase Characteristics"; where a D-series datasheet gives no
// chip erase time, the row takes its sector erase time (tSE) once per sector.
#include "chips.h"

#include <cctype>
#include <cstring>

namespace {

constexpr DataFlashTime ms(unsigned typical, unsigned max) { return { typical * 1000, max * 1000 }; }
constexpr DataFlashTime us(unsigned typical, unsigned max) { return { typical, max }; }

using S = DataFlashSeries;

} // namespace

// clang-format off
const DataFlashChip kDataFlashChips[] = {
    //  name          ID                              len density pages  bin  df    bits buf sectors pages/sector
    { "AT45DB011D", { 0x1F, 0x22, 0x00, 0x00, 0x00 }, 4, 0x0C,   512,  256,  264,  9, 1,  4, 128, S::D,
      ms(14, 35), ms(2, 4), us(200, 200), ms(4 * 800, 4 * 2500), "Atmel 3639 (AT45DB011D)" },
    { "AT45DB021D", { 0x1F, 0x23, 0x00, 0x00, 0x00 }, 4, 0x14,  1024,  256,  264, 10, 1,  8, 128, S::D,
      ms(14, 35), ms(2, 4), us(200, 200), ms(8 * 800, 8 * 2500), "Atmel 3638 (AT45DB021D)" },
    { "AT45DB041D", { 0x1F, 0x24, 0x00, 0x00, 0x00 }, 4, 0x1C,  2048,  256,  264, 11, 2,  8, 256, S::D,
      ms(14, 35), ms(2, 4), us(200, 200), ms(8 * 400, 8 * 2500), "Atmel 3595 (AT45DB041D)" },
    { "AT45DB081D", { 0x1F, 0x25, 0x00, 0x00, 0x00 }, 4, 0x24,  4096,  256,  264, 12, 2, 16, 256, S::D,
      ms(14, 35), ms(2, 4), us(200, 200), ms(16 * 800, 16 * 2500), "Atmel 3596 (AT45DB081D)" },
    { "AT45DB161D", { 0x1F, 0x26, 0x00, 0x00, 0x00 }, 4, 0x2C,  4096,  512,  528, 12, 2, 16, 256, S::D,
      ms(17, 40), ms(3, 6), us(200, 300), ms(16 * 1600, 16 * 5000), "Atmel 3500 (AT45DB161D)" },
    { "AT45DB321D", { 0x1F, 0x27, 0x01, 0x00, 0x00 }, 4, 0x34,  8192,  512,  528, 13, 2, 64, 128, S::D,
      ms(17, 40), ms(3, 6), us(200, 300), ms(64 * 800, 64 * 2500), "Atmel 3597 (AT45DB321D)" },
    { "AT45DB642D", { 0x1F, 0x28, 0x00, 0x00, 0x00 }, 4, 0x3C,  8192, 1024, 1056, 13, 2, 32, 256, S::D,
      ms(17, 40), ms(3, 6), us(200, 400), ms(32 * 1600, 32 * 5000), "Atmel 3542 (AT45DB642D)" },
    { "AT45DB021E", { 0x1F, 0x23, 0x00, 0x01, 0x00 }, 5, 0x14,  1024,  256,  264, 10, 1,  8, 128, S::E,
      ms(8, 25), ms(2, 4), us(200, 200), ms(3000, 5000), "Adesto DS-45DB021E (AT45DB021E)" },
    { "AT45DB041E", { 0x1F, 0x24, 0x00, 0x01, 0x00 }, 5, 0x1C,  2048,  256,  264, 11, 2,  8, 256, S::E,
      ms(8, 25), ms(2, 4), us(200, 200), ms(7000, 17000), "Adesto DS-45DB041E (AT45DB041E)" },
    { "AT45DB081E", { 0x1F, 0x25, 0x00, 0x01, 0x00 }, 5, 0x24,  4096,  256,  264, 12, 2, 16, 256, S::E,
      ms(8, 25), ms(2, 4), us(200, 200), ms(10000, 20000), "Adesto DS-45DB081E (AT45DB081E)" },
    { "AT45DB161E", { 0x1F, 0x26, 0x00, 0x01, 0x00 }, 5, 0x2C,  4096,  512,  528, 12, 2, 16, 256, S::E,
      ms(15, 35), ms(3, 6), us(200, 400), ms(22000, 40000), "Adesto DS-45DB161E (AT45DB161E)" },
    { "AT45DB321E", { 0x1F, 0x27, 0x01, 0x01, 0x00 }, 5, 0x34,  8192,  512,  528, 13, 2, 64, 128, S::E,
      ms(15, 35), ms(3, 6), us(200, 400), ms(40000, 80000), "Adesto DS-45DB321E (AT45DB321E)" },
    { "AT45DB641E", { 0x1F, 0x28, 0x00, 0x01, 0x00 }, 5, 0x3C, 32768,  256,  264, 15, 2, 32, 1024, S::E,
      ms(10, 35), ms(2, 4), us(200, 400), ms(80000, 208000), "Adesto DS-45DB641E (AT45DB641E)" },
};
// clang-format on
const std::size_t kDataFlashChipCount = sizeof kDataFlashChips / sizeof kDataFlashChips[0];

namespace {

const DataFlashChip* chipInUse = &kDataFlashChips[2]; // AT45DB041D

} // namespace

const DataFlashChip* findDataFlashChip(const std::uint8_t* bytes)
{
    for (const DataFlashChip& chip : kDataFlashChips)
        if (std::memcmp(chip.id, bytes, chip.idLength) == 0)
            return &chip;
    return nullptr;
}

const DataFlashChip* findDataFlashChipNamed(const char* name)
{
    for (const DataFlashChip& chip : kDataFlashChips) {
        std::size_t i = 0;
        while (chip.name[i] && name[i]
               && std::toupper(static_cast<unsigned char>(name[i])) == static_cast<unsigned char>(chip.name[i]))
            ++i;
        if (!chip.name[i] && !name[i])
            return &chip;
    }
    return nullptr;
}

const DataFlashChip& dataFlashChip()
{
    return *chipInUse;
}

void useDataFlashChip(const DataFlashChip& chip)
{
    chipInUse = &chip;
}

unsigned byteAddressBitsOf(const DataFlashChip& chip, bool binaryPages)
{
    unsigned bits = 0;
    while ((1u << bits) < chip.binaryPageLength)
        ++bits;
    return binaryPages ? bits : bits + 1;
}

unsigned sectorOf(const DataFlashChip& chip, std::uint32_t page, bool* sector0a)
{
    page %= chip.pages;
    if (sector0a)
        *sector0a = page < 8;
    return page / chip.sectorPages;
}

unsigned boundMs(const DataFlashTime& time, unsigned floorMs)
{
    const unsigned bound = (time.maxUs * 10 + 999) / 1000;
    return bound > floorMs ? bound : floorMs;
}
