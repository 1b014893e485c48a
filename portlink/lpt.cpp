#include "lpt.h"

#include "platform.h"

std::int16_t lptBase = 0;

namespace {

using Inp32Function = short(PORT_CALL*)(short port);
using Out32Function = void(PORT_CALL*)(short port, short data);

PlatformLibrary portLibrary = nullptr;
Inp32Function inp32 = nullptr;
Out32Function out32 = nullptr;

// Pin-out. Every write to the data register sets all eight lines at once.
// Data register (lptBase), driven towards the chip:
constexpr std::uint8_t kChipReleased = 0x01; // D0, pin 2: CS#, active low
constexpr std::uint8_t kClock = 0x02;        // D1, pin 3: SCK
constexpr std::uint8_t kDataToChip = 0x04;   // D2, pin 4: SI
constexpr std::uint8_t kStartMarker = 0x80;  // D7, pin 9: high only in the start pattern
// Status register (lptBase + 1), read from the chip:
constexpr std::uint8_t kDataFromChip = 0x80; // BUSY, pin 11: SO, inverted by the port hardware

std::int16_t statusPort()
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(lptBase) + 1u);
}

void writeData(std::uint8_t lines)
{
    out32(lptBase, lines);
}

std::uint8_t readStatus()
{
    return static_cast<std::uint8_t>(inp32(statusPort()));
}

} // namespace

bool LPT_LoadDriver()
{
    return LPT_LoadDriverFrom(platformPortLibraryName());
}

bool LPT_LoadDriverFrom(const char* fileName)
{
    LPT_UnloadDriver();
    portLibrary = platformLoadLibrary(fileName);
    if (!portLibrary)
        return false;
    inp32 = reinterpret_cast<Inp32Function>(platformResolve(portLibrary, "Inp32"));
    out32 = reinterpret_cast<Out32Function>(platformResolve(portLibrary, "Out32"));
    if (!inp32 || !out32) {
        // A library without both entry points is of no use: let it go rather
        // than keep half of it.
        LPT_UnloadDriver();
        return false;
    }
    return true;
}

void LPT_UnloadDriver()
{
    if (portLibrary)
        platformFreeLibrary(portLibrary);
    portLibrary = nullptr;
    inp32 = nullptr;
    out32 = nullptr;
}

void LPT_WriteStartPattern()
{
    writeData(kStartMarker | kChipReleased);
}

void LPT_SetChipSelect(bool high)
{
    writeData(high ? kChipReleased : 0);
}

std::uint8_t LPT_SpiTransferByte(std::uint8_t out)
{
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
        // CS# stays low (selected) in every write of the byte.
        const std::uint8_t data = (out >> bit) & 1 ? kDataToChip : 0;
        writeData(data);          // clock low, data set up
        writeData(data | kClock); // rising edge: the chip samples SI
        const std::uint8_t status = readStatus();
        writeData(data);          // falling edge: the chip shifts out its next bit
        // The port inverts BUSY: a 0 in bit 7 means SO is high.
        if (!(status & kDataFromChip))
            in |= static_cast<std::uint8_t>(1u << bit);
    }
    return in;
}
