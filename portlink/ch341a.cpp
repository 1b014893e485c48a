// The CH341A link.
#include "ch341a.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace spilink {

namespace {

constexpr std::uint16_t kVendor = 0x1A86;
constexpr std::uint16_t kProduct = 0x5512;
constexpr int kInterface = 0;
constexpr unsigned char kEndpointOut = 0x02;
constexpr unsigned char kEndpointIn = 0x82;

// The adapter's packet: a command byte, then up to 31 bytes for it.
constexpr std::size_t kPacket = 32;
constexpr std::size_t kSpiBytesPerPacket = kPacket - 1;

// Commands, as the adapter's makers name them.
constexpr std::uint8_t kSpiStream = 0xA8; // the rest of the packet clocked out, LSB first; as many bytes come back
constexpr std::uint8_t kI2cStream = 0xAA; // carries the stream speed, which the SPI stream shares
constexpr std::uint8_t kI2cStreamSet = 0x60; // | speed (0 to 3)
constexpr std::uint8_t kI2cStreamEnd = 0x00;
constexpr std::uint8_t kUioStream = 0xAB; // the D0..D5 lines
constexpr std::uint8_t kUioOut = 0x80;    // | the levels of D5..D0
constexpr std::uint8_t kUioDir = 0x40;    // | the directions of D5..D0 (1: driven)
constexpr std::uint8_t kUioEnd = 0x20;

// Speed 1, the stream speed common CH341A software sets for SPI.
constexpr std::uint8_t kStreamSpeed = 1;

// The lines: D0 is CS# (active low), D3 SCK (low at rest: SPI mode 0), D5
// MOSI; D1, D2 and D4 are unused and kept high. D7 is MISO, always an input.
constexpr std::uint8_t kLinesReleased = 0x37; // CS# high
constexpr std::uint8_t kLinesSelected = 0x36; // CS# low
constexpr std::uint8_t kLinesDriven = 0x3F;   // D0..D5 outputs
constexpr std::uint8_t kLinesFloating = 0x00; // all inputs: the board's own processor may run

// Every transfer is bounded: one that has not completed in this long is
// cancelled, and the adapter is taken to be stuck.
constexpr unsigned kTransferTimeoutMs = 1000;
// The cancelled transfers' own end is waited for this long at most.
constexpr std::chrono::milliseconds kCancelWait(1000);

// A full-speed adapter's round trip, and its SPI clock at speed 1.
constexpr double kRoundTripNs = 1e6;
constexpr double kSpiClockHz = 1.5e6;

// The adapter shifts least significant bit first; the chip wants the most
// significant bit first.
std::uint8_t reversed(std::uint8_t byte)
{
    byte = static_cast<std::uint8_t>((byte & 0xF0) >> 4 | (byte & 0x0F) << 4);
    byte = static_cast<std::uint8_t>((byte & 0xCC) >> 2 | (byte & 0x33) << 2);
    return static_cast<std::uint8_t>((byte & 0xAA) >> 1 | (byte & 0x55) << 1);
}

std::string busPathOf(libusb_device* device)
{
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string path = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i)
        path += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return path;
}

std::string permissionRemedy()
{
    return "permission denied. Install the udev rule that comes with Pagekiln (the package puts "
           "61-pagekiln-ch341a.rules in /usr/lib/udev/rules.d; from the sources: sudo cp "
           "packaging/61-pagekiln-ch341a.rules /etc/udev/rules.d/ && sudo udevadm control --reload), add your "
           "user to the plugdev group (sudo usermod -aG plugdev $USER, then log out and in again) and plug the "
           "adapter in again.";
}

// libusb's error codes in words, for the cases a user can do something about.
std::string usbErrorText(int error)
{
    switch (error) {
    case LIBUSB_ERROR_ACCESS:
        return permissionRemedy();
    case LIBUSB_ERROR_NO_DEVICE:
        return "the adapter is gone (unplugged, or its USB connection dropped).";
    case LIBUSB_ERROR_BUSY:
        return "the adapter is busy: another program or a kernel driver has claimed it; close that program "
               "(or unload the driver) and try again.";
    case LIBUSB_ERROR_TIMEOUT:
        return "the adapter did not answer within 1 s: unplug it and plug it in again.";
    case LIBUSB_ERROR_NO_MEM:
        return "out of memory.";
    default:
        return "USB error " + std::to_string(error) + ".";
    }
}

