// Finding the kernel's parallel port for a base address, and the texts that
// tell a user why a port cannot be used. The roots of /proc and /dev are
// parameters so that the lookup can be tried on a made-up tree.
#pragma once

#include <string>
#include <vector>

namespace parport {

struct Port {
    int number;    // N of /dev/parportN
    unsigned base; // I/O base address of its data register
};

// The ports the kernel lists under procRoot/sys/dev/parport/parportN/base-addr,
// by number.
std::vector<Port> listPorts(const std::string& procRoot);

// The port with this base address, or null.
const Port* findPort(const std::vector<Port>& ports, unsigned base);

std::string devicePath(const std::string& devRoot, const Port& port);

// Whether any listed port's device can be opened; if not, why, in problem.
bool anyPortUsable(const std::string& procRoot, const std::string& devRoot, std::string& problem);

// Texts for the user.
std::string noPortsText();
std::string noPortAtText(unsigned base, const std::vector<Port>& ports);
std::string openErrorText(const std::string& device, int error);
std::string claimErrorText(const std::string& device, int error);
std::string claimTimeoutText(const std::string& device, unsigned seconds);

} // namespace parport
