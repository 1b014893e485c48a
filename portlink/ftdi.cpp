// The FTDI link.
#include "ftdi.h"

// libftdi1 by its folder: portlink/ftdi.h, this link's header, has its name.
#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace spilink {

namespace {

constexpr std::uint16_t kFtdiVendor = 0x0403;

// The MPSSE commands used (FTDI's AN_108).
constexpr std::uint8_t kSetLowBits = 0x80;      // value, direction of ADBUS0..7
constexpr std::uint8_t kReadLowBits = 0x81;     // answers ADBUS0..7 as they are
constexpr std::uint8_t kBytesOutFalling = 0x11; // clock bytes out on -ve edge, MSB first; length - 1 (2 bytes)
constexpr std::uint8_t kBytesInRising = 0x20;   // clock bytes in on +ve edge, MSB first; length - 1 (2 bytes)
constexpr std::uint8_t kLoopbackOff = 0x85;
constexpr std::uint8_t kSetDivisor = 0x86;      // divisor low, high
constexpr std::uint8_t kSendImmediate = 0x87;   // hand the answer to the host now
constexpr std::uint8_t kNoDivideBy5 = 0x8A;     // 60 MHz master clock (H-series)
constexpr std::uint8_t kNoThreePhase = 0x8D;
constexpr std::uint8_t kNoAdaptive = 0x97;
constexpr std::uint8_t kBadCommand = 0xAA;      // answered with 0xFA and itself: proves the engine listens
constexpr std::uint8_t kBadCommandEcho = 0xFA;

// The pins on ADBUS, as wired to the chip.
constexpr std::uint8_t kSck = 0x01;  // ADBUS0
constexpr std::uint8_t kMosi = 0x02; // ADBUS1
constexpr std::uint8_t kCs = 0x08;   // ADBUS3, CS# is active low; MISO (ADBUS2) stays an input
constexpr std::uint8_t kOutputs = kSck | kMosi | kCs;

// One clocking command moves at most 65536 bytes.
constexpr std::size_t kMaxBytesPerCommand = 65536;

constexpr double kRoundTripNs = 125000;

// Every wait for the adapter is bounded: libusb's own calls, and a frame's
// answer, which takes its clock time and a round trip; a second beyond that
// means the adapter is gone or failing.
constexpr int kUsbTimeoutMs = 1000;
constexpr int kAnswerBudgetMs = 1000;

std::string busPathOf(libusb_device* dev)
{
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string path = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < depth; ++i)
        path += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return path;
}

std::string serialOf(ftdi_context* context, libusb_device* dev)
{
    char serial[128] = {};
    if (ftdi_usb_get_strings(context, dev, nullptr, 0, nullptr, 0, serial, sizeof serial) < 0)
        return {};
    return serial;
}

// The kernel driver bound to an interface of the adapter, from sysfs
// ("ftdi_sio"); empty when none or unknown.
std::string kernelDriverOf(const std::string& busPath, char interface)
{
    const std::string link = "/sys/bus/usb/devices/" + busPath + ":1." + std::to_string(interface - 'A') + "/driver";
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    return name ? name + 1 : target;
}

// Whether this user may open the adapter's USB device node; libftdi says
// only that libusb could not open it.
bool mayOpen(libusb_device* dev)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(libusb_get_bus_number(dev)),
                  unsigned(libusb_get_device_address(dev)));
    return access(node, R_OK | W_OK) == 0 || errno != EACCES;
}

void appendLength(std::vector<std::uint8_t>& commands, std::size_t length)
{
    commands.push_back(static_cast<std::uint8_t>((length - 1) & 0xFF));
    commands.push_back(static_cast<std::uint8_t>((length - 1) >> 8));
}

void appendPins(std::vector<std::uint8_t>& commands, std::uint8_t value)
{
    commands.insert(commands.end(), { kSetLowBits, value, kOutputs });
}

} // namespace

const std::vector<FtdiModel>& ftdiModels()
{
    static const std::vector<FtdiModel> models {
        { "ft232h", "FT232H", 0x6014, 'A' },
        { "ft2232h", "FT2232H", 0x6010, 'B' },
        { "ft4232h", "FT4232H", 0x6011, 'B' }, // C and D are serial ports only
    };
    return models;
}

const FtdiModel* ftdiModel(const std::string& name)
{
    for (const FtdiModel& model : ftdiModels())
        if (name == model.name)
            return &model;
    return nullptr;
}

std::uint16_t ftdiDivisorFor(std::uint32_t speedHz)
{
    const std::uint32_t divisor = (kFtdiMaxHz + speedHz - 1) / std::max<std::uint32_t>(speedHz, 1) - 1;
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(divisor, 0xFFFF));
}

