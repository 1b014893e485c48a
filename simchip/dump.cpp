// simchip-dump IMAGE OUTPUT [256|264]: writes the contents of a simulated
// chip's image file as the chip reads them back: 2048 pages, in the page size
// in force at its next power-up unless one is given (a file written before the
// page-size change took effect went in 264-byte pages).
#include "simchip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    const bool pageSizeGiven = argc == 4;
    if ((argc != 3 && !pageSizeGiven)
        || (pageSizeGiven && std::strcmp(argv[3], "256") != 0 && std::strcmp(argv[3], "264") != 0)) {
        std::fprintf(stderr, "usage: simchip-dump IMAGE OUTPUT [256|264]\n");
        return 2;
    }
    std::FILE* probe = std::fopen(argv[1], "rb");
    if (!probe) {
        std::fprintf(stderr, "simchip-dump: cannot open %s\n", argv[1]);
        return 1;
    }
    std::fclose(probe);
    simchip::Config config;
    config.imagePath = argv[1];
    simchip::reset(config);
    const unsigned length = pageSizeGiven ? unsigned(std::atoi(argv[3])) : simchip::pageLength();
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
