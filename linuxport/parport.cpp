#include "parport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace parport {
namespace {

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// "parport12" gives 12; anything else (such as "default") gives -1.
int portNumber(const char* name)
{
    if (std::strncmp(name, "parport", 7) != 0 || !name[7])
        return -1;
    char* end = nullptr;
    const long number = std::strtol(name + 7, &end, 10);
    return *end == '\0' && number >= 0 ? static_cast<int>(number) : -1;
}

} // namespace

std::vector<Port> listPorts(const std::string& procRoot)
{
    std::vector<Port> ports;
    const std::string folder = procRoot + "/sys/dev/parport";
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return ports;
    while (const dirent* entry = readdir(dir)) {
        const int number = portNumber(entry->d_name);
        if (number < 0)
            continue;
        // base-addr holds the base and the ECP extended base, in decimal.
        std::ifstream file(folder + "/" + entry->d_name + "/base-addr");
        unsigned long base = 0;
        if (file >> base && base <= 0xFFFF)
            ports.push_back({ number, static_cast<unsigned>(base) });
    }
    closedir(dir);
    std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) { return a.number < b.number; });
    return ports;
}

const Port* findPort(const std::vector<Port>& ports, unsigned base)
{
    for (const Port& port : ports)
        if (port.base == base)
            return &port;
    return nullptr;
}

std::string devicePath(const std::string& devRoot, const Port& port)
{
    return devRoot + "/parport" + std::to_string(port.number);
}

bool anyPortUsable(const std::string& procRoot, const std::string& devRoot, std::string& problem)
{
    const std::vector<Port> ports = listPorts(procRoot);
    if (ports.empty()) {
        problem = noPortsText();
        return false;
    }
    for (const Port& port : ports) {
        const std::string device = devicePath(devRoot, port);
        const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (port.number == ports.front().number)
            problem = openErrorText(device, errno);
    }
    return false;
}

std::string noPortsText()
{
    return "No parallel port found: the kernel lists none under /proc/sys/dev/parport. "
           "Enable the port in the BIOS and load its driver (sudo modprobe parport_pc).";
}

std::string noPortAtText(unsigned base, const std::vector<Port>& ports)
{
    if (ports.empty())
        return noPortsText();
    std::string text = "No parallel port at address " + hex(base) + ". This PC has:";
    for (const Port& port : ports)
        text += " " + hex(port.base) + " (parport" + std::to_string(port.number) + ")";
    return text + ".";
}

std::string openErrorText(const std::string& device, int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "Cannot open " + device + ": permission denied. Add your user to the lp group "
               "(sudo usermod -aG lp $USER), then log out and in again.";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "Cannot open " + device + ": the parallel port device is missing. "
               "Load the ppdev driver (sudo modprobe ppdev).";
    default:
        return "Cannot open " + device + ": " + std::strerror(error) + ".";
    }
}

std::string claimErrorText(const std::string& device, int error)
{
    return "Cannot claim " + device + ": " + std::strerror(error) +
           ". Another program or driver may hold the port; unload the printer driver "
           "(sudo modprobe -r lp) and try again.";
}

std::string claimTimeoutText(const std::string& device, unsigned seconds)
{
    return "Cannot claim " + device + ": another program has held the port for " + std::to_string(seconds) +
           " s (a print job, or a program of another user). Try again once it lets go; if the printer driver "
           "keeps it, unload it (sudo modprobe -r lp).";
}

} // namespace parport
