// The simulated AT45DB DataFlash: wire decoding, command set, busy timing and the
// image file that keeps its non-volatile state.
#include "simchip.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace simchip {
namespace {

using Clock = std::chrono::steady_clock;

// Opcodes the chip understands.
constexpr std::uint8_t kStatusRead = 0xD7;
constexpr std::uint8_t kManufacturerIdRead = 0x9F;
constexpr std::uint8_t kConfigure = 0x3D;          // 3D 2A 80 A6: power-of-two pages (A7 on the E series: DataFlash pages)
constexpr std::uint8_t kChipErase = 0xC7;          // C7 94 80 9A
constexpr std::uint8_t kBuffer1Write = 0x84;
constexpr std::uint8_t kBuffer2Write = 0x87;
constexpr std::uint8_t kBuffer1Read = 0xD4;
constexpr std::uint8_t kBuffer2Read = 0xD6;
constexpr std::uint8_t kBuffer1ToPageWithErase = 0x83;
constexpr std::uint8_t kBuffer2ToPageWithErase = 0x86;
constexpr std::uint8_t kPageProgramThroughBuffer1 = 0x82; // data into buffer 1, then page program with erase
constexpr std::uint8_t kPageProgramThroughBuffer2 = 0x85;
constexpr std::uint8_t kBuffer1ToPageNoErase = 0x88;
constexpr std::uint8_t kBuffer2ToPageNoErase = 0x89;
constexpr std::uint8_t kPageToBuffer1Compare = 0x60;
constexpr std::uint8_t kPageToBuffer2Compare = 0x61;
constexpr std::uint8_t kMainMemoryPageRead = 0xD2;
constexpr std::uint8_t kContinuousArrayRead = 0x0B;
constexpr std::uint8_t kSectorProtectionRegisterRead = 0x32; // 32 xx xx xx, then 8 bytes
constexpr std::uint8_t kSectorLockdownRegisterRead = 0x35;   // 35 xx xx xx, then 8 bytes
constexpr std::uint8_t kSecurityRegisterRead = 0x77;         // 77 xx xx xx, then 128 bytes

constexpr std::uint8_t kPageSizeSequence[4] = { 0x3D, 0x2A, 0x80, 0xA6 };
constexpr std::uint8_t kDataFlashPageSizeSequence[4] = { 0x3D, 0x2A, 0x80, 0xA7 }; // E series only
constexpr std::uint8_t kChipEraseSequence[4] = { 0xC7, 0x94, 0x80, 0x9A };
constexpr std::uint8_t kEnableProtectionSequence[4] = { 0x3D, 0x2A, 0x7F, 0xA9 };
constexpr std::uint8_t kDisableProtectionSequence[4] = { 0x3D, 0x2A, 0x7F, 0x9A };

// Status register bits.
constexpr std::uint8_t kReady = 0x80;
constexpr std::uint8_t kCompareMismatch = 0x40;
constexpr std::uint8_t kProtected = 0x02; // bits 5..2: the chip's density code
constexpr std::uint8_t kPowerOfTwoPages = 0x01;
// E series, second byte.
constexpr std::uint8_t kProgramError = 0x20; // EPE

// Data register lines (as the port link drives them).
constexpr std::uint8_t kChipReleased = 0x01; // D0: CS#, active low
constexpr std::uint8_t kClock = 0x02;        // D1: SCK
constexpr std::uint8_t kDataToChip = 0x04;   // D2: SI
// Status register: bit 7 carries SO, inverted by the port; an undriven line
// is pulled high, so an idle status register reads 0x7F.
constexpr std::uint8_t kIdleStatusRegister = 0x7F;
constexpr std::uint8_t kStatusDataBit = 0x80;

// The buffer commands, by what they do and which SRAM buffer (0 or 1) they use.
enum class BufferOp { None, Write, Read, ProgramWithErase, ProgramNoErase, ProgramThrough, Compare };
struct BufferCommand {
    BufferOp op = BufferOp::None;
    int buffer = -1;
};

BufferCommand bufferCommand(std::uint8_t opcode)
{
    switch (opcode) {
    case kBuffer1Write: return { BufferOp::Write, 0 };
    case kBuffer2Write: return { BufferOp::Write, 1 };
    case kBuffer1Read: return { BufferOp::Read, 0 };
    case kBuffer2Read: return { BufferOp::Read, 1 };
    case kBuffer1ToPageWithErase: return { BufferOp::ProgramWithErase, 0 };
    case kBuffer2ToPageWithErase: return { BufferOp::ProgramWithErase, 1 };
    case kBuffer1ToPageNoErase: return { BufferOp::ProgramNoErase, 0 };
    case kBuffer2ToPageNoErase: return { BufferOp::ProgramNoErase, 1 };
    case kPageProgramThroughBuffer1: return { BufferOp::ProgramThrough, 0 };
    case kPageProgramThroughBuffer2: return { BufferOp::ProgramThrough, 1 };
    case kPageToBuffer1Compare: return { BufferOp::Compare, 0 };
    case kPageToBuffer2Compare: return { BufferOp::Compare, 1 };
    default: return {};
    }
}

// The simulated cost of one port access: a real port's bus cycle, during
// which the chip's own logic (hardware on a board) costs nothing. Constructed
// on entry, it waits on leaving until the cycle has passed. Cycles are laid
// end to end on a schedule, each starting where the last one ended plus the
// time the caller spent between the two: the spin's overshoot past each
// cycle's end (a clock read, tens of nanoseconds) is a cost of simulating
// the bus, not one a real port has, and is not carried into the next cycle.
class BusCycle {
    using Clock = std::chrono::steady_clock;

public:
    explicit BusCycle(long nanoseconds)
        : nanoseconds(nanoseconds)
    {
        if (nanoseconds <= 0)
            return;
        const Clock::time_point now = Clock::now();
        const Clock::duration caller = now - lastLeft;
        // After a pause longer than a cycle (a sleep, a poll interval) the
        // schedule starts afresh.
        start = caller > std::chrono::nanoseconds(nanoseconds) ? now : scheduledEnd + caller;
    }
    ~BusCycle()
    {
        if (nanoseconds <= 0)
            return;
        const auto until = start + std::chrono::nanoseconds(nanoseconds);
        Clock::time_point now;
        do
            now = Clock::now();
        while (now < until);
        scheduledEnd = until;
        lastLeft = now;
    }

private:
    static inline Clock::time_point scheduledEnd {};
    static inline Clock::time_point lastLeft {};
    long nanoseconds;
    Clock::time_point start;
};

// Random bit errors: a splitmix64 generator, and the number of bits up to
// and including the next flipped one drawn from the geometric distribution,
// so a clean bit costs one decrement.
class Noise {
public:
    void seed(std::uint64_t seed, double rate)
    {
        state = seed;
        p = rate;
        countdown = p > 0 ? draw() : 0;
    }
    // True when this bit is flipped.
    bool flips()
    {
        if (countdown == 0 || --countdown != 0)
            return false;
        ++flipped;
        countdown = draw();
        return true;
    }
    std::uint64_t flipped = 0;

private:
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t draw()
    {
        if (p >= 1.0)
            return 1;
        const double u = (double(next() >> 11) + 1.0) / 9007199254740992.0; // (0, 1]
        return 1 + static_cast<std::uint64_t>(std::floor(std::log(u) / std::log1p(-p)));
    }
    std::uint64_t state = 0;
    double p = 0;
    std::uint64_t countdown = 0; // 0: a clean wire
};

class Chip {
public:
    explicit Chip(const Config& config);
    ~Chip();

