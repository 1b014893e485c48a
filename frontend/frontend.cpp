#include "frontend.h"

#include "at45db041d.h"
#include "lpt.h"
#include "platform.h"

#include <QSettings>

namespace frontend {

const char* const kSettingsOrganisation = "pagekiln.org";
const char* const kSettingsApplication = "Pagekiln2";
const char* const kAddressKey = "lpt_address";
const char* const kDefaultAddress = "378";

QString storedPortAddress()
{
    const QSettings settings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication));
    return settings.value(QString::fromLatin1(kAddressKey), QString::fromLatin1(kDefaultAddress)).toString();
}

bool parsePortAddress(const QString& text, std::int16_t& base)
{
    bool ok = false;
    const int value = text.toInt(&ok, 16);
    if (ok) // addresses above 0xFFFF keep their low 16 bits
        base = static_cast<std::int16_t>(static_cast<std::uint16_t>(value & 0xFFFF));
    return ok;
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

QString connectionProblem()
{
    // A port the library cannot reach explains the silence better than the
    // status byte does.
    const std::string portProblem = LPT_PortProblem();
    return portProblem.empty() ? lastMessage : QString::fromLocal8Bit(portProblem.c_str());
}

} // namespace frontend
