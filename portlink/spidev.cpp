// The spidev link.
#include "spidev.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace spilink {

namespace {

constexpr double kMessageNs = 20000;

bool readNumber(const std::string& path, unsigned long& value)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    char* end = nullptr;
    value = got > 0 ? std::strtoul(text, &end, 10) : 0;
    return got > 0 && end != text;
}

} // namespace

bool parseSpidevParams(const std::string& params, SpidevSettings& settings, std::string& why)
{
    std::size_t at = 0;
    bool first = true;
    while (at <= params.size() && !params.empty()) {
        const std::size_t comma = std::min(params.find(',', at), params.size());
        const std::string item = params.substr(at, comma - at);
        at = comma + 1;
        if (item.rfind("speed=", 0) == 0) {
            char* end = nullptr;
            const unsigned long long hz = std::strtoull(item.c_str() + 6, &end, 10);
            if (item.size() == 6 || *end || hz < kSpidevMinHz || hz > kSpidevMaxHz) {
                why = "the clock '" + item.substr(6) + "' is not a number of Hz from " + std::to_string(kSpidevMinHz)
                      + " to " + std::to_string(kSpidevMaxHz) + " (the AT45DB041D's highest)";
                return false;
            }
            settings.speedHz = static_cast<std::uint32_t>(hz);
        } else if (first && !item.empty() && item.find('=') == std::string::npos) {
            settings.device = item;
        } else {
            why = "'" + item + "' is neither a device (/dev/spidevB.C, first) nor speed=HZ";
            return false;
        }
        first = false;
    }
    return true;
}

std::vector<std::string> spidevDevices(const std::string& sysRoot)
{
    std::vector<std::string> devices;
    DIR* dir = opendir((sysRoot + "/class/spidev").c_str());
    if (!dir)
        return devices;
    while (const dirent* entry = readdir(dir))
        if (std::strncmp(entry->d_name, "spidev", 6) == 0)
            devices.push_back(std::string("/dev/") + entry->d_name);
    closedir(dir);
    std::sort(devices.begin(), devices.end());
    return devices;
}

std::size_t spidevBufferSize(const std::string& sysRoot)
{
    unsigned long size = 0;
    if (readNumber(sysRoot + "/module/spidev/parameters/bufsiz", size) && size > 0)
        return size;
    return 4096;
}

std::string spidevErrorText(const std::string& device, const char* step, int error)
{
    const std::string start = "Cannot " + std::string(step) + " " + device + ": ";
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return start + "no such SPI device. Enable SPI (on a Raspberry Pi: dtparam=spi=on in "
                       "/boot/config.txt, then reboot) or load the spidev driver (sudo modprobe spidev); "
                       "pagekiln-cli programmers lists the devices present.";
    case EACCES:
    case EPERM:
        return start + "permission denied. Add your user to the spi group (sudo usermod -aG spi $USER, "
                       "then log out and in again) or give the device to your group with a udev rule.";
    case EBUSY:
        return start + "the device is busy: another program or a kernel driver is using this SPI device; "
                       "stop it and try again.";
    case EMSGSIZE:
        return start + "the spidev driver refused a message as too large for its buffer (bufsiz).";
    case EINVAL:
        return start + "the SPI controller refused the settings (SPI mode 0, 8 bits a word, the clock).";
    default:
        return start + std::strerror(error) + ".";
    }
}

Spidev::~Spidev()
{
    close();
}

bool Spidev::open(const SpidevSettings& wanted, std::string& why)
{
    close();
    settings = wanted;
    problem.clear();
    fd = ::open(settings.device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        why = spidevErrorText(settings.device, "open", errno);
        return false;
    }
    std::uint8_t mode = SPI_MODE_0;
    std::uint8_t bits = 8;
    std::uint32_t speed = settings.speedHz;
    const char* step = "set SPI mode 0 on";
    bool set = ioctl(fd, SPI_IOC_WR_MODE, &mode) == 0;
    if (set) {
        step = "set 8 bits a word on";
        set = ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) == 0;
    }
    if (set) {
        step = "set the clock on";
        set = ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) == 0;
    }
    if (!set) {
        why = spidevErrorText(settings.device, step, errno);
        close();
        return false;
    }
    // A controller slower than asked runs at its own highest clock.
    if (ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed) == 0 && speed > 0 && speed < settings.speedHz)
        settings.speedHz = speed;
    bufferSize = spidevBufferSize();
    return true;
}

void Spidev::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// One full-duplex transfer: the command, then 0xFF while the reply comes.
// Split into messages of at most bufferSize bytes where needed; every
// message but the last ends with cs_change set, which keeps the chip
// selected until the next one.
Clock::time_point Spidev::frame(const std::uint8_t* out, std::size_t outLength, std::uint8_t* in,
                                std::size_t inLength, Pace)
{
    const std::size_t length = outLength + inLength;
    tx.assign(length, 0xFF);
    if (outLength)
        std::memcpy(tx.data(), out, outLength);
    rx.assign(length, 0xFF);
    bool moved = fd >= 0;
    for (std::size_t at = 0; moved && at < length;) {
        const std::size_t chunk = std::min(bufferSize, length - at);
        spi_ioc_transfer transfer {};
        transfer.tx_buf = reinterpret_cast<std::uintptr_t>(tx.data() + at);
        transfer.rx_buf = reinterpret_cast<std::uintptr_t>(rx.data() + at);
        transfer.len = static_cast<std::uint32_t>(chunk);
        transfer.speed_hz = settings.speedHz;
        transfer.bits_per_word = 8;
        transfer.cs_change = at + chunk < length ? 1 : 0;
        if (ioctl(fd, SPI_IOC_MESSAGE(1), &transfer) < 0) {
            const int error = errno;
            problem = error == ENODEV || error == ENXIO
                          ? "Cannot send a frame to " + settings.device + ": the device is gone (the SPI adapter "
                                "unplugged, or spidev unloaded)."
                          : spidevErrorText(settings.device, "send a frame to", error);
            moved = false;
            // A message refused in the middle of a frame: release the chip
            // with an empty one, so that no command is left open.
            if (at > 0) {
                spi_ioc_transfer release {};
                ioctl(fd, SPI_IOC_MESSAGE(1), &release);
            }
        }
        at += chunk;
    }
    const Clock::time_point released = Clock::now();
    if (moved)
        std::memcpy(in, rx.data() + outLength, inLength);
    else
        std::fill(in, in + inLength, std::uint8_t(0xFF)); // as an undriven line reads
    return released;
}

Cost Spidev::costAt(std::uint32_t speedHz)
{
    return { 8e9 / speedHz, kMessageNs };
}

} // namespace spilink