    void out(std::uint16_t port, std::uint8_t value);
    std::uint8_t in(std::uint16_t port);
    void spiSelect(bool select);
    std::uint8_t spiByte(std::uint8_t out);

    Config config;
    const DataFlashChip& model;
    const unsigned kPages;            // the chip's geometry
    const unsigned kPhysicalPageSize;
    const std::size_t kMemorySize;
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(kMemorySize, 0xFF);
    std::vector<std::uint8_t> buffers[2] = { std::vector<std::uint8_t>(kPhysicalPageSize, 0xFF),
                                             std::vector<std::uint8_t>(kPhysicalPageSize, 0xFF) };
    bool programError = false;     // E series: the last program or erase failed
    int busyBuffer = -1;           // the buffer the running operation uses, -1 for none
    bool pageSizeRegister = false; // one-time, non-volatile
    bool powerOfTwo = false;       // in force since power-up
    bool compareMismatch = false;
    bool protectionEnabled = false; // software-controlled, volatile
    Clock::time_point busyUntil {};
    unsigned commands = 0;
    long ignoredFrames = 0;
    long bufferWrites = 0;
    long mutationCount = 0;
    long ignoredCount = 0; // frames seen so far that start with config.ignored.opcode
    // A chip erase was taken: busy until a status read has seen it, however
    // short the erase's busy time.
    bool eraseSeenBusy = false;
    bool mutating = false; // the frame being shifted in is the mutated one
    std::uint64_t accesses = 0;
    Noise siNoise, soNoise;

    bool logFrames = false;
    std::vector<Frame> frameLog;
    bool tracePorts = false;
    std::vector<PortAccess> trace;
    std::function<void(const Frame&)> frameHook;
    FILE* frameLogFile = nullptr;

