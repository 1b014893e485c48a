// A CH341A USB adapter (1a86:5512, the "BIOS programmer") as a link, through
// libusb-1.0. The adapter speaks in 32-byte packets on bulk endpoints 0x02
// (out) and 0x82 (in): its I/O stream drives chip select on D0, its SPI
// stream clocks up to 31 bytes a packet, least significant bit first, so
// every byte is bit-reversed on the way out and on the way back. A frame
// (chip select low, the SPI packets, chip select high) is submitted whole
// and its answers collected together: one USB round trip, not one a packet.
#pragma once

#include "link.h"

#include <cstdint>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace spilink {

struct Ch341aSettings {
    std::string serial; // empty: any adapter
    unsigned index = 0; // among the adapters that match, in bus order
};

// "[serial=S][,index=N]"; false with why, in words for the user.
bool parseCh341aParams(const std::string& params, Ch341aSettings& settings, std::string& why);

struct Ch341aAdapter {
    std::string busPath; // "1-1.4": bus, then the port on each hub
    std::string serial;  // empty when the adapter has none
    std::string problem; // why the serial could not be read, when it could not
};

// The CH341A adapters attached, in bus order; false with why when USB
// cannot be looked at.
bool ch341aAdapters(std::vector<Ch341aAdapter>& adapters, std::string& why);

class Ch341a : public Link {
public:
    ~Ch341a() override;

    // Finds the adapter the settings name and keeps it for open(); its bus
    // path is then known, for the lock. False with why.
    bool find(const Ch341aSettings& settings, std::string& why);
    // Opens and claims the adapter found, sets its stream speed, drives the
    // chip's lines and releases the chip; false with why.
    bool open(std::string& why);
    void close();
    const std::string& busPath() const { return path; }

    Clock::time_point frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in, std::size_t inLength,
                            Pace pace) override;
    Cost cost() const override { return modelCost(); }
    // A frame: one USB round trip (about 1 ms at full speed, the answers of
    // all its packets collected together), and 8 clocks a byte.
    static Cost modelCost();
    std::string place() const override { return "the CH341A at USB " + path; }
    std::string failure() const override { return problem; }

private:
    // Sends the OUT buffers in order and collects inCount SPI answers into
    // answers, all in flight together; false, with problem set, when the
    // adapter did not take them or answer in time.
    bool exchange(const std::vector<std::vector<std::uint8_t>>& outs, std::size_t answerBytes,
                  std::vector<std::uint8_t>& answers);
    // Stops every later frame; unplugged: the adapter cannot even be told
    // to release the chip (or transfers are still in flight).
    void lost(const std::string& what, bool unplugged);

    libusb_context* context = nullptr;
    libusb_device* device = nullptr;
    libusb_device_handle* handle = nullptr;
    bool claimed = false;
    bool gone = false;      // unplugged or stuck: nothing more is sent
    bool unplugged = false; // nothing at all, not even the release at the end
    std::string path;
    std::string problem;
};

} // namespace spilink
