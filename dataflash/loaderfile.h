// What a boot image holds: a Blackfin loader file walked block by block from
// its headers, or one of the formats that cannot boot from flash. Plain C++
// over bytes (all fields little-endian); it reads nothing and prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loaderfile {

// What the bytes are, from how they begin.
enum class Kind {
    Raw,      // none of the below: written as it is, never interpreted
    Loader,   // a loader file in one of the formats below
    Elf,      // 7F 45 4C 46: a linker's output
    IntelHex, // text lines ":LLAAAATT..."
    SRecord,  // text lines "S0..." to "S9..."
    Text,     // all printable text
};

enum class Format {
    Bf53x, // BF531 to BF539: 10-byte block headers, the first address at 0xFFxxxxxx
    Bf561, // a 4-byte global header (0xA0 in byte 3), then BF53x blocks
    Bf5xx, // BF51x, BF52x, BF54x, BF59x, BF60x: 16-byte block headers, signature 0xAD
};

// BF53x (and BF561) block flags.
constexpr std::uint32_t kZeroFill = 0x0001; // no payload
constexpr std::uint32_t kResVect = 0x0002;
constexpr std::uint32_t kInit = 0x0008;
constexpr std::uint32_t kIgnore = 0x0010;
constexpr std::uint32_t kPFlag = 0x01E0; // HWAIT GPIO
constexpr std::uint32_t kPPort = 0x0600; // HWAIT port F/G/H
constexpr std::uint32_t kCompressed = 0x2000;
constexpr std::uint32_t kFinal = 0x8000;

// The 16-byte headers' block code.
constexpr std::uint32_t kDmaCode = 0x000F;
constexpr std::uint32_t kSave = 0x0010;
constexpr std::uint32_t kAux = 0x0020;
constexpr std::uint32_t kFill = 0x0100; // no payload; the argument is the fill value
constexpr std::uint32_t kQuickBoot = 0x0200;
constexpr std::uint32_t kCallback = 0x0400;
constexpr std::uint32_t kInitCode = 0x0800;
constexpr std::uint32_t kIgnoreBlock = 0x1000;
constexpr std::uint32_t kIndirect = 0x2000;
constexpr std::uint32_t kFirst = 0x4000; // its argument is the offset to the next program image
constexpr std::uint32_t kFinalBlock = 0x8000;
constexpr std::uint8_t kSignature = 0xAD; // bits 24 to 31

// What is wrong with one block, as bits.
enum Defect : unsigned {
    kBadSignature = 1u << 0,  // 16-byte format: byte 3 is not 0xAD; the walk ends there
    kBadChecksum = 1u << 1,   // 16-byte format: the XOR of the header's bytes is not 0
    kMisaligned = 1u << 2,    // 16-byte format: address or count not a multiple of 4
    kPastEnd = 1u << 3,       // the header or its payload runs past the end of the bytes
    kFirstWithFill = 1u << 4, // 16-byte format: FIRST together with FILL
};

struct Block {
    std::size_t offset = 0; // of its header
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::uint32_t flags = 0;    // the BF53x flags, or the 16-byte block code
    std::uint32_t argument = 0; // 16-byte format only
    unsigned defects = 0;
    bool cutShort = false; // its header runs past the end: the fields above but offset are unknown
};

struct Walk {
    Kind kind = Kind::Raw;
    Format format = Format::Bf53x;
    std::uint32_t globalHeader = 0; // BF561 only
    std::vector<Block> blocks;
    bool final = false;          // a FINAL block was reached, sound
    std::size_t imageLength = 0; // up to and including the FINAL block (or where the walk ended)
    // Where the walk stopped for want of bytes: the length it needs to go on.
    // 0 when it needs no more (it reached FINAL, found a defect that ends it,
    // or the bytes are no loader file).
    std::size_t needed = 0;

    // Any block defect, or no FINAL block.
    bool defective() const;
    unsigned defects() const;
    // A BF53x block with HWAIT bits set (PFLAG or PPORT): usually built for
    // another boot mode.
    bool hwaitSet() const;
};

// What the bytes begin as, then for a loader file its walk up to the FINAL
// block.
Walk walk(const std::uint8_t* data, std::size_t size);

// The format's name ("BF53x"), the flags by name ("ZEROFILL FINAL"), and a
// defect bit's words ("header checksum fails").
std::string formatName(Format format);
std::string flagNames(Format format, std::uint32_t flags);
std::string defectText(unsigned defect);

} // namespace loaderfile