    void powerUp();
    bool isBusy() const { return eraseSeenBusy || Clock::now() < busyUntil; }
    // While a program, transfer or compare runs from one buffer, the other
    // buffer can still be written and read.
    bool allowedWhileBusy(const BufferCommand& command) const
    {
        return (command.op == BufferOp::Write || command.op == BufferOp::Read) && busyBuffer >= 0
               && command.buffer != busyBuffer;
    }
    // A chip with buffer 1 only takes no command for buffer 2.
    bool hasBuffer(const BufferCommand& command) const
    {
        return command.buffer < int(model.buffers);
    }
    unsigned pageLength() const { return pageLengthOf(model, powerOfTwo); }
    bool protectionInForce() const { return protectionEnabled || config.writeProtectLow; }
    // Program and erase of a page are refused when its sector is locked
    // down, or protected while protection is in force.
    bool pageWritable(unsigned page) const
    {
        return !sectorMarked(model, config.lockdown, page)
               && !(protectionInForce() && sectorMarked(model, config.protection, page));
    }
    // The status register's byte n of a continuous read: the one byte again
    // and again, or the E series' two bytes as a pair.
    std::uint8_t statusByte(std::size_t n = 0) const;
    void saveImage(std::size_t offset, std::size_t length);
    void saveConfiguration();

private:
    // Wire state.
    bool selected = false;
    bool clockHigh = false;
    bool answering = false;      // this frame is being served (chip alive)
    std::vector<std::uint8_t> frame;
    std::uint8_t shiftIn = 0;
    unsigned bitsIn = 0;
    bool byteCompleted = false;
    std::uint8_t shiftOut = 0xFF;
    int outBit = 7;
    bool soHigh = true;

