// A simulated AT45DB DataFlash (an AT45DB041D unless told another row of the
// chip table) wired to a parallel port, packaged as a port
// I/O library (Inp32/Out32) so that Pagekiln reaches it through the same
// loading path as the real port. It decodes chip select, clock and data from
// the data-register writes at its base address and answers reads of the status
// register with SO on bit 7, inverted as the port hardware does.
//
// This header is the control interface for tests and tools that link the
// library directly; Pagekiln itself only sees Inp32 and Out32.
#pragma once

#include "chips.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#define SIMCHIP_EXPORT __declspec(dllexport)
#define SIMCHIP_CALL __stdcall
#else
#define SIMCHIP_EXPORT __attribute__((visibility("default")))
#define SIMCHIP_CALL
#endif

extern "C" {
SIMCHIP_EXPORT short SIMCHIP_CALL Inp32(short port);
SIMCHIP_EXPORT void SIMCHIP_CALL Out32(short port, short data);
// 0 when configured to act as a port library whose driver is not open.
SIMCHIP_EXPORT int SIMCHIP_CALL IsInpOutDriverOpen();
}

namespace simchip {

struct Config {
    Config();
    // The chip modelled: its ID, geometry, status bytes and series
    // (PAGEKILN_SIM_CHIP=AT45DB161E); the AT45DB041D by default.
    const DataFlashChip* chip;
    std::uint16_t base = 0x378;     // data register of the port the chip hangs on
    bool present = true;            // false: nothing attached, SO never driven
    bool pageSize256 = false;       // page-size register programmed at the factory
    // Sector protection enabled at power-up. The software-controlled
    // protection is volatile: Enable and Disable Sector Protection (3D 2A
    // 7F A9 / 9A) change it until the next power-up.
    bool protect = false;
    // WP# held low: protection in force whatever the commands say, and
    // Disable Sector Protection ignored (PAGEKILN_SIM_WP_LOW).
    bool writeProtectLow = false;
    // The non-volatile sector protection register (read with 32h): a byte per
    // sector, 0xFF for a sector protected while protection is on; sector 0's
    // byte marks 0a with C0 and 0b with 30. Erased (every sector marked) by
    // default, as a new chip's.
    std::uint8_t protection[kDataFlashMaxSectors];
    // The sector lockdown register (35h), the same layout: a locked sector
    // refuses program and erase for good (PAGEKILN_SIM_LOCKDOWN).
    std::uint8_t lockdown[kDataFlashMaxSectors] = {};
    // Bytes 64 to 127 of the security register (77h): the unique ID
    // programmed at the factory (PAGEKILN_SIM_UNIQUE_ID).
    std::uint8_t uniqueId[64] = {};
    // Manufacturer and device ID, the chip's own unless PAGEKILN_SIM_ID gives
    // 8 or 10 hexadecimal digits.
    std::uint8_t id[kDataFlashIdLength] = {};
    unsigned idLength = 0;
    long stopAfterCommands = -1;    // stops answering after this many commands (-1: never)
    long silentFrames = -1;         // then answers again after ignoring this many frames (-1: never)
    bool driverOpen = true;         // false: reports its port driver closed (or PAGEKILN_SIM_DRIVER_CLOSED=1)
    std::string imagePath;          // flash contents and one-time state; empty: memory only
    // A text log of every frame, one line each ("frame OPCODE BYTES EXTRABITS
    // answered|ignored"), and at exit "noise si N so M" (bits the random
    // noise flipped on each wire) and "end released" or "end selected"
    // (PAGEKILN_SIM_FRAME_LOG); for checking a program from outside.
    std::string frameLogPath;

    // A cell fault: these bits of one byte of one page read 0 after any
    // program or erase that touches the page (PAGEKILN_SIM_STUCK=PAGE:OFFSET:MASK);
    // an E-series chip then reports EPE.
    struct StuckBits {
        long page = -1;             // -1: no stuck bits
        unsigned offset = 0;        // byte within the page
        std::uint8_t mask = 0;
    } stuck;
    // Data-line noise: buffer writes are counted from power-up (0 first); in
    // count of them from the given one, the byte at offset reaches the buffer
    // with the mask's bits flipped (PAGEKILN_SIM_NOISE=FRAME:OFFSET:MASK[:COUNT]).
    struct Noise {
        long bufferWrite = -1;      // -1: a clean line
        unsigned offset = 0;
        std::uint8_t mask = 0;
        long count = 1;
    } noise;

    // A command turned into another on the wire: the nth frame (0 first,
    // counted from power-up) that starts with opcode arrives with the mask's
    // bits of its opcode flipped, and addressMask's of its three address
    // bytes (PAGEKILN_SIM_MUTATE=OPCODE:NTH:MASK[:ADDRESSMASK], hex opcode
    // and masks).
    struct Mutation {
        std::uint8_t opcode = 0;
        long nth = -1;              // -1: no mutation
        std::uint8_t mask = 0;
        std::uint32_t addressMask = 0; // and these bits of its three address bytes
    } mutation;