// The serial number, or why it could not be read; an adapter without one
// gives an empty serial.
void readSerial(libusb_device* device, std::string& serial, std::string& problem)
{
    libusb_device_descriptor descriptor {};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.iSerialNumber == 0)
        return;
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        problem = opened == LIBUSB_ERROR_ACCESS ? "permission denied" : usbErrorText(opened);
        return;
    }
    unsigned char text[128] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text - 1);
    if (length > 0)
        serial.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    libusb_close(handle);
}

// The attached adapters, in bus order, each referenced (to be unreferenced
// by the caller).
std::vector<std::pair<std::string, libusb_device*>> attached(libusb_context* context)
{
    std::vector<std::pair<std::string, libusb_device*>> found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor {};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 && descriptor.idVendor == kVendor
            && descriptor.idProduct == kProduct)
            found.emplace_back(busPathOf(list[i]), libusb_ref_device(list[i]));
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return found;
}

struct Transfer {
    libusb_transfer* transfer = nullptr;
    bool submitted = false;
    bool done = false;
    std::size_t expected = 0; // bytes an IN transfer must bring
};

void LIBUSB_CALL transferDone(libusb_transfer* transfer)
{
    static_cast<Transfer*>(transfer->user_data)->done = true;
}

} // namespace

bool parseCh341aParams(const std::string& params, Ch341aSettings& settings, std::string& why)
{
    std::size_t at = 0;
    while (!params.empty() && at <= params.size()) {
        const std::size_t comma = std::min(params.find(',', at), params.size());
        const std::string item = params.substr(at, comma - at);
        at = comma + 1;
        if (item.rfind("serial=", 0) == 0 && item.size() > 7) {
            settings.serial = item.substr(7);
        } else if (item.rfind("index=", 0) == 0) {
            char* end = nullptr;
            const unsigned long index = std::strtoul(item.c_str() + 6, &end, 10);
            if (item.size() == 6 || *end || item[6] == '-' || index > 99) {
                why = "the index '" + item.substr(6) + "' is not a number from 0 to 99";
                return false;
            }
            settings.index = static_cast<unsigned>(index);
        } else {
            why = "'" + item + "' is neither serial=S nor index=N";
            return false;
        }
    }
    return true;
}

bool ch341aAdapters(std::vector<Ch341aAdapter>& adapters, std::string& why)
{
    libusb_context* context = nullptr;
    const int started = libusb_init(&context);
    if (started != 0) {
        why = "cannot look at USB: " + usbErrorText(started);
        return false;
    }
    for (const auto& each : attached(context)) {
        Ch341aAdapter adapter;
        adapter.busPath = each.first;
        readSerial(each.second, adapter.serial, adapter.problem);
        adapters.push_back(adapter);
        libusb_unref_device(each.second);
    }
    libusb_exit(context);
    return true;
}

Ch341a::~Ch341a()
{
    close();
}

bool Ch341a::find(const Ch341aSettings& settings, std::string& why)
{
    close();
    problem.clear();
    gone = false;
    unplugged = false;
    const int started = libusb_init(&context);
    if (started != 0) {
        context = nullptr;
        why = "Cannot look for a CH341A: " + usbErrorText(started);
        return false;
    }
    std::vector<std::pair<std::string, libusb_device*>> matching;
    std::string unreadable;
    for (const auto& each : attached(context)) {
        std::string serial, serialProblem;
        if (!settings.serial.empty())
            readSerial(each.second, serial, serialProblem);
        if (!serialProblem.empty())
            unreadable = serialProblem;
        if (settings.serial.empty() || serial == settings.serial)
            matching.push_back(each);
        else
            libusb_unref_device(each.second);
    }
    if (settings.index < matching.size()) {
        device = matching[settings.index].second;
        path = matching[settings.index].first;
    }
    for (std::size_t i = 0; i < matching.size(); ++i)
        if (i != settings.index)
            libusb_unref_device(matching[i].second);
    if (device)
        return true;
    const std::string which = settings.serial.empty() ? "" : " with the serial number " + settings.serial;
    if (matching.empty())
        why = "No CH341A adapter (USB 1a86:5512)" + which + " is attached: plug it in (lsusb lists it as 1a86:5512"
              " QinHeng Electronics); pagekiln-cli programmers lists the adapters found."
              + (unreadable.empty() ? "" : " Some serial numbers could not be read: " + unreadable + ".");
    else
        why = "index=" + std::to_string(settings.index) + ": only " + std::to_string(matching.size())
              + " CH341A adapter" + (matching.size() == 1 ? " is" : "s are") + " attached" + which
              + " (index counts from 0); pagekiln-cli programmers lists them.";
    close();
    return false;
}