    void select();
    void release();
    void risingEdge(bool si);
    void fallingEdge();
    std::uint8_t responseByte() const;
    void execute();
    void beBusyFor(long microseconds, int buffer = -1);
    void applyStuckBits(unsigned page);
    void applyNoise(std::vector<std::uint8_t>& buffer, unsigned length);
    bool decodeAddress(unsigned& page, unsigned& byte) const;
    void loadImage();
};

std::unique_ptr<Chip> theChip;

Chip& chip()
{
    if (!theChip)
        theChip = std::make_unique<Chip>(configFromEnvironment());
    return *theChip;
}

Chip::Chip(const Config& c)
    : config(c)
    , model(*c.chip)
    , kPages(c.chip->pages)
    , kPhysicalPageSize(c.chip->dataflashPageLength)
    , kMemorySize(std::size_t(kPages) * kPhysicalPageSize)
{
    pageSizeRegister = config.pageSize256;
    // Two streams from one seed, so that the noise on one wire does not
    // depend on the rate of the other.
    siNoise.seed(config.seed * 2 + 1, config.noiseSi);
    soNoise.seed(config.seed * 2 + 2, config.noiseSo);
    loadImage();
    powerUp();
    if (!config.frameLogPath.empty())
        frameLogFile = std::fopen(config.frameLogPath.c_str(), "w");
}

Chip::~Chip()
{
    if (!frameLogFile)
        return;
    std::fprintf(frameLogFile, "noise si %llu so %llu\n", static_cast<unsigned long long>(siNoise.flipped),
                 static_cast<unsigned long long>(soNoise.flipped));
    std::fprintf(frameLogFile, "end %s\n", selected ? "selected" : "released");
    std::fclose(frameLogFile);
}

// Power-up state: buffers undefined (0xFF here), idle, and the page size that
// the one-time register holds.
void Chip::powerUp()
{
    for (std::vector<std::uint8_t>& buffer : buffers)
        std::fill(buffer.begin(), buffer.end(), 0xFF);
    busyBuffer = -1;
    powerOfTwo = pageSizeRegister;
    compareMismatch = false;
    protectionEnabled = config.protect;
    busyUntil = {};
    eraseSeenBusy = false;
    commands = 0;
    ignoredFrames = 0;
    bufferWrites = 0;
    mutationCount = 0;
    ignoredCount = 0;
    mutating = false;
    selected = false;
    clockHigh = false;
    soHigh = true;
}

// Image file: the chip's physical pages (2048 of 264 bytes on the
// AT45DB041D), then one byte holding the page-size register (1 when
// programmed for binary pages). An image of another size belongs to another
// chip and is left alone.
void Chip::loadImage()
{
    if (config.imagePath.empty())
        return;
    if (FILE* f = std::fopen(config.imagePath.c_str(), "rb")) {
        std::vector<std::uint8_t> image(kMemorySize + 2, 0xFF);
        const std::size_t got = std::fread(image.data(), 1, image.size(), f);
        std::fclose(f);
        if (got != kMemorySize && got != kMemorySize + 1) {
            // Not an image of ours: leave the file alone and keep memory only.
            std::fprintf(stderr, "simulated chip: %s is not a chip image (%zu bytes); not using it\n",
                         config.imagePath.c_str(), got);
            config.imagePath.clear();
            return;
        }
        std::copy(image.begin(), image.begin() + kMemorySize, memory.begin());
        const bool stored = got == kMemorySize + 1 && image[kMemorySize] == 1;
        pageSizeRegister = pageSizeRegister || stored;
        if (pageSizeRegister != stored || got == kMemorySize)
            saveConfiguration();
        return;
    }
    saveImage(0, kMemorySize);
    saveConfiguration();
}

void Chip::saveImage(std::size_t offset, std::size_t length)
{
    if (config.imagePath.empty())
        return;
    FILE* f = std::fopen(config.imagePath.c_str(), "r+b");
    if (!f)
        f = std::fopen(config.imagePath.c_str(), "w+b");
    if (!f) {
        std::fprintf(stderr, "simulated chip: cannot write its image %s\n", config.imagePath.c_str());
        return;
    }
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    std::fwrite(memory.data() + offset, 1, length, f);
    std::fclose(f);
}

void Chip::saveConfiguration()
{
    if (config.imagePath.empty())
        return;
    if (FILE* f = std::fopen(config.imagePath.c_str(), "r+b")) {
        std::fseek(f, static_cast<long>(kMemorySize), SEEK_SET);
        std::fputc(pageSizeRegister ? 1 : 0, f);
        std::fclose(f);
    }
}

std::uint8_t Chip::statusByte(std::size_t n) const
{
    if (model.series == DataFlashSeries::E && n % 2 == 1) // RDY again, and EPE
        return static_cast<std::uint8_t>((isBusy() ? 0 : kReady) | (programError ? kProgramError : 0));
    std::uint8_t status = model.densityCode;
    if (!isBusy())
        status |= kReady;
    if (compareMismatch)
        status |= kCompareMismatch;
    if (protectionInForce())
        status |= kProtected;
    if (powerOfTwo)
        status |= kPowerOfTwoPages;
    return status;
}

void Chip::out(std::uint16_t port, std::uint8_t value)
{
    const BusCycle cycle(config.ioNs);
    ++accesses;
    if (tracePorts)
        trace.push_back({ true, port, value });
    if (port != config.base || !config.present)
        return;
    const bool csLow = !(value & kChipReleased);
    const bool sck = value & kClock;
    if (csLow && !selected)
        select();
    else if (!csLow && selected)
        release();
    if (selected && sck != clockHigh) {
        clockHigh = sck;
        if (sck)
            risingEdge(value & kDataToChip);
        else
            fallingEdge();
    }
    clockHigh = sck;
}

std::uint8_t Chip::in(std::uint16_t port)
{
    const BusCycle cycle(config.ioNs);
    ++accesses;
    std::uint8_t value = kIdleStatusRegister;
    const bool statusPort = port == static_cast<std::uint16_t>(config.base + 1);
    if (statusPort && selected && answering && !soHigh)
        value |= kStatusDataBit; // SO low reads as bit 7 set
    if (statusPort && selected && soNoise.flips())
        value ^= kStatusDataBit;
    if (tracePorts)
        trace.push_back({ false, port, value });
    return value;
}

void Chip::spiSelect(bool select)
{
    if (!config.present)
        return;
    if (select && !selected)
        this->select();
    else if (!select && selected)
        release();
    clockHigh = false;
}

std::uint8_t Chip::spiByte(std::uint8_t out)
{
    std::uint8_t in = 0;
    for (int bit = 7; bit >= 0; --bit) {
        if (selected)
            risingEdge((out >> bit) & 1);
        // An undriven SO is pulled high.
        bool so = !(selected && answering) || soHigh;
        if (selected && soNoise.flips())
            so = !so;
        if (so)
            in |= static_cast<std::uint8_t>(1u << bit);
        if (selected)
            fallingEdge();
    }
    return in;
}

void Chip::select()
{
    selected = true;
    answering = config.stopAfterCommands < 0 || commands < static_cast<unsigned long>(config.stopAfterCommands)
                || (config.silentFrames >= 0 && ignoredFrames >= config.silentFrames);
    frame.clear();
    shiftIn = 0;
    bitsIn = 0;
    byteCompleted = false;
    shiftOut = 0xFF;
    outBit = 7;
    soHigh = true;
}

void Chip::release()
{
    selected = false;
    soHigh = true;
    const Frame taken { frame, bitsIn, answering, answering && isBusy() };
    if (logFrames)
        frameLog.push_back(taken);
    if (frameLogFile)
        std::fprintf(frameLogFile, "frame %02X %zu %u %s\n", frame.empty() ? 0 : frame[0], frame.size(), bitsIn,
                     answering ? "answered" : "ignored");
    if (!answering) {
        ++ignoredFrames;
        return;
    }
    ++commands;
    if (!frame.empty() && frame[0] == kStatusRead && frame.size() > 1)
        eraseSeenBusy = false;
    if (bitsIn == 0)
        execute();
    if (frameHook)
        frameHook(taken);
}

// The bits on SI are shifted in whether or not the chip answers, so that the
// frame log shows what the master sent to a chip that has gone silent.
void Chip::risingEdge(bool si)
{
    if (siNoise.flips())
        si = !si;
    shiftIn = static_cast<std::uint8_t>((shiftIn << 1) | (si ? 1 : 0));
    if (++bitsIn == 8) {
        if (frame.empty())
            mutating = config.mutation.nth >= 0 && shiftIn == config.mutation.opcode
                       && mutationCount++ == config.mutation.nth;
        if (mutating && frame.empty())
            shiftIn ^= config.mutation.mask;
        else if (mutating && frame.size() <= 3)
            shiftIn ^= static_cast<std::uint8_t>(config.mutation.addressMask >> (8 * (3 - frame.size())));
        frame.push_back(shiftIn);
        shiftIn = 0;
        bitsIn = 0;
        byteCompleted = true;
    }
}

void Chip::fallingEdge()
{
    if (!answering)
        return;
    if (byteCompleted) {
        shiftOut = responseByte();
        outBit = 7;
        byteCompleted = false;
    } else if (outBit > 0) {
        --outBit;
    }
    soHigh = (shiftOut >> outBit) & 1;
}

bool Chip::decodeAddress(unsigned& page, unsigned& byte) const
{
    if (frame.size() < 4)
        return false;
    const std::uint32_t address = (std::uint32_t(frame[1]) << 16) | (std::uint32_t(frame[2]) << 8) | frame[3];
    const unsigned bits = byteAddressBitsOf(model, powerOfTwo);
    page = (address >> bits) & ((1u << model.pageAddressBits) - 1);
    byte = (address & ((1u << bits) - 1)) % kPhysicalPageSize;
    return true;
}

// The byte the chip shifts out while the master clocks frame byte number
// frame.size(); 0xFF (line undriven) where the command sends nothing.
std::uint8_t Chip::responseByte() const
{
    const std::size_t n = frame.size();
    const std::uint8_t opcode = frame[0];
    if (opcode == kStatusRead)
        return statusByte(n - 1); // repeated, and current, for as long as it is clocked
    const BufferCommand command = bufferCommand(opcode);
    if (!hasBuffer(command))
        return 0xFF;
    if (isBusy() && !allowedWhileBusy(command))
        return 0xFF; // while busy the chip answers status reads only, and the other buffer
    unsigned page = 0, byte = 0;
    const unsigned length = pageLength();
    if (command.op == BufferOp::Read) { // opcode, 3 address bytes, 1 don't-care byte
        if (n < 5 || !decodeAddress(page, byte))
            return 0xFF;
        return buffers[command.buffer][(byte + (n - 5)) % length];
    }
    switch (opcode) {
    case kManufacturerIdRead:
        return n >= 1 && n <= config.idLength ? config.id[n - 1] : 0xFF;
    case kSectorProtectionRegisterRead: // opcode, 3 don't-care bytes, then the register
        return n >= 4 && n < 4 + model.sectors ? config.protection[n - 4] : 0xFF;
    case kSectorLockdownRegisterRead:
        return n >= 4 && n < 4 + model.sectors ? config.lockdown[n - 4] : 0xFF;
    case kSecurityRegisterRead: // bytes 0 to 63 user-programmable (left erased), 64 to 127 the unique ID
        return n >= 4 + 64 && n < 4 + 128 ? config.uniqueId[n - 4 - 64] : 0xFF;
    case kMainMemoryPageRead: // opcode, 3 address bytes, 4 don't-care bytes
        if (n < 8 || !decodeAddress(page, byte))
            return 0xFF;
        return memory[page * kPhysicalPageSize + (byte + (n - 8)) % length];
    case kContinuousArrayRead: { // opcode, 3 address bytes, 1 don't-care byte
        if (n < 5 || !decodeAddress(page, byte))
            return 0xFF;
        const std::size_t linear = (std::size_t(page) * length + byte + (n - 5)) % (std::size_t(kPages) * length);
        return memory[(linear / length) * kPhysicalPageSize + linear % length];
    }
    default:
        return 0xFF;
    }
}

void Chip::beBusyFor(long microseconds, int buffer)
{
    busyUntil = Clock::now() + std::chrono::microseconds(microseconds);
    busyBuffer = buffer;
}

// A cell that will not take the program or erase: the E series says so with
// EPE, the D series says nothing.
void Chip::applyStuckBits(unsigned page)
{
    if (config.stuck.page != long(page) || config.stuck.offset >= kPhysicalPageSize)
        return;
    std::uint8_t& cell = memory[page * kPhysicalPageSize + config.stuck.offset];
    const std::uint8_t held = static_cast<std::uint8_t>(cell & ~config.stuck.mask);
    programError = programError || held != cell;
    cell = held;
}

// Called once per buffer write frame, after the data went into the buffer.
void Chip::applyNoise(std::vector<std::uint8_t>& buffer, unsigned length)
{
    const long n = bufferWrites++;
    const Config::Noise& noise = config.noise;
    if (noise.bufferWrite < 0 || n < noise.bufferWrite || n >= noise.bufferWrite + noise.count)
        return;
    if (noise.offset < length)
        buffer[noise.offset] ^= noise.mask;
}

// A command takes effect when chip select rises, and only when the chip is
// ready and the frame holds exactly the command's bytes.
void Chip::execute()
{
    if (frame.empty())
        return;
    if (config.ignored.nth >= 0 && frame[0] == config.ignored.opcode && ignoredCount++ == config.ignored.nth)
        return;
    const BufferCommand command = bufferCommand(frame[0]);
    if ((isBusy() && !allowedWhileBusy(command)) || !hasBuffer(command))
        return;
    unsigned page = 0, byte = 0;
    const unsigned length = pageLength();
    switch (command.op) {
    case BufferOp::Write:
        if (decodeAddress(page, byte)) {
            std::vector<std::uint8_t>& buffer = buffers[command.buffer];
            for (std::size_t i = 4; i < frame.size(); ++i)
                buffer[(byte + (i - 4)) % length] = frame[i];
            applyNoise(buffer, length);
        }
        return;
    case BufferOp::ProgramThrough:
    case BufferOp::ProgramWithErase:
    case BufferOp::ProgramNoErase:
        // The operation starts when chip select rises after the address;
        // bytes clocked in after it load the buffer (program through buffer)
        // or are ignored.
        if (decodeAddress(page, byte) && pageWritable(page)) {
            const bool erase = command.op != BufferOp::ProgramNoErase;
            std::vector<std::uint8_t>& buffer = buffers[command.buffer];
            if (command.op == BufferOp::ProgramThrough)
                for (std::size_t i = 4; i < frame.size(); ++i)
                    buffer[(byte + (i - 4)) % length] = frame[i];
            std::uint8_t* target = &memory[page * kPhysicalPageSize];
            programError = false;
            // Programming only clears bits; without the built-in erase the
            // page keeps the zeros it had.
            for (unsigned i = 0; i < length; ++i)
                target[i] = erase ? buffer[i] : static_cast<std::uint8_t>(target[i] & buffer[i]);
            applyStuckBits(page);
            saveImage(page * kPhysicalPageSize, kPhysicalPageSize);
            beBusyFor(erase ? config.pageEraseProgramUs : config.pageProgramUs, command.buffer);
        }
        return;
    case BufferOp::Compare:
        if (frame.size() == 4 && decodeAddress(page, byte)) {
            const std::vector<std::uint8_t>& buffer = buffers[command.buffer];
            compareMismatch = !std::equal(buffer.begin(), buffer.begin() + length,
                                          memory.begin() + page * kPhysicalPageSize);
            beBusyFor(config.compareUs, command.buffer);
        }
        return;
    case BufferOp::Read:
    case BufferOp::None:
        break;
    }
    switch (frame[0]) {
    case kConfigure:
        if (frame.size() != 4)
            break;
        if (model.series == DataFlashSeries::E
            && (std::equal(frame.begin(), frame.end(), kPageSizeSequence)
                || std::equal(frame.begin(), frame.end(), kDataFlashPageSizeSequence))) {
            // Both ways, in force at once.
            pageSizeRegister = powerOfTwo = frame[3] == kPageSizeSequence[3];
            saveConfiguration();
            beBusyFor(config.configureUs);
        } else if (std::equal(frame.begin(), frame.end(), kPageSizeSequence)) {
            pageSizeRegister = true; // one-time; in force after the next power-up
            saveConfiguration();
            beBusyFor(config.configureUs);
        } else if (std::equal(frame.begin(), frame.end(), kEnableProtectionSequence)) {
            protectionEnabled = true;
        } else if (std::equal(frame.begin(), frame.end(), kDisableProtectionSequence) && !config.writeProtectLow) {
            protectionEnabled = false; // ignored while WP# is held low
        }
        break;
    case kChipErase:
        // Protected and locked-down sectors keep their contents.
        if (frame.size() == 4 && std::equal(frame.begin(), frame.end(), kChipEraseSequence)) {
            bool erased = false;
            programError = false;
            for (unsigned p = 0; p < kPages; ++p) {
                if (!pageWritable(p))
                    continue;
                std::fill_n(memory.begin() + std::size_t(p) * kPhysicalPageSize, kPhysicalPageSize, 0xFF);
                erased = true;
            }
            if (!erased)
                break;
            if (config.stuck.page >= 0)
                applyStuckBits(static_cast<unsigned>(config.stuck.page) % kPages);
            saveImage(0, kMemorySize);
            // Even a chip without busy times is seen erasing, as any real
            // chip is for seconds (a driver tells a taken erase that way):
            // busy for the next status read.
            beBusyFor(config.chipEraseUs);
            eraseSeenBusy = true;
        }
        break;
    default:
        break;
    }
}

} // namespace

