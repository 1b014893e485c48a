#include "loaderfile.h"

#include <cstdio>

namespace loaderfile {

namespace {

constexpr std::size_t kBf53xHeader = 10;
constexpr std::size_t kBf5xxHeader = 16;
constexpr std::size_t kBf561GlobalHeader = 4;

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool printable(std::uint8_t c)
{
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The bytes of a UTF-8 sequence that starts with lead and is whole and
// well formed at data[at]; 0 when there is none.
std::size_t utf8Sequence(const std::uint8_t* data, std::size_t size, std::size_t at)
{
    const std::uint8_t lead = data[at];
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4                                  ? 4
                                                                                               : 0;
    if (length == 0 || size - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((data[at + i] & 0xC0) != 0x80)
            return 0;
    return length;
}

// Printable ASCII, white space and whole UTF-8 characters, and nothing else.
bool allText(const std::uint8_t* data, std::size_t size)
{
    for (std::size_t at = 0; at < size;) {
        if (printable(data[at])) {
            ++at;
            continue;
        }
        const std::size_t length = utf8Sequence(data, size, at);
        if (length == 0)
            return false;
        at += length;
    }
    return size > 0;
}

bool hexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The first line from `from` on is hexadecimal digits only, at least `least`
// of them.
bool hexLine(const std::uint8_t* data, std::size_t size, std::size_t from, std::size_t least)
{
    std::size_t at = from;
    while (at < size && hexDigit(data[at]))
        ++at;
    return at - from >= least && (at == size || data[at] == '\r' || data[at] == '\n');
}

Kind kindOf(const std::uint8_t* data, std::size_t size)
{
    if (size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F')
        return Kind::Elf;
    if (allText(data, size)) {
        // Intel HEX: ":" then count, address, type and checksum, 10 digits
        // at least; an S-record: "S", its type digit, then a count and an
        // address, 6 digits at least.
        if (data[0] == ':' && hexLine(data, size, 1, 10))
            return Kind::IntelHex;
        if (size > 1 && data[0] == 'S' && data[1] >= '0' && data[1] <= '9' && hexLine(data, size, 2, 6))
            return Kind::SRecord;
        return Kind::Text;
    }
    return Kind::Raw;
}

// The format from byte 3: the 16-byte headers' signature, BF561's global
// header, or a BF53x first address at 0xFFxxxxxx (but not an erased
// 0xFFFFFFFF).
bool formatOf(const std::uint8_t* data, std::size_t size, Format& format)
{
    if (size < 4)
        return false;
    if (data[3] == kSignature)
        format = Format::Bf5xx;
    else if (data[3] == 0xA0)
        format = Format::Bf561;
    else if (data[3] == 0xFF && le32(data) != 0xFFFFFFFFu)
        format = Format::Bf53x;
    else
        return false;
    return true;
}

// The block whose header lies at pos, wholly within the bytes, with the
// defects its header shows; payload receives the bytes that follow it.
Block readHeader(Format format, const std::uint8_t* data, std::size_t pos, std::uint64_t& payload)
{
    Block block;
    block.offset = pos;
    const std::uint8_t* h = data + pos;
    if (format != Format::Bf5xx) {
        block.address = le32(h);
        block.count = le32(h + 4);
        block.flags = std::uint32_t(h[8]) | std::uint32_t(h[9]) << 8;
        payload = (block.flags & kZeroFill) ? 0 : block.count;
        return block;
    }
    block.flags = le32(h);
    block.address = le32(h + 4);
    block.count = le32(h + 8);
    block.argument = le32(h + 12);
    payload = (block.flags & kFill) ? 0 : block.count;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < kBf5xxHeader; ++i)
        sum ^= h[i];
    if (h[3] != kSignature)
        block.defects |= kBadSignature;
    if (sum != 0)
        block.defects |= kBadChecksum;
    if (block.address % 4 != 0 || block.count % 4 != 0)
        block.defects |= kMisaligned;
    if ((block.flags & kFirst) && (block.flags & kFill))
        block.defects |= kFirstWithFill;
    return block;
}

void walkBlocks(const std::uint8_t* data, std::size_t size, Walk& walk)
{
    const std::size_t header = walk.format == Format::Bf5xx ? kBf5xxHeader : kBf53xHeader;
    std::size_t pos = 0;
    if (walk.format == Format::Bf561) {
        walk.globalHeader = le32(data);
        pos = kBf561GlobalHeader;
    }
    walk.imageLength = pos;
    for (;;) {
        if (pos == size) { // the bytes ended between blocks, before a FINAL block
            walk.needed = pos + header;
            return;
        }
        if (size - pos < header) { // a header cut short: nothing of it can be trusted
            Block cut;
            cut.offset = pos;
            cut.defects = kPastEnd;
            cut.cutShort = true;
            walk.blocks.push_back(cut);
            walk.needed = pos + header;
            return;
        }
        std::uint64_t payload = 0;
        Block block = readHeader(walk.format, data, pos, payload);
        const std::uint64_t end = std::uint64_t(pos) + header + payload;
        if (end > size) {
            block.defects |= kPastEnd;
            walk.needed = end > SIZE_MAX ? SIZE_MAX : std::size_t(end);
        }
        walk.blocks.push_back(block);
        // Past a wrong signature the count cannot be trusted to find the
        // next header.
        if (block.defects & (kBadSignature | kPastEnd))
            return;
        pos = std::size_t(end);
        walk.imageLength = pos;
        const std::uint32_t final = walk.format == Format::Bf5xx ? kFinalBlock : kFinal;
        if (block.flags & final) {
            walk.final = true;
            return;
        }
    }
}

} // namespace

bool Walk::defective() const
{
    return kind == Kind::Loader && (!final || defects() != 0);
}

unsigned Walk::defects() const
{
    unsigned all = 0;
    for (const Block& block : blocks)
        all |= block.defects;
    return all;
}

bool Walk::hwaitSet() const
{
    if (kind != Kind::Loader || format == Format::Bf5xx)
        return false;
    for (const Block& block : blocks)
        if (block.flags & (kPFlag | kPPort))
            return true;
    return false;
}

Walk walk(const std::uint8_t* data, std::size_t size)
{
    Walk result;
    result.kind = kindOf(data, size);
    if (result.kind == Kind::Raw && formatOf(data, size, result.format)) {
        result.kind = Kind::Loader;
        walkBlocks(data, size, result);
    }
    return result;
}

std::string formatName(Format format)
{
    switch (format) {
    case Format::Bf53x:
        return "BF53x";
    case Format::Bf561:
        return "BF561";
    case Format::Bf5xx:
        return "BF51x/BF52x/BF54x/BF59x/BF60x";
    }
    return std::string();
}

std::string flagNames(Format format, std::uint32_t flags)
{
    struct Name {
        std::uint32_t bit;
        const char* name;
    };
    static const Name bf53x[] = { { kZeroFill, "ZEROFILL" }, { kResVect, "RESVECT" },     { kInit, "INIT" },
                                  { kIgnore, "IGNORE" },     { kCompressed, "COMPRESSED" }, { kFinal, "FINAL" } };
    static const Name bf5xx[] = { { kSave, "SAVE" },           { kAux, "AUX" },           { kFill, "FILL" },
                                  { kQuickBoot, "QUICKBOOT" }, { kCallback, "CALLBACK" }, { kInitCode, "INIT" },
                                  { kIgnoreBlock, "IGNORE" },  { kIndirect, "INDIRECT" }, { kFirst, "FIRST" },
                                  { kFinalBlock, "FINAL" } };
    std::string names;
    auto add = [&](const std::string& name) { names += (names.empty() ? "" : " ") + name; };
    char number[16];
    std::uint32_t known = 0;
    if (format == Format::Bf5xx) {
        flags &= 0xFFFF; // the checksum and the signature are shown as defects
        known = kDmaCode;
        std::snprintf(number, sizeof number, "DMA=%u", unsigned(flags & kDmaCode));
        add(number);
        for (const Name& name : bf5xx) {
            known |= name.bit;
            if (flags & name.bit)
                add(name.name);
        }
    } else {
        known = kPFlag | kPPort;
        for (const Name& name : bf53x) {
            known |= name.bit;
            if (flags & name.bit)
                add(name.name);
        }
        if (flags & kPFlag) {
            std::snprintf(number, sizeof number, "PFLAG=%u", unsigned((flags & kPFlag) >> 5));
            add(number);
        }
        if (flags & kPPort) {
            std::snprintf(number, sizeof number, "PPORT=%u", unsigned((flags & kPPort) >> 9));
            add(number);
        }
    }
    if (flags & ~known) {
        std::snprintf(number, sizeof number, "0x%04X", unsigned(flags & ~known));
        add(number);
    }
    return names;
}

std::string defectText(unsigned defect)
{
    switch (defect) {
    case kBadSignature:
        return "no 0xAD signature";
    case kBadChecksum:
        return "header checksum fails";
    case kMisaligned:
        return "address or count not a multiple of 4";
    case kPastEnd:
        return "runs past the end";
    case kFirstWithFill:
        return "FIRST together with FILL";
    }
    return std::string();
}

} // namespace loaderfile
