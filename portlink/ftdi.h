// An FTDI high-speed adapter (FT232H, FT2232H, FT4232H) as a link, through
// libftdi1: the MPSSE engine in SPI mode 0, SCK on ADBUS0, MOSI on ADBUS1,
// MISO on ADBUS2, chip select (active low) on ADBUS3. A frame is one USB
// write of MPSSE commands (select, clock out, clock in, release, send
// immediate) and one read of its answer, so it costs one USB round trip
// whatever its length.
#pragma once

#include "link.h"

#include <cstdint>
#include <string>
#include <vector>

struct ftdi_context;
struct ftdi_device_list;
struct libusb_device;

namespace spilink {

// The adapters this link drives: their USB product ID under FTDI's vendor
// ID 0403, and the interfaces that have an MPSSE engine.
struct FtdiModel {
    const char* name;       // as on the command line: "ft232h"
    const char* shownName;  // "FT232H"
    std::uint16_t productId;
    char lastMpsseInterface; // 'A' or 'B'
};
const std::vector<FtdiModel>& ftdiModels();
const FtdiModel* ftdiModel(const std::string& name);

struct FtdiSettings {
    const FtdiModel* model = nullptr;
    char interface = 'A';
    std::string serial;   // empty: any
    unsigned index = 0;   // among the adapters left after the serial
    std::uint32_t speedHz = 6000000;
};

// The MPSSE's clock on the H-series: 60 MHz halved, divided by 1 + divisor.
// The divisor chosen is the smallest whose clock does not exceed the one
// asked; the clock it gives is what the chip sees.
constexpr std::uint32_t kFtdiMaxHz = 30000000;
constexpr std::uint32_t kFtdiMinHz = 10000;
std::uint16_t ftdiDivisorFor(std::uint32_t speedHz);
std::uint32_t ftdiClockOf(std::uint16_t divisor);

// "interface=A|B|C|D,serial=S,index=N,speed=HZ", each optional; false with
// why, in words for the user.
bool parseFtdiParams(const FtdiModel& model, const std::string& params, FtdiSettings& settings, std::string& why);

// An adapter attached, for pagekiln-cli programmers.
struct FtdiAdapter {
    const FtdiModel* model = nullptr;
    std::string serial;  // empty when it cannot be read (no permission)
    std::string busPath; // "1-2.3": the bus, then the hub ports
};
std::vector<FtdiAdapter> ftdiAdapters();

class Ftdi : public Link {
public:
    ~Ftdi() override;
    // Finds the adapter, claims its interface and sets the MPSSE up; false
    // with why.
    bool open(const FtdiSettings& settings, std::string& why);
    void close();

    // Finds the adapter without claiming it; false with why. open() uses
    // the one found.
    bool find(const FtdiSettings& settings, std::string& why);
    // The adapter's bus path and interface, for its lock: "1-2.3:A"; known
    // once it is found.
    std::string lockKey() const { return busPath + ":" + std::string(1, settings.interface); }

    Clock::time_point frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                            Pace pace) override;
    Cost cost() const override { return costAt(ftdiClockOf(divisor)); }
    // A frame's cost at this clock: a USB round trip of a high-speed
    // adapter (125 us: the host's micro-frame and the adapter's answer)
    // and 8 clocks a byte.
    static Cost costAt(std::uint32_t clockHz);
    std::string place() const override;
    std::string failure() const override { return problem; }

    // "FT232H (serial FT1234, USB 1-2, interface A), SPI clock 6 MHz".
    std::string description() const;

private:
    bool setUp(std::string& why);
    bool exchange(const std::vector<std::uint8_t>& commands, std::uint8_t* answer, std::size_t answerLength,
                  std::string& why);

    ftdi_context* context = nullptr;
    ftdi_device_list* found = nullptr; // the adapters enumerated by find()
    libusb_device* device = nullptr;   // the one chosen among them
    bool claimed = false;
    bool gone = false; // the adapter failed a frame: no further frame goes out
    FtdiSettings settings;
    std::uint16_t divisor = 4;
    std::string busPath, serial;
    std::string problem;
    std::vector<std::uint8_t> commands, answer;
};

} // namespace spilink
