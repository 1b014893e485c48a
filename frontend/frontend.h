// What the window and the command-line program share above the driver: the
// settings store, the port address, and the texts that explain a port
// library, a port or a chip that cannot be used.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

struct DataFlashInfo;

namespace frontend {

// The settings store: organisation and application names, and the key and
// default of the port address (the window also keeps the file path there).
extern const char* const kSettingsOrganisation;
extern const char* const kSettingsApplication;
extern const char* const kAddressKey;
extern const char* const kDefaultAddress;

// The port address the window last stored, or the default; stored, when
// given, says which.
QString storedPortAddress(bool* stored = nullptr);

// Where the window's settings live: a file, or a registry key on Windows.
QString settingsLocation();

// Parses a port address as the window takes it (a 32-bit hexadecimal
// number); base receives its low 16 bits.
bool parsePortAddress(const QString& text, std::int16_t& base);

// Parses a port address as the command line takes it: two to five
// hexadecimal digits with a value of at most FFFF (kPortAddressRange). No
// digit is dropped: 10378 is refused, not taken for 378.
bool parsePortAddressInRange(const QString& text, std::int16_t& base);
extern const char* const kPortAddressRange;

// Whether base is the base of a parallel port the system lists (on Windows,
// where any address typed in would be driven: 70 is the CMOS index port, CF9
// can reset the PC). True too where the system keeps no such list; false with
// text naming the address and the ports listed.
bool isListedParallelPort(std::int16_t base, QString& problem);

// A port base as the user types it: upper-case hexadecimal, 378.
QString portName(std::int16_t base);

// Bytes in upper-case hexadecimal, separated by spaces: 1F 24 00 00.
QString hexBytes(const std::uint8_t* bytes, int count);

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

// What a chip is wanted for: reading allows a protected chip, writing does not.
enum class ChipUse { Reading, Writing };

// Wakes the link and probes the chip on the port (AT45DB_Probe), which
// makes it the chip in use. For writing, a chip with one SRAM buffer is
// refused. False
// when it is refused for this use, with one line each in problem: the
// driver's text, then a line of advice where it leaves the user guessing
// (nothing answers on the port; the ID the chip gave; how to lift sector
// protection). The same refusal gives the same lines whatever the command.
bool probeChip(ChipUse use, DataFlashInfo& chip, QStringList& problem);

// What the user can do about a chip whose sector protection is on.
QString protectionRemedy();

} // namespace frontend
