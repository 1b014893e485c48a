// What the window and the command-line program share above the driver: the
// settings store, the port address, and the texts that explain a port
// library or a port that cannot be used.
#pragma once

#include <QString>

#include <cstdint>

namespace frontend {

// The settings store: organisation and application names, and the key and
// default of the port address (the window also keeps the file path there).
extern const char* const kSettingsOrganisation;
extern const char* const kSettingsApplication;
extern const char* const kAddressKey;
extern const char* const kDefaultAddress;

// The port address the window last stored, or the default.
QString storedPortAddress();

// Parses a port address typed in hexadecimal (a 32-bit number); base
// receives its low 16 bits.
bool parsePortAddress(const QString& text, std::int16_t& base);

// Loads the port library (LPT_LoadDriver). False, with text saying which
// library failed and, when known, why.
bool loadPortLibrary(QString& problem);

// One program per port, at the connect stage, before the first access to the
// port at lptBase: takes the port's lock, held until the program ends (or
// until it moves to another port, whose lock it then takes instead). False,
// with text naming the port, when another program holds it; the port is then
// left untouched.
bool lockPort(QString& problem);

// After a failed connection: what the port library can tell about the port
// (no such port, no permission), else the driver's lastMessage.
QString connectionProblem();

} // namespace frontend