bool sectorMarked(const DataFlashChip& chip, const std::uint8_t (&reg)[kDataFlashMaxSectors], unsigned page)
{
    bool sector0a = false;
    const unsigned sector = sectorOf(chip, page, &sector0a);
    if (sector0a)
        return (reg[0] & 0xC0) == 0xC0;
    if (sector == 0)
        return (reg[0] & 0x30) == 0x30;
    return reg[sector] == 0xFF;
}

Config::Config()
    : chip(findDataFlashChipNamed("AT45DB041D"))
{
    std::fill(std::begin(protection), std::end(protection), 0xFF);
    std::copy(chip->id, chip->id + chip->idLength, id);
    idLength = chip->idLength;
}

bool envFlag(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value && std::strcmp(value, "0") != 0;
}

namespace {

// "A:B:C[:D]": up to four numbers, the third in hexadecimal.
int envFields(const char* name, long (&fields)[4])
{
    const char* value = std::getenv(name);
    int n = 0;
    for (char* end = nullptr; value && *value && n < 4; value = *end ? end + 1 : end, ++n) {
        fields[n] = std::strtol(value, &end, n == 2 ? 16 : 10);
        if (end == value || (*end && *end != ':'))
            return 0;
    }
    return n;
}

void envMicroseconds(const char* name, long& target)
{
    if (const char* value = std::getenv(name); value && *value)
        target = static_cast<long>(std::strtod(value, nullptr) * 1000.0);
}

} // namespace

