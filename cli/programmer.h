// pagekiln-cli's choice of link: --programmer NAME[:PARAMS], its opening and
// lock, and the list the programmers command prints.
#pragma once

#include <QString>

namespace programmer {

struct Choice {
    enum class Kind { ParallelPort, Spidev, Ftdi, Ch341a } kind = Kind::ParallelPort;
    QString portAddress; // lpt:HEX; empty: --port, the stored address or 378
    QString params;      // spidev: DEVICE[,speed=HZ]; ftdi: interface=,serial=,index=,speed=;
                         // ch341a: [serial=S][,index=N]
    QString model;       // ftdi: ft232h, ft2232h or ft4232h
};

// Parses NAME[:PARAMS]; false with why, for a usage error.
bool parse(const QString& text, Choice& choice, QString& why);

// Uses this link from now on (the parallel port until called).
bool choose(const Choice& choice, QString& why);

// Makes the link ready (the port library loaded), then takes its lock (one
// program per port or device) and opens it; false with the reason.
bool load(QString& problem);
bool lock(QString& problem);

// The links this build has, and for spidev and the USB adapters the devices
// present.
QString list();

// What the open link is, where there is more to tell than its place (an
// adapter's serial and its actual clock); empty otherwise.
QString details();

} // namespace programmer