std::uint32_t ftdiClockOf(std::uint16_t divisor)
{
    return kFtdiMaxHz / (1u + divisor);
}

bool parseFtdiParams(const FtdiModel& model, const std::string& params, FtdiSettings& settings, std::string& why)
{
    settings = FtdiSettings();
    settings.model = &model;
    std::size_t at = 0;
    while (!params.empty() && at <= params.size()) {
        const std::size_t comma = std::min(params.find(',', at), params.size());
        const std::string item = params.substr(at, comma - at);
        at = comma + 1;
        const std::string key = item.substr(0, item.find('='));
        const std::string value = item.find('=') == std::string::npos ? std::string() : item.substr(key.size() + 1);
        char* end = nullptr;
        const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
        const bool numeric = !value.empty() && !*end && value[0] != '-';
        if (key == "interface") {
            const char name = value.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(value[0]))) : 0;
            if (name < 'A' || name > model.lastMpsseInterface) {
                why = std::string("the ") + model.shownName + " clocks SPI on interface A"
                      + (model.lastMpsseInterface == 'B' ? " or B" : "") + " only, not '" + value + "'";
                return false;
            }
            settings.interface = name;
        } else if (key == "serial" && !value.empty()) {
            settings.serial = value;
        } else if (key == "index" && numeric && number < 128) {
            settings.index = static_cast<unsigned>(number);
        } else if (key == "speed") {
            if (!numeric || number < kFtdiMinHz || number > kFtdiMaxHz) {
                why = "the clock '" + value + "' is not a number of Hz from " + std::to_string(kFtdiMinHz) + " to "
                      + std::to_string(kFtdiMaxHz) + " (the adapter's highest)";
                return false;
            }
            settings.speedHz = static_cast<std::uint32_t>(number);
        } else {
            why = "'" + item + "' is none of interface=A|B, serial=S, index=N, speed=HZ";
            return false;
        }
    }
    return true;
}

std::vector<FtdiAdapter> ftdiAdapters()
{
    std::vector<FtdiAdapter> adapters;
    ftdi_context* context = ftdi_new();
    if (!context)
        return adapters;
    for (const FtdiModel& model : ftdiModels()) {
        ftdi_device_list* list = nullptr;
        if (ftdi_usb_find_all(context, &list, kFtdiVendor, model.productId) > 0)
            for (ftdi_device_list* each = list; each; each = each->next)
                adapters.push_back({ &model, serialOf(context, each->dev), busPathOf(each->dev) });
        ftdi_list_free(&list);
    }
    ftdi_free(context);
    std::sort(adapters.begin(), adapters.end(),
              [](const FtdiAdapter& a, const FtdiAdapter& b) { return a.busPath < b.busPath; });
    return adapters;
}

Ftdi::~Ftdi()
{
    close();
}

bool Ftdi::find(const FtdiSettings& wanted, std::string& why)
{
    close();
    settings = wanted;
    problem.clear();
    gone = false;
    divisor = ftdiDivisorFor(settings.speedHz);
    const std::string name = settings.model->shownName;
    context = ftdi_new();
    if (!context) {
        why = "Cannot use USB: libftdi could not start.";
        return false;
    }
    const int count = ftdi_usb_find_all(context, &found, kFtdiVendor, settings.model->productId);
    if (count < 0) {
        why = "Cannot look for the " + name + " on USB: " + ftdi_get_error_string(context) + ".";
        return false;
    }
    unsigned matching = 0, unreadable = 0;
    for (ftdi_device_list* each = found; each && !device; each = each->next) {
        const std::string itsSerial = settings.serial.empty() ? std::string() : serialOf(context, each->dev);
        unreadable += !settings.serial.empty() && itsSerial.empty();
        if (!settings.serial.empty() && itsSerial != settings.serial)
            continue;
        if (matching++ == settings.index)
            device = each->dev;
    }
    if (!device) {
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", kFtdiVendor, settings.model->productId);
        if (count == 0)
            why = "No " + name + " is attached (USB ID " + id + "): plug it in, or try another cable or USB port; "
                  "pagekiln-cli programmers lists the adapters attached.";
        else if (matching == 0 && unreadable > 0)
            why = "No " + name + " with serial " + settings.serial + " found: the serial of "
                  + std::to_string(unreadable) + " of the " + std::to_string(count) + " attached cannot be read, "
                  "which takes permission to open it (see the udev rule in the README).";
        else if (matching == 0)
            why = "No " + name + " with serial " + settings.serial + " is attached: pagekiln-cli programmers lists "
                  "the adapters attached and their serials.";
        else
            why = "index=" + std::to_string(settings.index) + " asks for " + name + " number "
                  + std::to_string(settings.index + 1) + ", but " + std::to_string(matching) + " "
                  + (matching == 1 ? "is" : "are") + " attached (index=0 is the first).";
        return false;
    }
    busPath = busPathOf(device);
    serial = serialOf(context, device);
    return true;
}