void Config::setBusyTimes(long microseconds)
{
    pageEraseProgramUs = pageProgramUs = configureUs = chipEraseUs = compareUs = microseconds;
}

Config configFromEnvironment()
{
    Config config;
    const char* tmp = std::getenv("TMPDIR");
    config.imagePath = std::string(tmp && *tmp ? tmp : "/tmp") + "/pagekiln-simchip.img";
    if (const char* image = std::getenv("PAGEKILN_SIM_IMAGE"))
        config.imagePath = std::strcmp(image, "none") == 0 ? std::string() : std::string(image);
    if (const char* base = std::getenv("PAGEKILN_SIM_BASE"); base && *base)
        config.base = static_cast<std::uint16_t>(std::strtoul(base, nullptr, 16));
    if (const char* name = std::getenv("PAGEKILN_SIM_CHIP"); name && *name) {
        if (const DataFlashChip* chip = findDataFlashChipNamed(name)) {
            config.chip = chip;
            std::copy(chip->id, chip->id + chip->idLength, config.id);
            config.idLength = chip->idLength;
        } else {
            std::fprintf(stderr, "simulated chip: no chip named %s in the table; an AT45DB041D instead\n", name);
        }
    }
    if (const char* id = std::getenv("PAGEKILN_SIM_ID"); id && (std::strlen(id) == 8 || std::strlen(id) == 10)) {
        config.idLength = unsigned(std::strlen(id) / 2);
        for (unsigned i = 0; i < config.idLength; ++i) {
            const char pair[3] = { id[2 * i], id[2 * i + 1], 0 };
            config.id[i] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
        }
    }
    if (const char* stop = std::getenv("PAGEKILN_SIM_STOP_AFTER"); stop && *stop)
        config.stopAfterCommands = std::strtol(stop, nullptr, 10);
    long f[4] = {};
    if (envFields("PAGEKILN_SIM_STUCK", f) == 3)
        config.stuck = { f[0], static_cast<unsigned>(f[1]), static_cast<std::uint8_t>(f[2]) };
    if (const char* mutate = std::getenv("PAGEKILN_SIM_MUTATE"); mutate && *mutate) {
        char* end = nullptr;
        const unsigned long opcode = std::strtoul(mutate, &end, 16);
        if (*end == ':') {
            const long nth = std::strtol(end + 1, &end, 10);
            if (*end == ':') {
                const unsigned long mask = std::strtoul(end + 1, &end, 16);
                const unsigned long addressMask = *end == ':' ? std::strtoul(end + 1, nullptr, 16) : 0;
                config.mutation = { static_cast<std::uint8_t>(opcode), nth, static_cast<std::uint8_t>(mask),
                                    static_cast<std::uint32_t>(addressMask) };
            }
        }
    }
    if (const char* ignored = std::getenv("PAGEKILN_SIM_IGNORE"); ignored && *ignored) {
        char* end = nullptr;
        const unsigned long opcode = std::strtoul(ignored, &end, 16);
        if (*end == ':')
            config.ignored = { static_cast<std::uint8_t>(opcode), std::strtol(end + 1, nullptr, 10) };
    }
    if (const int n = envFields("PAGEKILN_SIM_NOISE", f); n >= 3)
        config.noise = { f[0], static_cast<unsigned>(f[1]), static_cast<std::uint8_t>(f[2]), n == 4 ? f[3] : 1 };
    config.present = !envFlag("PAGEKILN_SIM_ABSENT");
    config.pageSize256 = envFlag("PAGEKILN_SIM_PAGE256");
    config.protect = envFlag("PAGEKILN_SIM_PROTECT");
    config.writeProtectLow = envFlag("PAGEKILN_SIM_WP_LOW");
    // A mask of sectors: bit 0 sector 0a, bit 1 0b, bits 2 on sectors 1 on.
    if (const char* locked = std::getenv("PAGEKILN_SIM_LOCKDOWN"); locked && *locked) {
        const unsigned long long mask = std::strtoull(locked, nullptr, 16);
        config.lockdown[0] = static_cast<std::uint8_t>(((mask & 1) ? 0xC0 : 0) | ((mask & 2) ? 0x30 : 0));
        for (unsigned sector = 1; sector < config.chip->sectors && sector + 1 < 64; ++sector)
            config.lockdown[sector] = (mask >> (sector + 1)) & 1 ? 0xFF : 0x00;
    }
    // The unique ID: 128 hexadecimal digits; by default a pattern of its own
    // (byte i holds i * 37 + 11), so that tests can tell it from filler.
    for (int i = 0; i < 64; ++i)
        config.uniqueId[i] = static_cast<std::uint8_t>(i * 37 + 11);
    if (const char* id = std::getenv("PAGEKILN_SIM_UNIQUE_ID"); id && std::strlen(id) == 128) {
        for (int i = 0; i < 64; ++i) {
            const char pair[3] = { id[2 * i], id[2 * i + 1], 0 };
            config.uniqueId[i] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
        }
    }
    if (envFlag("PAGEKILN_SIM_FAST"))
        config.setBusyTimes(0);
    envMicroseconds("PAGEKILN_SIM_PROGRAM_MS", config.pageEraseProgramUs);
    envMicroseconds("PAGEKILN_SIM_PROGRAM_NOERASE_MS", config.pageProgramUs);
    envMicroseconds("PAGEKILN_SIM_CONFIG_MS", config.configureUs);
    envMicroseconds("PAGEKILN_SIM_ERASE_MS", config.chipEraseUs);
    envMicroseconds("PAGEKILN_SIM_COMPARE_MS", config.compareUs);
    if (const char* log = std::getenv("PAGEKILN_SIM_FRAME_LOG"))
        config.frameLogPath = log;
    if (const char* rate = std::getenv("PAGEKILN_SIM_NOISE_SI"); rate && *rate)
        config.noiseSi = std::strtod(rate, nullptr);
    if (const char* rate = std::getenv("PAGEKILN_SIM_NOISE_SO"); rate && *rate)
        config.noiseSo = std::strtod(rate, nullptr);
    if (const char* seed = std::getenv("PAGEKILN_SIM_SEED"); seed && *seed)
        config.seed = std::strtoull(seed, nullptr, 10);
    if (const char* io = std::getenv("PAGEKILN_SIM_IO_NS"); io && *io)
        config.ioNs = std::strtol(io, nullptr, 10);
    return config;
}

