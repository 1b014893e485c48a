// simchip-dump IMAGE OUTPUT: writes the contents of a simulated chip's image
// file as the chip reads them back (2048 pages in the page size in force at
// power-up), so that they can be compared with the file that was programmed.
#include "simchip.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: simchip-dump IMAGE OUTPUT\n");
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
    const std::vector<std::uint8_t> bytes = simchip::contents();
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
        std::fprintf(stderr, "simchip-dump: cannot write %s\n", argv[2]);
        if (out)
            std::fclose(out);
        return 1;
    }
    std::fclose(out);
    std::printf("%zu bytes in %u-byte pages written to %s\n", bytes.size(), simchip::pageLength(), argv[2]);
    return 0;
}