bool Ch341a::open(std::string& why)
{
    const std::string start = "Cannot open the CH341A at USB " + path + ": ";
    if (!device) {
        why = start + "no adapter was found.";
        return false;
    }
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        handle = nullptr;
        why = start + usbErrorText(opened);
        return false;
    }
    if (libusb_kernel_driver_active(handle, kInterface) == 1) {
        why = start + "a kernel driver holds it (an SPI or I2C driver for the CH341, such as spi-ch341-usb or "
                      "i2c-ch341-usb): unload it (lsmod | grep ch341 names it; sudo rmmod NAME) and try again.";
        close();
        return false;
    }
    const int claim = libusb_claim_interface(handle, kInterface);
    if (claim != 0) {
        why = start + usbErrorText(claim);
        close();
        return false;
    }
    claimed = true;
    // The stream speed, then the lines driven with the chip released.
    std::vector<std::uint8_t> answers;
    if (!exchange({ { kI2cStream, kI2cStreamSet | kStreamSpeed, kI2cStreamEnd },
                    { kUioStream, kUioOut | kLinesReleased, kUioDir | kLinesDriven, kUioEnd } },
                  0, answers)) {
        why = problem;
        close();
        return false;
    }
    return true;
}

void Ch341a::close()
{
    if (handle && claimed && !unplugged) {
        // The chip released and the lines let go, so the board can run: tried
        // even after a failed frame, which may have left the chip selected.
        gone = false;
        std::vector<std::uint8_t> answers;
        const std::string why = problem;
        exchange({ { kUioStream, kUioOut | kLinesReleased, kUioDir | kLinesFloating, kUioEnd } }, 0, answers);
        problem = why;
    }
    if (handle && claimed)
        libusb_release_interface(handle, kInterface);
    claimed = false;
    if (handle)
        libusb_close(handle);
    handle = nullptr;
    if (device)
        libusb_unref_device(device);
    device = nullptr;
    if (context)
        libusb_exit(context);
    context = nullptr;
}

void Ch341a::lost(const std::string& what, bool unpluggedNow)
{
    gone = true;
    unplugged = unplugged || unpluggedNow;
    problem = "The CH341A at USB " + path + " failed: " + what + " Nothing more was sent to the chip.";
}