bool Ftdi::open(const FtdiSettings& wanted, std::string& why)
{
    if ((!device || wanted.model != settings.model || wanted.interface != settings.interface
         || wanted.serial != settings.serial || wanted.index != settings.index)
        && !find(wanted, why))
        return false;
    settings.speedHz = wanted.speedHz;
    divisor = ftdiDivisorFor(settings.speedHz);
    const std::string start = "Cannot open " + place() + ": ";
    if (ftdi_set_interface(context, static_cast<ftdi_interface>(INTERFACE_A + (settings.interface - 'A'))) < 0) {
        why = start + ftdi_get_error_string(context) + ".";
        return false;
    }
    const int opened = ftdi_usb_open_dev(context, device);
    const bool denied = opened == -8 || (opened == -4 && !mayOpen(device));
    ftdi_list_free(&found);
    device = nullptr;
    if (opened < 0) {
        if (denied)
            why = start + "permission denied. Install the udev rule that comes with Pagekiln "
                          "(/usr/lib/udev/rules.d/60-pagekiln.rules from the package; from the source, "
                          "sudo cp packaging/60-pagekiln.rules /etc/udev/rules.d/ && sudo udevadm control --reload), "
                          "add your user to the plugdev group (sudo usermod -aG plugdev $USER, then log out and in "
                          "again), and plug the adapter in again.";
        else if (opened == -3 || opened == -5)
            why = kernelDriverOf(busPath, settings.interface) == "ftdi_sio"
                      ? start + "the kernel's ftdi_sio driver holds interface " + settings.interface
                            + " as a serial port (/dev/ttyUSB*). Unload it (sudo rmmod ftdi_sio), or unbind this "
                              "interface from it, then try again."
                      : start + "the adapter is busy: another program has claimed interface "
                            + settings.interface + " (a serial terminal, OpenOCD, another flasher); close it and "
                              "try again.";
        else
            why = start + ftdi_get_error_string(context) + "; unplug the adapter and plug it in again.";
        return false;
    }
    claimed = true;
    if (!setUp(why)) {
        close();
        return false;
    }
    return true;
}

// The MPSSE as AN_135 sets it up: reset, then MPSSE mode; the engine proven
// listening by a bad command it must echo; the 60 MHz clock without its
// divide-by-5, adaptive and three-phase clocking off (SPI mode 0 clocks in
// two phases), the divisor, loopback off, and the pins idle: CS# high, SCK
// low.
bool Ftdi::setUp(std::string& why)
{
    const std::string start = "Cannot set up " + place() + ": ";
    context->usb_read_timeout = kUsbTimeoutMs;
    context->usb_write_timeout = kUsbTimeoutMs;
    if (ftdi_usb_reset(context) < 0 || ftdi_set_latency_timer(context, 2) < 0
        || ftdi_set_bitmode(context, 0, BITMODE_RESET) < 0 || ftdi_set_bitmode(context, kOutputs, BITMODE_MPSSE) < 0
        || ftdi_tcioflush(context) < 0) {
        why = start + ftdi_get_error_string(context) + "; unplug the adapter and plug it in again.";
        return false;
    }
    std::uint8_t echo[2] = {};
    std::string failed;
    if (!exchange({ kBadCommand, kSendImmediate }, echo, sizeof echo, failed)) {
        why = start + failed;
        return false;
    }
    if (echo[0] != kBadCommandEcho || echo[1] != kBadCommand) {
        why = start + "it does not answer as an MPSSE engine does (is it an " + settings.model->shownName + "?).";
        return false;
    }
    std::vector<std::uint8_t> init { kNoDivideBy5, kNoAdaptive, kNoThreePhase, kSetDivisor,
                                     static_cast<std::uint8_t>(divisor & 0xFF), static_cast<std::uint8_t>(divisor >> 8),
                                     kLoopbackOff };
    appendPins(init, kCs);
    if (!exchange(init, nullptr, 0, failed)) {
        why = start + failed;
        return false;
    }
    return true;
}