    // A command the chip does not take, as it ignores a frame damaged on
    // the wire: the nth frame (0 first, counted from power-up) that starts
    // with opcode is clocked in and then ignored
    // (PAGEKILN_SIM_IGNORE=OPCODE:NTH, hex opcode).
    struct Ignored {
        std::uint8_t opcode = 0;
        long nth = -1;              // -1: every command is taken
    } ignored;

    // Random bit errors on the wires, as on a long unshielded cable: each SI
    // bit the chip samples and each SO bit the port reads is flipped with
    // this probability (PAGEKILN_SIM_NOISE_SI, PAGEKILN_SIM_NOISE_SO), from a
    // generator seeded with seed (PAGEKILN_SIM_SEED): the same bits clocked meet the same flips.
    double noiseSi = 0.0;
    double noiseSo = 0.0;
    std::uint64_t seed = 1;

    // Busy times in microseconds, datasheet-typical by default.
    long pageEraseProgramUs = 14000; // buffer to page with built-in erase
    long pageProgramUs = 2000;       // buffer to page without erase
    long configureUs = 14000;        // page-size configuration
    long chipEraseUs = 3000000;      // whole chip
    long compareUs = 200;            // page to buffer compare
    // Time spent inside every Inp32/Out32 call, in nanoseconds: a real
    // parallel port's bus cycle is about 1000 (PAGEKILN_SIM_IO_NS).
    long ioNs = 0;

    void setBusyTimes(long microseconds); // every busy time at once (0 for fast tests)
};

// Whether a sector register (protection or lockdown layout) of chip marks
// the sector holding page: 0a (pages 0 to 7), 0b (the rest of sector 0),
// then the chip's sectors.
bool sectorMarked(const DataFlashChip& chip, const std::uint8_t (&reg)[kDataFlashMaxSectors], unsigned page);

// The configuration the library starts with when it is first used without
// reset(): defaults overridden by the PAGEKILN_SIM_* environment variables.
Config configFromEnvironment();

// Powers the chip up with this configuration; memory and one-time state come
// from the image file when it exists, else an erased chip.
void reset(const Config& config);
// Removes power and restores it: buffers are lost, memory and the page-size
// register are kept, and a programmed page-size register now takes effect.
void powerCycle();

const DataFlashChip& chipModelled();
unsigned pages();            // of the chip modelled
unsigned physicalPageSize(); // its DataFlash page length
bool pageSize256();          // binary page size in force
bool pageSizeConfigured();   // one-time register programmed (in force after a power cycle)
bool busy();
unsigned pageLength();       // binary or DataFlash, as in force

std::vector<std::uint8_t> physicalPage(unsigned page);          // all physicalPageSize() bytes
std::vector<std::uint8_t> page(unsigned page);                  // pageLength() bytes
void setPage(unsigned page, const std::vector<std::uint8_t>& bytes); // preset, no busy time
std::vector<std::uint8_t> contents();                           // every page, pageLength() each

// One chip-select frame: the bytes clocked in on SI, whether it ended on a
// byte boundary, and whether the chip was answering (a chip that stopped
// answering still has the frames on its pins; it just ignores them).
struct Frame {
    std::vector<std::uint8_t> in;
    unsigned extraBits = 0;
    bool answered = true;
    bool whileBusy = false; // chip select rose while the chip was busy
};
void setFrameLog(bool enabled);
std::vector<Frame> frames();
void clearFrames();
// Called after each frame the chip has answered, once it has acted on it.
void setFrameHook(std::function<void(const Frame&)> hook);

// Every port access, in order.
struct PortAccess {
    bool write;
    std::uint16_t port;
    std::uint8_t value;
};
void setPortTrace(bool enabled);
std::vector<PortAccess> portTrace();
void clearPortTrace();

// The chip on an SPI controller rather than a port: chip select driven by
// the controller, and whole bytes clocked in SPI mode 0, most significant
// bit first, SO sampled on each rising edge. The same decoding as through
// the port, noise included.
void spiSelect(bool select);
// Clocks length bytes out of out (0xFF where null) and into in (unless null).
void spiTransfer(const std::uint8_t* out, std::uint8_t* in, std::size_t length);

// Port accesses (Inp32 and Out32 calls) since the last reset().
std::uint64_t portAccesses();

// Bits the random noise flipped on each wire since the last reset().
struct NoiseFlips {
    std::uint64_t si = 0; // towards the chip
    std::uint64_t so = 0; // from the chip
};
NoiseFlips noiseFlips();

// True when the environment variable is set to anything but "" or "0".
bool envFlag(const char* name);

} // namespace simchip
