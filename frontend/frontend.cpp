#include "frontend.h"

#include "at45db041d.h"
#include "link.h"
#include "lpt.h"
#include "platform.h"

#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <vector>

namespace frontend {

const char* const kSettingsOrganisation = "pagekiln.org";
const char* const kSettingsApplication = "Pagekiln2";
const char* const kAddressKey = "lpt_address";
const char* const kDefaultAddress = "378";
const char* const kPortAddressRange =
    "two to five hexadecimal digits with a value of at most FFFF, 0x before them allowed (378, 0x3BC, D100)";

QString storedPortAddress(bool* stored)
{
    const QSettings settings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication));
    if (stored)
        *stored = settings.contains(QString::fromLatin1(kAddressKey));
    return settings.value(QString::fromLatin1(kAddressKey), QString::fromLatin1(kDefaultAddress)).toString();
}

QString settingsLocation()
{
    return QSettings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication)).fileName();
}

bool parsePortAddress(const QString& text, std::int16_t& base)
{
    bool ok = false;
    const int value = text.toInt(&ok, 16);
    if (ok) // addresses above 0xFFFF keep their low 16 bits
        base = static_cast<std::int16_t>(static_cast<std::uint16_t>(value & 0xFFFF));
    return ok;
}

bool parsePortAddressInRange(const QString& given, std::int16_t& base)
{
    // 0x before the digits, as the window's label shows it, is allowed.
    const QString text = given.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? given.mid(2) : given;
    static const QRegularExpression digits(QStringLiteral("^[0-9A-Fa-f]{2,5}$"));
    bool ok = false;
    const uint value = text.toUInt(&ok, 16);
    if (!digits.match(text).hasMatch() || !ok || value > 0xFFFF)
        return false;
    base = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    return true;
}

QString portName(std::int16_t base)
{
    return QString::number(static_cast<std::uint16_t>(base), 16).toUpper();
}

bool isListedParallelPort(std::int16_t base, QString& problem)
{
    std::vector<std::uint16_t> bases;
    if (!platformParallelPortBases(bases)
        || std::find(bases.begin(), bases.end(), static_cast<std::uint16_t>(base)) != bases.end())
        return true;
    QStringList listed;
    for (const std::uint16_t each : bases)
        listed << portName(static_cast<std::int16_t>(each));
    problem = QStringLiteral("%1 is not the address of a parallel port of this PC (%2).")
                  .arg(portName(base),
                       listed.isEmpty() ? QStringLiteral("it lists none")
                                        : QStringLiteral("its parallel ports: %1").arg(listed.join(QStringLiteral(", "))));
    return false;
}

QString hexBytes(const std::uint8_t* bytes, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

bool loadPortLibrary(QString& problem)
{
    if (LPT_LoadDriver())
        return true;
    problem = QStringLiteral("Failed to load %1 !").arg(QString::fromLatin1(platformPortLibraryName()));
    const std::string why = LPT_DriverProblem();
    if (!why.empty())
        problem += QLatin1Char('\n') + QString::fromLocal8Bit(why.c_str());
    return false;
}

bool lockPort(QString& problem)
{
    // The lock of the port in use, kept for the program's lifetime.
    static PlatformPortLock held = kNoPortLock;
    static std::uint16_t heldBase = 0;
    const auto base = static_cast<std::uint16_t>(lptBase);
    if (held != kNoPortLock && heldBase == base)
        return true;
    platformUnlockPort(held);
    held = kNoPortLock;
    std::string why;
    switch (platformLockPort(base, held, why)) {
    case PortLockOutcome::taken:
        heldBase = base;
        return true;
    case PortLockOutcome::heldElsewhere:
        problem = QStringLiteral("Port %1 is in use by another Pagekiln program.")
                      .arg(QString::number(base, 16).toUpper());
        return false;
    case PortLockOutcome::failed:
        break;
    }
    problem = QString::fromLocal8Bit(why.c_str());
    return false;
}

namespace {

// Where the chip hangs: "port 378", or the device of another link.
QString place()
{
    return QString::fromLocal8Bit(spilink::inUse().place().c_str());
}

} // namespace

QString connectionProblem()
{
    // A port the library cannot reach explains the silence better than the
    // status byte does.
    const std::string linkProblem = spilink::inUse().failure();
    if (!linkProblem.empty())
        return QString::fromLocal8Bit(linkProblem.c_str());
    const std::string portProblem = LPT_PortProblem();
    return portProblem.empty() ? lastMessage : QString::fromLocal8Bit(portProblem.c_str());
}

QString protectionRemedy()
{
    return QStringLiteral("the chip's sector protection is on: turn it off with pagekiln-cli unprotect (its WP# pin "
                          "must be high), then run write again; verify and read work on a protected chip");
}


bool probeChip(ChipUse use, DataFlashInfo& chip, QStringList& problem)
{
    problem.clear();
    const bool known = AT45DB_Probe(chip);
    if (!chip.answered) {
        const QString why = connectionProblem();
        problem << why;
        if (why == lastMessage)
            problem << (&spilink::inUse() == &spilink::parallelPort()
                            ? QStringLiteral("no chip answers on %1: check the cable, the power and the address")
                            : QStringLiteral("no chip answers on %1: check the cable and the power"))
                           .arg(place());
        return false;
    }
    if (!known) {
        problem << lastMessage
                << QStringLiteral("the chip on %1 gives the ID %2").arg(place(), hexBytes(chip.id, kDataFlashIdLength));
        return false;
    }
    if (use == ChipUse::Writing && chip.chip->buffers == 1) {
        problem << QStringLiteral("The %1 has one SRAM buffer, and pagekiln-cli programs through two (one filled "
                                  "while the chip programs from the other); write, update and erase refuse it, "
                                  "nothing on it was changed")
                       .arg(QLatin1String(chip.chip->name))
                << QStringLiteral("info, verify, read, inspect, protect, unprotect, cable and page-size work on it");
        return false;
    }
    if (use == ChipUse::Writing && !AT45DB041D_CheckWritable(chip)) {
        problem << lastMessage << protectionRemedy();
        return false;
    }
    return true;
}

} // namespace frontend
