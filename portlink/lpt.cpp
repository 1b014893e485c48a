#include "lpt.h"

#include "platform.h"

std::int16_t lptBase = 0;

namespace {

using Inp32Function = short(PORT_CALL*)(short port);
using Out32Function = void(PORT_CALL*)(short port, short data);
// Optional entry points. inpout32 exports IsInpOutDriverOpen (0 when its
// kernel driver could not be installed or opened); Pagekiln's Linux port
// library adds the two texts saying why, or why a given port is out of reach.
using DriverOpenFunction = int(PORT_CALL*)();
using DriverProblemFunction = const char*(PORT_CALL*)();
using PortProblemFunction = const char*(PORT_CALL*)(short base);

PlatformLibrary portLibrary = nullptr;
Inp32Function inp32 = nullptr;
Out32Function out32 = nullptr;
PortProblemFunction portProblem = nullptr;
std::string driverProblem;

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

template <typename Function>
Function resolve(const char* symbol)
{
    return reinterpret_cast<Function>(platformResolve(portLibrary, symbol));
}

// True unless the library reports its port driver closed; then the reason is
// kept in driverProblem.
bool driverIsOpen()
{
    const auto isOpen = resolve<DriverOpenFunction>("IsInpOutDriverOpen");
    if (!isOpen || isOpen())
        return true;
    const auto why = resolve<DriverProblemFunction>("InpOutDriverProblem");
    const char* text = why ? why() : nullptr;
    driverProblem = text && *text ? text : platformPortDriverAdvice();
    return false;
}

} // namespace

bool LPT_LoadDriver()
{
    return LPT_LoadDriverFrom(platformPortLibraryName());
}

bool LPT_LoadDriverFrom(const char* fileName)
{
    LPT_UnloadDriver();
    driverProblem.clear();
    portLibrary = platformLoadLibrary(fileName);
    if (!portLibrary)
        return false;
    inp32 = resolve<Inp32Function>("Inp32");
    out32 = resolve<Out32Function>("Out32");
    if (!inp32 || !out32) {
        // A library without both entry points is of no use: let it go rather
        // than keep half of it.
        driverProblem = "It lacks the Inp32 or Out32 entry point, so it is not a port I/O library.";
        LPT_UnloadDriver();
        return false;
    }
    if (!driverIsOpen()) {
        LPT_UnloadDriver();
        return false;
    }
    portProblem = resolve<PortProblemFunction>("InpOutPortProblem");
    return true;
}

std::string LPT_DriverProblem()
{
    return driverProblem;
}

std::string LPT_PortProblem()
{
    const char* text = portProblem ? portProblem(lptBase) : nullptr;
    return text ? text : "";
}

void LPT_UnloadDriver()
{
    if (portLibrary)
        platformFreeLibrary(portLibrary);
    portLibrary = nullptr;
    inp32 = nullptr;
    out32 = nullptr;
    portProblem = nullptr;
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

// Timing on a real port: every port access is one I/O bus cycle, about a
// microsecond (0.5 to 2), so each line change below is held for at least that
// long. The AT45DB041D (a 66 MHz part) needs SI set up and held a few
// nanoseconds around each rising edge and SCK high and low for under 10 ns
// each, and drives SO within about 10 ns of a falling edge: every margin is
// met a hundred times over. Chip select changes only in its own writes, at
// least a bus cycle after the last rising edge; releasing the chip after a
// block also brings the clock down, which a deselected chip ignores.

// Two writes per bit. The first lowers the clock (the falling edge of the
// previous bit, if the clock was high) and sets SI in the same write: the
// chip sampled the previous bit a full bus cycle before, so SI may change
// with the falling edge. The second raises the clock with SI unchanged, a bus
// cycle after it was set: the chip samples it on that rising edge.
void LPT_SpiWriteBytes(const std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t out = data[i];
        for (int bit = 7; bit >= 0; --bit) {
            const std::uint8_t lines = (out >> bit) & 1 ? kDataToChip : 0;
            writeData(lines);          // clock low, SI set up
            writeData(lines | kClock); // rising edge: the chip samples SI
        }
    }
}

// Three accesses per bit, SI held high. The falling edge makes the chip
// shift its next bit onto SO; a bus cycle later the bit has long settled and
// is read; the rising edge ends the bit. After the command's last rising edge
// (clock high) the first write here is the falling edge that brings out the
// reply's first bit; after LPT_SpiTransferByte (clock low, that edge already
// made) it changes nothing and the first bit is already on SO.
void LPT_SpiReadBytes(std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t in = 0;
        for (int bit = 7; bit >= 0; --bit) {
            writeData(kDataToChip); // clock low: the chip drives its next bit
            const std::uint8_t status = readStatus();
            writeData(kDataToChip | kClock);
            // The port inverts BUSY: a 0 in bit 7 means SO is high.
            if (!(status & kDataFromChip))
                in |= static_cast<std::uint8_t>(1u << bit);
        }
        data[i] = in;
    }
}
