// A Linux SPI controller as a link: /dev/spidevB.C, SPI mode 0, 8 bits a
// word, chip select driven by the controller. Each frame is one
// SPI_IOC_MESSAGE; a frame larger than the spidev driver's buffer goes in
// several messages, the chip held selected between them.
#pragma once

#include "link.h"

#include <cstdint>
#include <string>
#include <vector>

namespace spilink {

struct SpidevSettings {
    std::string device = "/dev/spidev0.0";
    std::uint32_t speedHz = 1000000;
};

// The AT45DB041D's highest clock (fCAR1 and fSCK, 66 MHz) and a floor below
// which a chip takes minutes.
constexpr std::uint32_t kSpidevMaxHz = 66000000;
constexpr std::uint32_t kSpidevMinHz = 10000;

// "DEVICE[,speed=HZ]" (DEVICE may be left out); false with why, in words
// for the user.
bool parseSpidevParams(const std::string& params, SpidevSettings& settings, std::string& why);

// The spidev devices the kernel lists under sysRoot/class/spidev, as
// /dev paths, sorted.
std::vector<std::string> spidevDevices(const std::string& sysRoot = "/sys");

// The largest message the spidev driver takes
// (sysRoot/module/spidev/parameters/bufsiz; 4096 when unreadable).
std::size_t spidevBufferSize(const std::string& sysRoot = "/sys");

// Why a spidev device cannot be opened or set up, from the kernel's errno.
std::string spidevErrorText(const std::string& device, const char* step, int error);

class Spidev : public Link {
public:
    ~Spidev() override;
    // Opens the device and sets mode 0, 8 bits a word and the clock; false
    // with why.
    bool open(const SpidevSettings& settings, std::string& why);
    void close();

    Clock::time_point frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                            Pace pace) override;
    Cost cost() const override { return costAt(settings.speedHz); }
    // What a frame costs at this clock: 20 us a message (the system call,
    // the controller's set-up and interrupt, as on a Raspberry Pi) and 8
    // clocks a byte.
    static Cost costAt(std::uint32_t speedHz);
    std::string place() const override { return settings.device; }
    std::string failure() const override { return problem; }

private:
    int fd = -1;
    SpidevSettings settings;
    std::size_t bufferSize = 4096;
    std::string problem;
    std::vector<std::uint8_t> tx, rx;
};

} // namespace spilink
