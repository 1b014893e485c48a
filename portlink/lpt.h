// The parallel-port SPI link: makes a PC's standard parallel port act as an SPI
// master for one DataFlash chip, through a port I/O library loaded at run time.
// Knows nothing of the chip's commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// I/O port number of the parallel port's data register; the status register
// is lptBase + 1 (computed in 16 bits). Read at every port access.
extern std::int16_t lptBase;

// Loads the platform's port I/O library by its usual file name and resolves
// Inp32 and Out32. True only when both entry points were found.
bool LPT_LoadDriver();

// The same, for a library given by file name or path.
bool LPT_LoadDriverFrom(const char* fileName);

// Why the last load failed, in words for the user: the library lacks an entry
// point, or its port driver is not open. Empty when the library itself could
// not be loaded, or the load succeeded.
std::string LPT_DriverProblem();

// What the port library can tell about reaching the port at lptBase (no such
// port, no permission to use it). Empty when it has nothing to say.
std::string LPT_PortProblem();

// Releases the port library, if loaded, and forgets its entry points.
void LPT_UnloadDriver();

// Data register 0x81: D7 and D0 high, the chip released, clock and data low.
void LPT_WriteStartPattern();

// Drives chip select (active low): true releases the chip, false selects it.
// Clock, data and D7 go low with it.
void LPT_SetChipSelect(bool high);

// Clocks one byte out on SI while clocking one byte in from SO, most
// significant bit first, SPI mode 0, with the chip held selected.
std::uint8_t LPT_SpiTransferByte(std::uint8_t out);

// Block transfers, SPI mode 0 with the chip held selected, for whole runs of
// bytes in one direction: the same bits on the wire as LPT_SpiTransferByte,
// in fewer port accesses.

// Sends length bytes on SI, most significant bit first, in two data-register
// writes per bit; what the chip sends meanwhile is not read. Leaves the clock
// high: the next transfer's first write, or the release of chip select,
// brings it down.
void LPT_SpiWriteBytes(const std::uint8_t* data, std::size_t length);

// Receives length bytes from SO, most significant bit first, holding SI high
// (0xFF dummies), in two data-register writes and one status read per bit.
// Leaves the clock high, as above.
void LPT_SpiReadBytes(std::uint8_t* data, std::size_t length);
