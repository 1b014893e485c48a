#include "programmer.h"

#include "frontend.h"
#include "link.h"
#include "platform.h"

#if defined(__linux__)
#include "spidev.h"
#endif
#if defined(PAGEKILN_HAVE_FTDI)
#include "ftdi.h"
#endif

#if defined(PAGEKILN_CH341A)
#include "ch341a.h"
#endif

#include <QStringList>

#include <cctype>

namespace programmer {

namespace {

Choice chosen;

#if defined(__linux__)
spilink::Spidev spidev;
spilink::SpidevSettings spidevSettings;

// The lock's name: the device's file name, in the characters a lock name takes.
std::string lockName(const std::string& device)
{
    std::string name = device.substr(device.rfind('/') + 1);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    return name;
}

// Takes the lock of a link's device, once; false with the reason.
bool lockDevice(const std::string& name, const std::string& shown, PlatformPortLock& held, QString& problem)
{
    if (held != kNoPortLock)
        return true;
    std::string why;
    switch (platformLockNamed(lockName(name).c_str(), held, why)) {
    case PortLockOutcome::taken:
        return true;
    case PortLockOutcome::heldElsewhere:
        problem = QStringLiteral("%1 is in use by another Pagekiln program.").arg(QString::fromLocal8Bit(shown.c_str()));
        return false;
    case PortLockOutcome::failed:
        problem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    return false;
}

bool lockSpidev(QString& problem)
{
    static PlatformPortLock held = kNoPortLock;
    if (!lockDevice(spidevSettings.device, spidevSettings.device, held, problem))
        return false;
    std::string why;
    if (!spidev.open(spidevSettings, why)) {
        problem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    spilink::use(spidev);
    return true;
}
#endif

#if defined(PAGEKILN_HAVE_FTDI)
spilink::Ftdi ftdi;
spilink::FtdiSettings ftdiSettings;
bool ftdiOpen = false;

// One program per adapter interface: the lock is keyed by the adapter's
// place on the bus, found before it is claimed.
bool lockFtdi(QString& problem)
{
    static PlatformPortLock held = kNoPortLock;
    if (ftdiOpen)
        return true;
    std::string why;
    if (!ftdi.find(ftdiSettings, why)) {
        problem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    if (!lockDevice("ftdi-" + ftdi.lockKey(), ftdi.place(), held, problem))
        return false;
    if (!ftdi.open(ftdiSettings, why)) {
        problem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    ftdiOpen = true;
    spilink::use(ftdi);
    return true;
}
#endif

#if defined(PAGEKILN_CH341A)
spilink::Ch341a ch341a;
spilink::Ch341aSettings ch341aSettings;

// Found first, so that the lock is keyed by the adapter's bus path; opened
// (claimed) only once the lock is held.
bool lockCh341a(QString& problem)
{
    static PlatformPortLock held = kNoPortLock;
    if (held != kNoPortLock)
        return true;
    std::string why;
    if (!ch341a.find(ch341aSettings, why)) {
        problem = QString::fromStdString(why);
        return false;
    }
    switch (platformLockNamed(("ch341a-" + ch341a.busPath()).c_str(), held, why)) {
    case PortLockOutcome::taken:
        break;
    case PortLockOutcome::heldElsewhere:
        problem = QStringLiteral("The CH341A at USB %1 is in use by another Pagekiln program.")
                      .arg(QString::fromStdString(ch341a.busPath()));
        return false;
    case PortLockOutcome::failed:
        problem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    if (!ch341a.open(why)) {
        problem = QString::fromStdString(why);
        return false;
    }
    spilink::use(ch341a);
    return true;
}
#endif

} // namespace

bool parse(const QString& text, Choice& choice, QString& why)
{
    const QString name = text.section(QLatin1Char(':'), 0, 0);
    const QString params = text.section(QLatin1Char(':'), 1);
    choice = Choice();
    if (name == QLatin1String("lpt")) {
        choice.portAddress = params;
        return true;
    }
#if defined(__linux__)
    if (name == QLatin1String("spidev")) {
        choice.kind = Choice::Kind::Spidev;
        choice.params = params;
        spilink::SpidevSettings settings;
        std::string reason;
        if (spilink::parseSpidevParams(params.toStdString(), settings, reason))
            return true;
        why = QStringLiteral("spidev: %1").arg(QString::fromStdString(reason));
        return false;
    }
#endif
#if defined(PAGEKILN_HAVE_FTDI)
    if (const spilink::FtdiModel* model = spilink::ftdiModel(name.toStdString())) {
        choice.kind = Choice::Kind::Ftdi;
        choice.model = name;
        choice.params = params;
        spilink::FtdiSettings settings;
        std::string reason;
        if (spilink::parseFtdiParams(*model, params.toStdString(), settings, reason))
            return true;
        why = QStringLiteral("%1: %2").arg(name, QString::fromStdString(reason));
        return false;
    }
#endif
#if defined(PAGEKILN_CH341A)
    if (name == QLatin1String("ch341a")) {
        choice.kind = Choice::Kind::Ch341a;
        choice.params = params;
        spilink::Ch341aSettings settings;
        std::string reason;
        if (spilink::parseCh341aParams(params.toStdString(), settings, reason))
            return true;
        why = QStringLiteral("ch341a: %1").arg(QString::fromStdString(reason));
        return false;
    }
#endif
    why = QStringLiteral("unknown programmer '%1': pagekiln-cli programmers lists those this build has").arg(name);
    return false;
}

bool choose(const Choice& choice, QString& why)
{
    chosen = choice;
#if defined(__linux__)
    std::string reason;
    if (choice.kind == Choice::Kind::Spidev
        && !spilink::parseSpidevParams(choice.params.toStdString(), spidevSettings, reason)) {
        why = QString::fromStdString(reason);
        return false;
    }
#endif
#if defined(PAGEKILN_HAVE_FTDI)
    if (choice.kind == Choice::Kind::Ftdi
        && !spilink::parseFtdiParams(*spilink::ftdiModel(choice.model.toStdString()), choice.params.toStdString(),
                                     ftdiSettings, reason)) {
        why = QString::fromStdString(reason);
        return false;
    }
#endif
#if defined(PAGEKILN_CH341A)
    std::string unparsed;
    if (choice.kind == Choice::Kind::Ch341a
        && !spilink::parseCh341aParams(choice.params.toStdString(), ch341aSettings, unparsed)) {
        why = QString::fromStdString(unparsed);
        return false;
    }
#endif
    return true;
}

bool load(QString& problem)
{
    return chosen.kind != Choice::Kind::ParallelPort || frontend::loadPortLibrary(problem);
}

bool lock(QString& problem)
{
#if defined(__linux__)
    if (chosen.kind == Choice::Kind::Spidev)
        return lockSpidev(problem);
#endif
#if defined(PAGEKILN_HAVE_FTDI)
    if (chosen.kind == Choice::Kind::Ftdi)
        return lockFtdi(problem);
#endif
#if defined(PAGEKILN_CH341A)
    if (chosen.kind == Choice::Kind::Ch341a)
        return lockCh341a(problem);
#endif
    return frontend::lockPort(problem);
}

QString list()
{
    QStringList lines;
    lines << QStringLiteral("lpt      a PC parallel port, bit-banged: --programmer lpt:HEX (as --port HEX)");
#if defined(__linux__)
    lines << QStringLiteral("spidev   a Linux SPI controller: --programmer spidev:/dev/spidevB.C[,speed=HZ]"
                            " (default /dev/spidev0.0 at 1 MHz)");
    QStringList present;
    for (const std::string& device : spilink::spidevDevices())
        present << QString::fromLocal8Bit(device.c_str());
    lines << (present.isEmpty() ? QStringLiteral("         no spidev device present: enable SPI (on a Raspberry Pi: "
                                                 "dtparam=spi=on, then reboot) or load spidev (sudo modprobe spidev)")
                                : QStringLiteral("         present: %1").arg(present.join(QLatin1Char(' '))));
#endif
#if defined(PAGEKILN_HAVE_FTDI)
    lines << QStringLiteral("ft232h   an FTDI FT232H, FT2232H or FT4232H (MPSSE) on USB: --programmer "
                            "ft232h|ft2232h|ft4232h[:interface=A|B,serial=S,index=N,speed=HZ] (default interface A, "
                            "the first adapter, 6 MHz)");
    const std::vector<spilink::FtdiAdapter> adapters = spilink::ftdiAdapters();
    if (adapters.empty())
        lines << QStringLiteral("         no FTDI adapter attached");
    for (const spilink::FtdiAdapter& adapter : adapters)
        lines << QStringLiteral("         attached: %1 (USB 0403:%2), serial %3, bus path %4")
                     .arg(QLatin1String(adapter.model->shownName))
                     .arg(adapter.model->productId, 4, 16, QLatin1Char('0'))
                     .arg(adapter.serial.empty() ? QStringLiteral("unreadable (permission denied?)")
                                                 : QString::fromLocal8Bit(adapter.serial.c_str()))
                     .arg(QString::fromLocal8Bit(adapter.busPath.c_str()));
#endif
#if defined(PAGEKILN_CH341A)
    lines << QStringLiteral("ch341a   a CH341A USB adapter (1a86:5512): --programmer ch341a[:serial=S][,index=N]"
                            " (default the first attached)");
    std::vector<spilink::Ch341aAdapter> usbAdapters;
    std::string why;
    if (!spilink::ch341aAdapters(usbAdapters, why))
        lines << QStringLiteral("         %1").arg(QString::fromStdString(why));
    else if (usbAdapters.empty())
        lines << QStringLiteral("         no CH341A attached");
    for (std::size_t i = 0; i < usbAdapters.size(); ++i) {
        const spilink::Ch341aAdapter& adapter = usbAdapters[i];
        const QString serial = !adapter.problem.empty()
                                   ? QStringLiteral(", serial unreadable: %1").arg(QString::fromStdString(adapter.problem))
                               : adapter.serial.empty() ? QString()
                                                        : QStringLiteral(", serial %1").arg(QString::fromStdString(adapter.serial));
        lines << QStringLiteral("         attached: USB %1 (index=%2%3)")
                     .arg(QString::fromStdString(adapter.busPath)).arg(i).arg(serial);
    }
#endif
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString details()
{
#if defined(PAGEKILN_HAVE_FTDI)
    if (chosen.kind == Choice::Kind::Ftdi && ftdiOpen)
        return QString::fromLocal8Bit(ftdi.description().c_str());
#endif
    return QString();
}

} // namespace programmer