void reset(const Config& config)
{
    theChip = std::make_unique<Chip>(config);
}

void powerCycle()
{
    chip().powerUp();
}

const DataFlashChip& chipModelled() { return chip().model; }
unsigned pages() { return chip().kPages; }
unsigned physicalPageSize() { return chip().kPhysicalPageSize; }
bool pageSize256() { return chip().powerOfTwo; }
bool pageSizeConfigured() { return chip().pageSizeRegister; }
bool busy() { return chip().isBusy(); }
unsigned pageLength() { return chip().pageLength(); }

std::vector<std::uint8_t> physicalPage(unsigned page)
{
    Chip& c = chip();
    const auto begin = c.memory.begin() + std::size_t(page % c.kPages) * c.kPhysicalPageSize;
    return std::vector<std::uint8_t>(begin, begin + c.kPhysicalPageSize);
}

std::vector<std::uint8_t> page(unsigned page)
{
    std::vector<std::uint8_t> bytes = physicalPage(page);
    bytes.resize(pageLength());
    return bytes;
}

void setPage(unsigned page, const std::vector<std::uint8_t>& bytes)
{
    Chip& c = chip();
    const std::size_t offset = std::size_t(page % c.kPages) * c.kPhysicalPageSize;
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), c.kPhysicalPageSize), c.memory.begin() + offset);
    c.saveImage(offset, c.kPhysicalPageSize);
}