// The commands in one USB write, then their answer of answerLength bytes,
// read until it is all there or the budget is spent.
bool Ftdi::exchange(const std::vector<std::uint8_t>& out, std::uint8_t* in, std::size_t inLength, std::string& why)
{
    const int written = ftdi_write_data(context, out.data(), static_cast<int>(out.size()));
    if (written != static_cast<int>(out.size())) {
        why = "the adapter took no more commands (" + std::string(ftdi_get_error_string(context))
              + "): it was unplugged, or its USB connection failed.";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerBudgetMs)
                          + std::chrono::nanoseconds(static_cast<long long>(inLength * costAt(ftdiClockOf(divisor)).byteNs));
    std::size_t got = 0;
    while (got < inLength) {
        const int read = ftdi_read_data(context, in + got, static_cast<int>(inLength - got));
        if (read < 0) {
            why = "the adapter's answer did not come (" + std::string(ftdi_get_error_string(context))
                  + "): it was unplugged, or its USB connection failed.";
            return false;
        }
        got += static_cast<std::size_t>(read);
        if (read == 0 && got < inLength && Clock::now() > deadline) {
            why = "the adapter answered " + std::to_string(got) + " of the " + std::to_string(inLength)
                  + " bytes asked within " + std::to_string(kAnswerBudgetMs / 1000)
                  + " s: it or its USB connection is failing; unplug it and plug it in again.";
            return false;
        }
    }
    return true;
}

// CS# low, the bytes out (on SCK's falling edge, the chip samples on the
// rising), MOSI held high while the answer is clocked in (the chip sees
// 0xFF), CS# high, then the pins read back and send immediate: one write
// and one read. The pins close every frame's answer, a frame without bytes
// in included, so that a frame has been clocked whole and the chip released
// (ADBUS3 read high) when this returns: the driver times the chip's work
// from then.
Clock::time_point Ftdi::frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                              std::size_t inLength, Pace)
{
    std::fill(in, in + inLength, std::uint8_t(0xFF)); // as an undriven line reads, when the frame fails
    if (!claimed || gone) {
        if (problem.empty())
            problem = "Cannot send a frame to " + place() + ": it is not open.";
        return Clock::now();
    }
    commands.clear();
    appendPins(commands, 0);
    for (std::size_t at = 0; at < outLength; at += kMaxBytesPerCommand) {
        const std::size_t chunk = std::min(kMaxBytesPerCommand, outLength - at);
        commands.push_back(kBytesOutFalling);
        appendLength(commands, chunk);
        commands.insert(commands.end(), out + at, out + at + chunk);
    }
    if (inLength)
        appendPins(commands, kMosi);
    for (std::size_t at = 0; at < inLength; at += kMaxBytesPerCommand) {
        commands.push_back(kBytesInRising);
        appendLength(commands, std::min(kMaxBytesPerCommand, inLength - at));
    }
    appendPins(commands, kCs);
    commands.push_back(kReadLowBits);
    commands.push_back(kSendImmediate);
    answer.resize(inLength + 1);
    std::string why;
    bool moved = exchange(commands, answer.data(), answer.size(), why);
    const Clock::time_point released = Clock::now();
    if (moved && !(answer.back() & kCs)) {
        why = "chip select (ADBUS3) reads low after the frame released it: check that nothing else drives it.";
        moved = false;
    }
    if (moved) {
        std::copy(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(inLength), in);
        return released;
    }
    // No frame after this one: the adapter is gone, or its answers can no
    // longer be matched to the frames. Chip select is released if it still
    // listens.
    gone = true;
    problem = "Cannot send a frame to " + place() + ": " + why;
    std::vector<std::uint8_t> release;
    appendPins(release, kCs);
    ftdi_write_data(context, release.data(), static_cast<int>(release.size()));
    return released;
}

void Ftdi::close()
{
    if (claimed) {
        std::vector<std::uint8_t> release;
        appendPins(release, kCs);
        if (!gone) {
            ftdi_write_data(context, release.data(), static_cast<int>(release.size()));
            ftdi_set_bitmode(context, 0, BITMODE_RESET);
        }
        ftdi_usb_close(context);
    }
    claimed = false;
    if (found)
        ftdi_list_free(&found);
    device = nullptr;
    if (context)
        ftdi_free(context);
    context = nullptr;
}

Cost Ftdi::costAt(std::uint32_t clockHz)
{
    return { 8e9 / clockHz, kRoundTripNs };
}

std::string Ftdi::place() const
{
    std::string text = std::string(settings.model ? settings.model->shownName : "FTDI adapter") + " at USB " + busPath;
    if (settings.model && settings.model->lastMpsseInterface != 'A')
        text += std::string(" (interface ") + settings.interface + ")";
    return text;
}

std::string Ftdi::description() const
{
    char clock[32];
    std::snprintf(clock, sizeof clock, "%.4g MHz", ftdiClockOf(divisor) / 1e6);
    return std::string(settings.model->shownName) + " (serial " + (serial.empty() ? "unknown" : serial) + ", USB "
           + busPath + ", interface " + settings.interface + "), SPI clock " + clock;
}

} // namespace spilink