bool Ch341a::exchange(const std::vector<std::vector<std::uint8_t>>& outs, std::size_t answerBytes,
                      std::vector<std::uint8_t>& answers)
{
    if (gone || !handle)
        return false;
    const std::size_t inCount = (answerBytes + kSpiBytesPerPacket - 1) / kSpiBytesPerPacket;
    answers.assign(inCount * kPacket, 0xFF);
    std::vector<Transfer> transfers(outs.size() + inCount);
    int error = 0;
    for (std::size_t i = 0; i < transfers.size() && error == 0; ++i) {
        Transfer& each = transfers[i];
        each.transfer = libusb_alloc_transfer(0);
        if (!each.transfer) {
            error = LIBUSB_ERROR_NO_MEM;
            break;
        }
        if (i < outs.size()) {
            each.expected = outs[i].size();
            libusb_fill_bulk_transfer(each.transfer, handle, kEndpointOut, const_cast<unsigned char*>(outs[i].data()),
                                      static_cast<int>(outs[i].size()), transferDone, &each, kTransferTimeoutMs);
        } else {
            const std::size_t packet = i - outs.size();
            each.expected = std::min(kSpiBytesPerPacket, answerBytes - packet * kSpiBytesPerPacket);
            libusb_fill_bulk_transfer(each.transfer, handle, kEndpointIn, answers.data() + packet * kPacket,
                                      static_cast<int>(kPacket), transferDone, &each, kTransferTimeoutMs);
        }
        error = libusb_submit_transfer(each.transfer);
        each.submitted = error == 0;
    }
    // Collected together; each transfer ends within its own time-out, and
    // the wait is bounded past that too.
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kTransferTimeoutMs + 500);
    bool cancelling = false;
    const auto unfinished = [&] {
        return std::any_of(transfers.begin(), transfers.end(), [](const Transfer& t) { return t.submitted && !t.done; });
    };
    while (unfinished()) {
        if (error != 0 || Clock::now() >= deadline) {
            if (cancelling)
                break; // left in flight: the handle is not used again
            if (error == 0)
                error = LIBUSB_ERROR_TIMEOUT;
            for (Transfer& each : transfers)
                if (each.submitted && !each.done)
                    libusb_cancel_transfer(each.transfer);
            cancelling = true;
            deadline = Clock::now() + kCancelWait;
        }
        timeval wait { 0, 100000 };
        const int handled = libusb_handle_events_timeout_completed(context, &wait, nullptr);
        if (handled != 0 && handled != LIBUSB_ERROR_INTERRUPTED && error == 0)
            error = handled;
    }
    bool shortAnswer = false;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        Transfer& each = transfers[i];
        if (each.done && error == 0) {
            switch (each.transfer->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                shortAnswer = shortAnswer || static_cast<std::size_t>(each.transfer->actual_length) != each.expected;
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
                error = LIBUSB_ERROR_NO_DEVICE;
                break;
            case LIBUSB_TRANSFER_TIMED_OUT:
                error = LIBUSB_ERROR_TIMEOUT;
                break;
            default:
                error = LIBUSB_ERROR_IO;
                break;
            }
        }
        if (each.transfer && (each.done || !each.submitted))
            libusb_free_transfer(each.transfer);
    }
    if (error != 0 || unfinished()) {
        lost(usbErrorText(error), error == LIBUSB_ERROR_NO_DEVICE || unfinished());
        return false;
    }
    if (shortAnswer) {
        // Answers out of step with the frames could be taken for the next
        // frame's: the adapter is not trusted again.
        lost("it answered a frame with fewer bytes than it clocked.", false);
        return false;
    }
    // The answers side by side, without their packets' gaps.
    for (std::size_t packet = 1; packet < inCount; ++packet)
        std::memmove(answers.data() + packet * kSpiBytesPerPacket, answers.data() + packet * kPacket,
                     kSpiBytesPerPacket);
    answers.resize(answerBytes);
    return true;
}

// Chip select low in a packet of its own (a command ends its packet), the
// bytes in SPI stream packets, then chip select high: two OUT transfers,
// queued together, because the last SPI packet may be short and anything
// after it in the same packet would be clocked out as data.
Clock::time_point Ch341a::frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                                std::size_t inLength, Pace)
{
    const std::size_t length = outLength + inLength;
    std::vector<std::vector<std::uint8_t>> outs(2);
    std::vector<std::uint8_t>& select = outs[0];
    select = { kUioStream, kUioOut | kLinesSelected, kUioEnd };
    select.resize(kPacket, 0);
    for (std::size_t at = 0; at < length; at += kSpiBytesPerPacket) {
        select.push_back(kSpiStream);
        for (std::size_t i = at; i < std::min(length, at + kSpiBytesPerPacket); ++i)
            select.push_back(reversed(i < outLength ? out[i] : 0xFF));
    }
    outs[1] = { kUioStream, kUioOut | kLinesReleased, kUioEnd };
    std::vector<std::uint8_t> answers;
    const bool moved = exchange(outs, length, answers);
    const Clock::time_point released = Clock::now();
    for (std::size_t i = 0; i < inLength; ++i)
        in[i] = moved ? reversed(answers[outLength + i]) : 0xFF; // as an undriven line reads
    return released;
}

Cost Ch341a::modelCost()
{
    return { 8e9 / kSpiClockHz, kRoundTripNs };
}

} // namespace spilink
