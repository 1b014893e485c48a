// simchip-dump IMAGE OUTPUT [LENGTH]: writes the contents of a simulated
// chip's image file as the chip reads them back: every page (2048 on the
// AT45DB041D; PAGEKILN_SIM_CHIP names another chip), in the page size in
// force at its next power-up unless one of the chip's two is given (a file
// written before the page-size change took effect went in 264-byte pages).
#include "simchip.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const bool pageSizeGiven = argc == 4;
    const DataFlashChip& chip = *simchip::configFromEnvironment().chip;
    const unsigned given = pageSizeGiven ? unsigned(std::atoi(argv[3])) : 0;
    if ((argc != 3 && !pageSizeGiven)
        || (pageSizeGiven && given != chip.binaryPageLength && given != chip.dataflashPageLength)) {
        std::fprintf(stderr, "usage: simchip-dump IMAGE OUTPUT [%u|%u]\n", chip.binaryPageLength,
                     chip.dataflashPageLength);
        return 2;
    }
    std::FILE* probe = std::fopen(argv[1], "rb");
    if (!probe) {
        std::fprintf(stderr, "simchip-dump: cannot open %s\n", argv[1]);
        return 1;
    }
    std::fclose(probe);
    simchip::Config config;
    config.chip = &chip;
    config.imagePath = argv[1];
    simchip::reset(config);
    const unsigned length = pageSizeGiven ? given : simchip::pageLength();
    std::vector<std::uint8_t> bytes;
    for (unsigned page = 0; page < simchip::pages(); ++page) {
        const std::vector<std::uint8_t> physical = simchip::physicalPage(page);
        bytes.insert(bytes.end(), physical.begin(), physical.begin() + length);
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    const bool written = out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (out)
        std::fclose(out);
    if (!written) {
        std::fprintf(stderr, "simchip-dump: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%zu bytes in %u-byte pages written to %s\n", bytes.size(), length, argv[2]);
    return 0;
}