std::vector<std::uint8_t> contents()
{
    std::vector<std::uint8_t> all;
    all.reserve(std::size_t(pages()) * pageLength());
    for (unsigned p = 0; p < pages(); ++p) {
        const std::vector<std::uint8_t> bytes = page(p);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    return all;
}

void setFrameLog(bool enabled) { chip().logFrames = enabled; }
std::vector<Frame> frames() { return chip().frameLog; }
void clearFrames() { chip().frameLog.clear(); }
void setFrameHook(std::function<void(const Frame&)> hook) { chip().frameHook = std::move(hook); }
void setPortTrace(bool enabled) { chip().tracePorts = enabled; }
std::uint64_t portAccesses() { return chip().accesses; }
void spiSelect(bool select) { chip().spiSelect(select); }

void spiTransfer(const std::uint8_t* out, std::uint8_t* in, std::size_t length)
{
    Chip& c = chip();
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = c.spiByte(out ? out[i] : 0xFF);
        if (in)
            in[i] = byte;
    }
}
NoiseFlips noiseFlips() { return { chip().siNoise.flipped, chip().soNoise.flipped }; }
std::vector<PortAccess> portTrace() { return chip().trace; }
void clearPortTrace() { chip().trace.clear(); }

} // namespace simchip

extern "C" {

SIMCHIP_EXPORT short SIMCHIP_CALL Inp32(short port)
{
    return simchip::chip().in(static_cast<std::uint16_t>(port));
}

SIMCHIP_EXPORT void SIMCHIP_CALL Out32(short port, short data)
{
    simchip::chip().out(static_cast<std::uint16_t>(port), static_cast<std::uint8_t>(data));
}

SIMCHIP_EXPORT int SIMCHIP_CALL IsInpOutDriverOpen()
{
    return simchip::chip().config.driverOpen && !simchip::envFlag("PAGEKILN_SIM_DRIVER_CLOSED") ? 1 : 0;
}

}
