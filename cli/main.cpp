// pagekiln-cli: the same job as the window without one, for build scripts and
// production lines, plus reading a chip out, checking it against a file and
// telling what chip is on the port. A thin front end over the driver.
#include "at45db041d.h"
#include "frontend.h"
#include "loaderfile.h"
#include "writejob.h"
#include "link.h"
#include "lpt.h"
#include "platform.h"
#include "programmer.h"
#include "progress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

enum ExitStatus {
    kSuccess = 0,
    kFailed = 1,     // the chip, the file or the verification
    kUsage = 2,
    kPowerCycle = 3, // the chip's binary pages wait for a power cycle; nothing was erased
};
// A stop request ends the run with 128 + its signal number.
constexpr int kStoppedBase = 128;
// Standard output closed by its reader before everything was written (read -
// | head): the status a shell gives a program that SIGPIPE ended, said
// without a message, as the reader had enough.
constexpr int kOutputClosed = 141;

const char* const kName = "pagekiln-cli";

const char* const kExitStatuses =
    "Exit status:\n"
    "  0    success\n"
    "  1    the job failed (chip, file or verification); the chip stays protected after\n"
    "       unprotect (WP# held low, or sectors locked down for good); inspect found FILE,\n"
    "       or the chip's image, unsound or unable to boot; cable saw errors\n"
    "  2    usage error\n"
    "  3    the chip was set to binary pages (256 bytes on an AT45DB041D), which take\n"
    "       effect after a power cycle: nothing was erased; power-cycle the board and run\n"
    "       write (or update) again (page-size --yes: power-cycle the board)\n"
    "  129  stopped by SIGHUP (on Windows: the console closed), at a clean boundary\n"
    "  130  interrupted (Ctrl-C), at a clean boundary\n"
    "  141  standard output was closed by its reader before everything was written\n"
    "  143  stopped by SIGTERM, at a clean boundary";

// The commands, their one argument and what their own help says.
struct Command {
    const char* name;
    const char* argument;     // its value name, or null for none
    const char* argumentHelp;
    const char* summary;      // for the list of commands
    const char* description;  // for the command's own help
    bool takesNoVerify;
    bool takesRaw = false;     // --raw: FILE written whatever it is
    bool fileOptional = false; // the argument may be left out
};

const Command kCommands[] = {
    { "info", nullptr, nullptr, "the chip's ID, page size, protection, capacity and unique ID",
      "Prints the ID, page size, protection and capacity of the chip on the link, the\n"
      "sectors its protection and lockdown registers mark, and its 64-byte unique ID\n"
      "(factory-programmed, different on every chip). Changes nothing.",
      false },
    { "write", "FILE", "The boot image (.bin or .ldr) to write, at most the chip's capacity (524288\n"
      "bytes on an AT45DB041D).",
      "set binary pages, erase the chip and program FILE from page 0;\n"
      "                 every page proven on the chip",
      "Reads FILE whole, then sets the chip to binary pages (256 bytes on an AT45DB041D;\n"
      "a new D-series chip: exit 3 before anything is erased, power-cycle the board and\n"
      "run write again), erases the chip and\n"
      "programs FILE from page 0, every page proven on the chip unless --no-verify.\n"
      "FILE is refused before anything on the chip changes when it cannot boot: an ELF,\n"
      "Intel HEX, S-record or text file, or a *.ldr that is no sound loader file.",
      true, true },
    { "update", "FILE", "The boot image (.bin or .ldr) the chip should hold, at most the chip's\n"
      "capacity (524288 bytes on an AT45DB041D).",
      "program only the pages of FILE that differ on the chip;\n"
      "                 pages after FILE are left as they are",
      "Reads FILE whole, sets binary pages as write does (a new chip: exit 3 before\n"
      "anything changes), then tests each page of FILE on the chip (one transfer and\n"
      "the chip's compare) and programs, with erase, only the pages that differ, each\n"
      "proven on the chip. The last page is zero-padded, as write leaves it. Pages after\n"
      "FILE are left as they are: what a board keeps above its image (an environment,\n"
      "calibration data) survives. Ends saying how many pages it changed. FILE is\n"
      "checked as write checks it.",
      false, true },
    { "erase", nullptr, nullptr, "erase the whole chip and prove every page blank",
      "Erases the whole chip and proves every page blank on the chip (a compare with a\n"
      "buffer of 0xFF).",
      false },
    { "unprotect", nullptr, nullptr, "turn the chip's sector protection off",
      "Sends Disable Sector Protection (3D 2A 7F 9A) and reads the status register to\n"
      "confirm. A chip that stays protected fails (exit 1) saying why: WP# held low\n"
      "(tie it high), or sectors locked down for good (nothing can undo that).",
      false },
    { "protect", nullptr, nullptr, "turn the chip's sector protection on, until it is powered off",
      "Sends Enable Sector Protection (3D 2A 7F A9) and reads the status register to\n"
      "confirm. The sectors the protection register marks then refuse program and\n"
      "erase; the chip turns this protection off again when it is powered off.",
      false },
    { "verify", "FILE", "The file the chip should hold.", "compare the chip with FILE page by page; changes nothing",
      "Compares the chip with FILE page by page, in the page size in force, and names the\n"
      "first page that differs. Only FILE's bytes count, not what follows them in its last\n"
      "page. Changes nothing; works on a protected chip too.",
      false },
    { "read", "OUTPUT", "Where the chip's contents go: a regular file, or - for standard output (not a\n"
      "terminal, unless --force).",
      "read the whole chip into OUTPUT (- for standard output)",
      "Reads the whole chip, every page in the page size in force (524288 or 540672 bytes\n"
      "on an AT45DB041D),\n"
      "into OUTPUT. OUTPUT is written under a temporary name and replaces the old one only\n"
      "when every page was read and the chip answered throughout; anything but a regular\n"
      "file is never replaced.",
      false },
    { "inspect", "FILE", "The boot image to look at; without it, the one on the chip.",
      "what a boot image holds, block by block, and its SHA-256;\n"
      "                 without FILE, the image on the chip",
      "Tells what FILE is: a loader file (BF53x, BF561, or BF51x/BF52x/BF54x/BF59x/BF60x),\n"
      "a raw binary, or a format that cannot boot from flash (ELF, Intel HEX, S-record,\n"
      "text). For a loader file, one line per block (offset, target address, byte count,\n"
      "flags, and any defect), the image's length up to its FINAL block, the bytes after\n"
      "it and the file's SHA-256. Without FILE, the same for the chip: only the pages the\n"
      "walk through the headers needs are read, each proven as read proves it, and the\n"
      "image's SHA-256 is printed. Exit 1 when something is wrong. Changes nothing.",
      false, false, true },
    { "page-size", "SIZE", "binary (pages of 256, 512 or 1024 bytes) or dataflash (264, 528 or 1056).",
      "set the chip's page size: binary or dataflash",
      "Sets the chip's page size. An E-series chip (AT45DB...E) switches both ways, in force\n"
      "at once. A D-series chip switches only to binary pages, once and for good, in force\n"
      "after a power cycle: refused without --yes, and with it exit 3 (power-cycle the\n"
      "board). Pages keep their bytes, laid out for the old size: write the image again.\n"
      "A chip already in that size is left as it is.",
      false },
    { "cable", nullptr, nullptr, "measure how often the cable flips bits on each wire; changes no flash",
      "Measures both wires on the chip that is there, without changing its flash:\n"
      "patterns written into an SRAM buffer and read back several times (an error on\n"
      "the wire to the chip repeats in every read; one on the wire from the chip does\n"
      "not), and long status reads. Prints a line per wire,\n"
      "  to the chip (SI): N errors in M bits, rate at most R (95 %)\n"
      "  from the chip (SO): N errors in M bits, rate at most R (95 %)\n"
      "then a line of advice. Exit 0 when no error was seen, 1 otherwise.",
      false },
    { "programmers", nullptr, nullptr, "the links this build can reach a chip through",
      "Lists the links (--programmer NAME) this build has and, for spidev, the SPI\n"
      "devices present; for the FTDI adapters and ch341a, those attached (USB ID or\n"
      "bus path, serial). Touches no chip.",
      false },
};

const Command* findCommand(const QString& name)
{
    for (const Command& command : kCommands)
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

volatile std::sig_atomic_t stopSignal = 0;
// Set when the driver stopped on a stop request; a failure while one is
// pending is still a failure, and told as one.
bool stopTaken = false;
Progress* progress = nullptr;
bool quiet = false;

// The arguments as the system gave them, before any decoding.
QList<QByteArray> rawArguments;

// A message on stderr: one line, prefixed with the program's name. A text of
// several lines (some of the driver's) is joined into one; the spaces within
// a line, a file's name among them, are left as they are.
void say(const QString& text)
{
    progress->endLine();
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = line.trimmed();
    std::fprintf(stderr, "%s: %s\n", kName, qPrintable(lines.join(QLatin1Char(' '))));
    std::fflush(stderr);
}

// A file's name as a message shows it: as it is when it is plain, else in
// single quotes as a shell would take it back, with the bytes that cannot be
// shown (a line feed, bytes that are not UTF-8) written as $'\n' and $'\xNN'.
QString shownName(const QByteArray& name)
{
    static const QByteArray plain("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/+,:@%=");
    const QString text = QString::fromUtf8(name);
    const bool utf8 = text.toUtf8() == name && !text.contains(QChar::ReplacementCharacter);
    bool asItIs = utf8 && !name.isEmpty();
    for (const char c : name)
        asItIs = asItIs && (plain.contains(c) || static_cast<unsigned char>(c) >= 0x80);
    if (asItIs)
        return text;
    QByteArray quoted("'");
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\'')
            quoted += "'\\''";
        else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8))
            quoted += byte == '\n' ? QByteArray("'$'\\n''")
                                    : "'$'\\x" + QByteArray::number(byte, 16).rightJustified(2, '0') + "''";
        else
            quoted += c;
    }
    quoted += '\'';
    // No empty quotes around an escape at either end: $'\n''x', not ''$'\n''x'.
    if (quoted.startsWith("''$"))
        quoted.remove(0, 2);
    if (quoted.endsWith("''") && quoted.size() > 2)
        quoted.chop(2);
    return QString::fromUtf8(quoted);
}

// A note: what went well or what is going on, dropped with --quiet.
void note(const QString& text)
{
    if (!quiet)
        say(text);
}

int fail(const QStringList& lines)
{
    for (const QString& line : lines)
        say(line);
    // A link that could not move a frame (the kernel refused it) made the
    // chip look silent: say why, once.
    const QString link = QString::fromLocal8Bit(spilink::inUse().failure().c_str());
    if (!link.isEmpty() && !lines.contains(link))
        say(link);
    return kFailed;
}

int fail(const QString& text)
{
    return fail(QStringList { text });
}

// After a stop request: what the chip holds now.
int stopped(const QString& holds)
{
    say(QStringLiteral("interrupted: %1").arg(holds));
    return kStoppedBase + stopSignal;
}

// After standard output was written: success, or the failure to write it. A
// reader that closed the pipe is no fault of the job and gets no message.
int standardOutputWritten()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return kSuccess;
    if (errno == EPIPE)
        return kOutputClosed;
    return fail(QStringLiteral("cannot write standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
}

int usageError(const Command* command, const QString& error);

// The driver's text about a file; where the driver has the system's reason,
// a line of its own instead, with the file's name: the driver's first line
// ("file does not exist") would mislead for a folder, a device or an empty or
// unreadable file.
QStringList fileProblemLines(const QStringList& problem, const QString& file)
{
    if (lastFileReason.isEmpty())
        return problem;
    return { QStringLiteral("cannot read %1: %2").arg(file, lastFileReason) };
}

// The driver's text about a file, and the file's name with the system's
// reason where the driver has one.
int fileProblem(const QString& file)
{
    return fail(fileProblemLines({ lastMessage }, file));
}

// A file named on the command line: path receives its name for the system's
// file calls, shown the name as messages show it. On Windows false when the
// name has characters the code page cannot carry; elsewhere the name is the
// bytes given, whatever they are.
bool fileArgument(const QString& file, QByteArray& path, QString& shown)
{
#if defined(Q_OS_WIN)
    path = QFile::encodeName(file);
    shown = shownName(file.toUtf8());
    if (QFile::decodeName(path) == file && !file.contains(QChar::ReplacementCharacter))
        return true;
    say(QStringLiteral("cannot read %1: the name cannot be written in this system's code page; rename the file")
            .arg(shown));
    return false;
#else
    path = QFile::encodeName(file);
    // The argument this one was decoded from; names that differ only in
    // bytes that are not UTF-8 decode alike, so they must all be the same.
    QList<QByteArray> given;
    for (const QByteArray& raw : rawArguments)
        if (QString::fromLocal8Bit(raw) == file)
            given << raw;
    if (!given.isEmpty())
        path = given.first();
    shown = shownName(path);
    if (given.count(path) == given.size())
        return true;
    say(QStringLiteral("cannot tell which of the arguments decoded as %1 is the file: give the other ones in "
                       "another form").arg(shown));
    return false;
#endif
}

// The driver's hooks: progress onto the line, a stop request between pages,
// and the acknowledgement of one asked during the erase.
DataFlashRun runReporting(unsigned* done = nullptr)
{
    DataFlashRun run;
    run.progress = [done](unsigned pages, unsigned total) {
        if (done)
            *done = pages;
        progress->pages(pages, total);
    };
    run.stopRequested = [] { return stopTaken = stopSignal != 0; };
    run.stopDeferred = [](unsigned leftMs) {
        stopTaken = false; // acknowledged: the stop comes after the erase

        say(QStringLiteral("stopping when the erase ends, in about %1 s").arg(std::max(1u, (leftMs + 500) / 1000)));
    };
    return run;
}

// Loads the port library, then finds the chip: one of the chip table, and
// for writing an unprotected one with two SRAM buffers.
bool reachChip(frontend::ChipUse use, DataFlashInfo& chip)
{
    QString problem;
    if (!programmer::load(problem)) {
        say(problem);
        return false;
    }
    progress->stage(QStringLiteral("connecting"));
    if (!programmer::lock(problem)) {
        say(problem);
        return false;
    }
    QStringList refusal;
    if (frontend::probeChip(use, chip, refusal))
        return true;
    fail(refusal);
    return false;
}

int info()
{
    QString problem;
    if (!programmer::load(problem))
        return fail(problem);
    if (!programmer::lock(problem))
        return fail(problem);
    DataFlashInfo chip;
    QStringList refusal;
    const bool known = frontend::probeChip(frontend::ChipUse::Reading, chip, refusal);
    if (!chip.answered)
        return fail(refusal);
    if (!known) {
        const QString id = frontend::hexBytes(chip.id, kDataFlashIdLength);
        if (chip.chip) // its ID is in the table, its status does not match it
            std::printf("Chip:        %s by its ID, its status disagrees (ID %s)\n", chip.chip->name, qPrintable(id));
        else
            std::printf("Chip:        not in the chip table (ID %s)\n", qPrintable(id));
        return fail(refusal);
    }
    const DataFlashChip& row = *chip.chip;
    const bool eSeries = row.series == DataFlashSeries::E;
    const unsigned length = dataFlashPageLength(chip.status.pageSize256);
    std::printf("Chip:        %s (ID %s)\n", row.name, qPrintable(frontend::hexBytes(chip.id, int(row.idLength))));
    std::printf("Geometry:    %u pages of %u or %u bytes, %u sectors, %s; %s series (%s)\n", row.pages,
                row.binaryPageLength, row.dataflashPageLength, row.sectors,
                row.buffers == 1 ? "SRAM buffer 1 only (write, update and erase refuse it)" : "two SRAM buffers",
                eSeries ? "E" : "D", row.source);
    const QString link = programmer::details();
    if (!link.isEmpty())
        std::printf("Programmer:  %s\n", qPrintable(link));
    if (chip.status.pageSize256)
        std::printf("Page size:   %u bytes\n", length);
    else if (eSeries)
        std::printf("Page size:   %u bytes (write switches the chip to %u-byte pages, in force at once)\n", length,
                    row.binaryPageLength);
    else // the chip cannot tell whether its one-time switch is already programmed
        std::printf("Page size:   %u bytes (write switches the chip to %u-byte pages, in force after a power "
                    "cycle; if this board was switched already, power-cycle it)\n",
                    length, row.binaryPageLength);
    if (eSeries)
        std::printf("Page switch: to %u bytes (page-size %s), in force at once; both ways, any time\n",
                    chip.status.pageSize256 ? row.dataflashPageLength : row.binaryPageLength,
                    chip.status.pageSize256 ? "dataflash" : "binary");
    else if (chip.status.pageSize256)
        std::printf("Page switch: none: a D-series chip's binary pages are for good\n");
    else
        std::printf("Page switch: to %u bytes only, once and for good (page-size binary --yes, then a power "
                    "cycle)\n",
                    row.binaryPageLength);
    std::printf("Protection:  %s\n", chip.status.protect ? "on: sector protection is enabled, write refuses this chip"
                                                          : "off");
    std::printf("Capacity:    %u bytes (%u pages of %u bytes)\n", dataFlashPages() * length, dataFlashPages(), length);
    DataFlashSectors sectors;
    if (!AT45DB041D_ReadSectors(sectors))
        return fail(lastMessage);
    // Each a key and a value, for scripts: the sectors by name (0a 0b 1 ...
    // 7) or none, and the unique ID as 128 hexadecimal digits. The sectors
    // protected are those the protection register marks while protection is
    // on, none while it is off; the register's marks follow on their own.
    std::printf("Protected sectors: %s\n",
                qPrintable(chip.status.protect ? dataFlashSectorNames(sectors.protection) : QStringLiteral("none")));
    std::printf("Protection register: %s\n", qPrintable(dataFlashSectorNames(sectors.protection)));
    std::printf("Locked sectors: %s\n", qPrintable(dataFlashSectorNames(sectors.lockdown)));
    std::printf("Unique ID: %s\n",
                qPrintable(frontend::hexBytes(sectors.uniqueId, sizeof sectors.uniqueId).remove(QLatin1Char(' '))));
    return standardOutputWritten();
}

// After programming: why it was slow, when the proofs caught noise.
void noteNoise()
{
    if (lastNoiseCaught)
        note(QStringLiteral("the cable flipped bits during this run: %1 %2, and the pages were repaired; run "
                            "pagekiln-cli cable")
                 .arg(lastNoiseCaught)
                 .arg(lastNoiseCaught == 1 ? QStringLiteral("proof failed") : QStringLiteral("proofs failed")));
}

// write and update: the job's stages on the progress line, its failures and
// stops told as what the chip holds now.
class CliReport : public frontend::WriteJobReport {
    using Stage = frontend::WriteStage;
    using Programming = frontend::WriteJob::Programming;

public:
    CliReport(const QString& file, Programming programming)
        : file(file)
        , programming(programming)
    {
    }

    void starting(Stage stage, const frontend::WriteJobState& state) override
    {
        switch (stage) {
        case Stage::LoadLibrary:
            break;
        case Stage::Connect:
            progress->stage(QStringLiteral("connecting"));
            break;
        case Stage::ReadFile:
            progress->stage(QStringLiteral("reading %1").arg(file));
            break;
        case Stage::PageSize:
            if (!state.chip.status.pageSize256)
                progress->stage(QStringLiteral("setting %1-byte pages").arg(dataFlashChip().binaryPageLength));
            break;
        case Stage::Erase:
            progress->stage(QStringLiteral("erasing"));
            break;
        case Stage::Program:
            progress->stage(programming == Programming::Update   ? QStringLiteral("updating")
                            : programming == Programming::Proven ? QStringLiteral("writing and checking")
                                                                 : QStringLiteral("writing"));
            break;
        }
    }

    void failed(Stage stage, const QStringList& problem, const frontend::WriteJobState& state) override
    {
        QStringList lines = stage == Stage::ReadFile ? fileProblemLines(problem, file) : problem;
        // An erase cut short (the programmer gone during it) may have left
        // some of the old pages.
        if (stage == Stage::Erase)
            lines << QStringLiteral("the erase may not have finished: the chip may still hold some of what it held "
                                    "before, and holds none of %1; run write again")
                         .arg(file);
        if (stage == Stage::Program && programming == Programming::Update)
            lines << QStringLiteral("%1 of the pages tested were changed; run update again").arg(state.changed);
        // A failure on the file's pages: what the chip holds now. One after
        // them, in the proof of the pages after the file, says so itself.
        const bool written = programming == Programming::Proven || programming == Programming::Unchecked;
        if (stage == Stage::Program && written && state.pagesDone < state.image.pages())
            lines << (state.pagesDone == 0
                          ? QStringLiteral("the chip is erased and holds none of %1; run write again").arg(file)
                          : QStringLiteral("the chip is erased and partly written: pages 0 to %1 hold %2%3, the "
                                           "pages after them do not; run write again")
                                .arg(state.pagesDone - 1)
                                .arg(file, programming == Programming::Proven ? QStringLiteral(", checked")
                                                                              : QStringLiteral(", not checked")));
        fail(lines);
        if (stage == Stage::Program)
            noteNoise();
    }

    DataFlashRun run(Stage) override { return runReporting(); }
    bool stopRequested() override { return stopSignal != 0; }

    // The exit status after a stop at stage.
    int stoppedAt(Stage stage, const frontend::WriteJobState& state) const
    {
        const QString none = QStringLiteral("the chip is erased and holds none of %1; run write again").arg(file);
        switch (stage) {
        case Stage::LoadLibrary:
        case Stage::Connect:
        case Stage::ReadFile:
            break;
        case Stage::PageSize:
            if (state.in264BytePages)
                return stopped(QStringLiteral("the chip is now set to %1-byte pages, which take effect after a "
                                              "power cycle; nothing else on the chip was changed")
                                   .arg(dataFlashChip().binaryPageLength));
            break;
        case Stage::Erase:
            return stopped(none);
        case Stage::Program:
            if (programming == Programming::Update && state.pagesDone == 0)
                return stopped(QStringLiteral("no page was changed; run update again"));
            if (programming == Programming::Update)
                return stopped(QStringLiteral("pages 0 to %1 hold %2 (%3 changed), the rest as before; run update "
                                              "again")
                                   .arg(qlonglong(state.pagesDone) - 1)
                                   .arg(file)
                                   .arg(state.changed));
            if (state.pagesDone == 0)
                return stopped(none);
            return stopped(QStringLiteral("the chip is erased and partly written, up to page %1 (pages 0 to %1 "
                                          "hold %2%3); run write again")
                               .arg(state.pagesDone - 1)
                               .arg(file, programming == Programming::Proven ? QStringLiteral(", checked")
                                                                             : QString()));
        }
        return stopped(QStringLiteral("nothing on the chip was changed"));
    }

private:
    QString file;
    Programming programming;
};

// Whether write and update refuse a file that cannot boot (see acceptFile).
enum class FileCheck { RefusedIfItCannotBoot, WrittenAsItIs };
bool acceptFile(const QString& file, const DataFlashImage& image, QStringList& problem);

// The file read whole and checked for 256-byte pages before the chip is
// touched but for its probe, so that a file that cannot be written leaves
// even the page size untouched; a chip whose 256-byte pages wait for a
// power cycle is left as it is, before the erase.
int writeJob(const QString& given, frontend::WriteJob::Programming programming, FileCheck check,
             DataFlashLocked locked = DataFlashLocked::Refuse)
{
    frontend::WriteJob job;
    QString file;
    if (!fileArgument(given, job.path, file))
        return kFailed;
    job.programming = programming;
    job.loadLink = programmer::load;
    job.lockLink = programmer::lock;
    if (check == FileCheck::RefusedIfItCannotBoot)
        job.acceptFile = [&file](const DataFlashImage& image, QStringList& problem) {
            return acceptFile(file, image, problem);
        };
    job.locked = locked;
    CliReport report(file, programming);
    frontend::WriteJobState state;
    frontend::WriteStage stage;
    switch (frontend::runWriteJob(job, report, state, stage)) {
    case frontend::WriteOutcome::Failed:
        return kFailed;
    case frontend::WriteOutcome::Stopped:
        return report.stoppedAt(stage, state);
    case frontend::WriteOutcome::PowerCycle:
        say(QStringLiteral("the chip is now set to %1-byte pages, which take effect after a power cycle: switch the "
                           "board off and on, then run %2 again (nothing was erased or written)")
                .arg(dataFlashChip().binaryPageLength)
                .arg(programming == frontend::WriteJob::Programming::Update ? QStringLiteral("update")
                                                                            : QStringLiteral("write")));
        return kPowerCycle;
    case frontend::WriteOutcome::Done:
        break;
    }
    switch (programming) {
    case frontend::WriteJob::Programming::Update:
        note(QStringLiteral("%1 is on the chip: %2 of its %3 pages changed, every page proven; pages after it "
                            "left as they were")
                 .arg(file)
                 .arg(state.changed)
                 .arg(state.image.pages()));
        break;
    case frontend::WriteJob::Programming::Proven:
        note(QStringLiteral("%1 written; every page proven on the chip").arg(file));
        break;
    default:
        note(QStringLiteral("%1 written, unchecked").arg(file));
        break;
    }
    noteNoise();
    return kSuccess;
}

int erase()
{
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Writing, chip))
        return kFailed;
    progress->stage(QStringLiteral("erasing and proving blank"));
    unsigned done = 0;
    if (!AT45DB041D_EraseAndProve(runReporting(&done))) {
        if (stopTaken)
            return stopped(done ? QStringLiteral("the chip is erased; pages 0 to %1 were proven blank").arg(done - 1)
                                : QStringLiteral("the chip is erased, not yet proven blank"));
        return fail(lastMessage);
    }
    note(QStringLiteral("the chip is erased; every page proven blank"));
    return kSuccess;
}

// unprotect and protect: the chip may be protected, as is the point.
int setProtection(DataFlashProtection wanted)
{
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    if (!AT45DB041D_SetSectorProtection(wanted))
        return fail(lastMessage);
    note(wanted == DataFlashProtection::Off
             ? QStringLiteral("sector protection is off")
             : QStringLiteral("sector protection is on: the sectors the protection register marks refuse program "
                              "and erase until the chip is powered off or unprotect is run"));
    return kSuccess;
}

int verify(const QString& given)
{
    QByteArray path;
    QString file;
    if (!fileArgument(given, path, file))
        return kFailed;
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    DataFlashImage image;
    if (!AT45DB041D_LoadFile(path.constData(), image))
        return fileProblem(file);
    progress->stage(QStringLiteral("verifying"));
    // FILE's own bytes: what follows them in the last page is no part of it.
    DataFlashDifference difference;
    difference.page = dataFlashPages(); // none found
    if (!AT45DB041D_VerifyImage(image, DataFlashPadding::Ignored, runReporting(), &difference)) {
        if (stopTaken)
            return stopped(QStringLiteral("nothing on the chip was changed"));
        if (difference.page == dataFlashPages())
            return fail(lastMessage);
        const unsigned offset = difference.page * image.pageLength() + difference.offset;
        return fail(QStringList { lastMessage,
                                  QStringLiteral("first difference at byte %1 of page %2 (offset %3 of %4): the chip "
                                                 "holds %5, the file has %6")
                                      .arg(difference.offset)
                                      .arg(difference.page)
                                      .arg(offset)
                                      .arg(file)
                                      .arg(frontend::hexBytes(&difference.onChip, 1))
                                      .arg(frontend::hexBytes(&difference.expected, 1)) });
    }
    note(QStringLiteral("the chip holds %1").arg(file));
    return kSuccess;
}

// One wire's line, for scripts: N errors in M bits, and the rate's bound.
QString wireLine(const char* wire, const DataFlashWireCount& count)
{
    return QStringLiteral("%1: %2 errors in %3 bits, rate at most %4 (95 %)")
        .arg(QLatin1String(wire))
        .arg(count.errors)
        .arg(count.bits)
        .arg(QString::number(dataFlashRateBound(count), 'e', 1));
}

// page-size: binary or dataflash, as the chip's series allows.
int pageSize(const QString& size, bool yes)
{
    const bool binary = size == QLatin1String("binary");
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    const DataFlashChip& row = *chip.chip;
    const unsigned wanted = pageLengthOf(row, binary);
    if ((chip.status.pageSize256 == 1) == binary) {
        note(QStringLiteral("the %1 is in %2-byte pages already; nothing was changed")
                 .arg(QLatin1String(row.name))
                 .arg(wanted));
        return kSuccess;
    }
    if (row.series == DataFlashSeries::D && !binary)
        return fail(QStringLiteral("the %1 is in binary pages for good: a D-series chip's page size is a one-time "
                                   "setting that cannot go back to %2-byte pages; nothing was changed")
                        .arg(QLatin1String(row.name))
                        .arg(wanted));
    if (row.series == DataFlashSeries::D && !yes)
        return fail({ QStringLiteral("switching the %1 to %2-byte pages is one-time: it can never go back to %3-byte "
                                     "pages, and it takes effect after a power cycle; nothing was changed")
                          .arg(QLatin1String(row.name))
                          .arg(wanted)
                          .arg(row.dataflashPageLength),
                      QStringLiteral("give --yes to switch it for good") });
    progress->stage(QStringLiteral("setting %1-byte pages").arg(wanted));
    if (!AT45DB_SetPageSize(binary))
        return fail(lastMessage);
    if (row.series == DataFlashSeries::D) {
        say(QStringLiteral("the %1 is now set to %2-byte pages, which take effect after a power cycle: switch the "
                           "board off and on (nothing was erased or written)")
                .arg(QLatin1String(row.name))
                .arg(wanted));
        return kPowerCycle;
    }
    DataFlashStatus st;
    if (!AT45DB041D_ReadStatusConfirmed(st))
        return fail(lastMessage);
    if ((st.pageSize256 == 1) != binary)
        return fail(QStringLiteral("the %1 is still in %2-byte pages after the page size command: it did not take it "
                                   "(check the cable and run page-size again)")
                        .arg(QLatin1String(row.name))
                        .arg(pageLengthOf(row, !binary)));
    note(QStringLiteral("the %1 is now in %2-byte pages; its pages keep their bytes, laid out for %3-byte pages: "
                        "write the image again")
             .arg(QLatin1String(row.name))
             .arg(wanted)
             .arg(pageLengthOf(row, !binary)));
    return kSuccess;
}

int cable()
{
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    progress->stage(QStringLiteral("measuring the cable"), QStringLiteral("steps"));
    DataFlashCable measured;
    if (!AT45DB041D_MeasureCable(measured, runReporting())) {
        if (stopTaken)
            return stopped(QStringLiteral("nothing on the chip was changed"));
        return fail(lastMessage);
    }
    progress->endLine();
    const bool clean = measured.toChip.errors == 0 && measured.fromChip.errors == 0;
    std::printf("%s\n%s\n%s\n", qPrintable(wireLine("to the chip (SI)", measured.toChip)),
                qPrintable(wireLine("from the chip (SO)", measured.fromChip)),
                clean ? "no bit flipped on either wire: the cable is fine"
                      : "the cable flips bits: shorten it (2 m at most), ground pins 18 to 25 at both ends, and put "
                        "series resistors (33 to 100 ohms) on the data lines, pins 2 to 4 and 11");
    const int written = standardOutputWritten();
    return written != kSuccess ? written : clean ? kSuccess : kFailed;
}

// Writes the chip's contents to standard output, all at once, as they are
// (standard output is in binary mode).
int writeToStandardOutput(const std::vector<std::uint8_t>& contents)
{
    if (std::fwrite(contents.data(), 1, contents.size(), stdout) != contents.size())
        std::fflush(stdout); // errno says why
    return standardOutputWritten();
}

int read(const QString& output, bool force)
{
    const bool toStandardOutput = output == QLatin1String("-");
    QByteArray path;
    QString shown;
    if (!toStandardOutput && !fileArgument(output, path, shown))
        return kFailed;
    const QString shownName = toStandardOutput ? QStringLiteral("standard output") : shown;
    // Written under a temporary name beside OUTPUT and renamed into place
    // only when complete; a device, pipe or folder is never replaced. The
    // name is the bytes given, UTF-8 or not.
    PlatformOutput file;
    struct Discard {
        PlatformOutput& output;
        ~Discard() { platformDiscardOutput(output); } // a no-op once committed
    } discard { file };
    std::string why;
    if (toStandardOutput) {
        if (platformStdoutIsTerminal() && !force)
            return usageError(findCommand(QStringLiteral("read")),
                              QStringLiteral("standard output is a terminal, where the chip's contents (binary data) "
                                             "would land: redirect it (read - > chip.bin) or give --force"));
        if (!platformBinaryStandardOutput())
            return fail(QStringLiteral("cannot put standard output in binary mode; read into a file instead"));
    } else {
        if (const char* kind = platformSpecialFileKind(path.constData()))
            return fail(QStringLiteral("cannot write %1: %2; read replaces only regular files (- writes to "
                                       "standard output)")
                            .arg(shownName, QString::fromLatin1(kind)));
        if (path.isEmpty())
            return fail(QStringLiteral("cannot write %1: no name given").arg(shownName));
        // A new OUTPUT is made once and removed again, so that a name the
        // system refuses (too long, say) fails now, not after the chip was read.
        if (!platformBeginOutput(path.constData(), file, why))
            return fail(QStringLiteral("cannot write %1: %2").arg(shownName, QString::fromLocal8Bit(why.c_str())));
    }
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    progress->stage(QStringLiteral("reading"));
    std::vector<std::uint8_t> contents;
    if (!AT45DB041D_ReadChip(contents, runReporting())) {
        if (stopTaken)
            return stopped(QStringLiteral("nothing on the chip was changed, and nothing was written to %1")
                               .arg(shownName));
        return fail({ lastMessage, QStringLiteral("nothing was written to %1").arg(shownName) });
    }
    const qint64 size = qint64(contents.size());
    if (toStandardOutput) {
        if (const int status = writeToStandardOutput(contents))
            return status;
    } else if (!platformCommitOutput(file, contents.data(), contents.size(), why)) {
        return fail(QStringLiteral("cannot write %1: %2").arg(shownName, QString::fromLocal8Bit(why.c_str())));
    }
    note(QStringLiteral("read %1 bytes into %2").arg(size).arg(shownName));
    return kSuccess;
}

// inspect, and the check of FILE before write and update change anything:
// what a boot image holds, from the headers of its loader file.

// Files are inspected whole; anything larger is no boot image for this chip.
constexpr qint64 kInspectedAtMost = 64 * 1024 * 1024;

QString hex(std::uint64_t value, int digits)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString sha256(const std::uint8_t* data, std::size_t size)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)),
                                 QCryptographicHash::Sha256)
            .toHex());
}

// file as messages show it: a name that needed quoting ends in its closing
// quote, and one that really ends in a quote shows it escaped (\').
bool namedLoaderFile(const QString& file)
{
    return file.endsWith(QLatin1String(".ldr"), Qt::CaseInsensitive)
        || (file.startsWith(QLatin1Char('\'')) && file.endsWith(QLatin1String(".ldr'"), Qt::CaseInsensitive));
}

// What the bytes are, for the heading of inspect and for a refusal.
QString kindText(const loaderfile::Walk& walk)
{
    switch (walk.kind) {
    case loaderfile::Kind::Raw:
        return QStringLiteral("a raw binary (no loader file): written as it is");
    case loaderfile::Kind::Loader:
        return QStringLiteral("a loader file, %1 format")
            .arg(QString::fromStdString(loaderfile::formatName(walk.format)));
    case loaderfile::Kind::Elf:
        return QStringLiteral("an ELF file (a linker's output), which cannot boot from flash");
    case loaderfile::Kind::IntelHex:
        return QStringLiteral("Intel HEX text, which cannot boot from flash");
    case loaderfile::Kind::SRecord:
        return QStringLiteral("Motorola S-record text, which cannot boot from flash");
    case loaderfile::Kind::Text:
        return QStringLiteral("all printable text, which cannot boot from flash");
    }
    return QString();
}

// The first thing wrong with a loader file, in words.
QString firstDefect(const loaderfile::Walk& walk, const QString& end)
{
    for (std::size_t i = 0; i < walk.blocks.size(); ++i)
        for (unsigned bit = 1; bit <= loaderfile::kFirstWithFill; bit <<= 1)
            if (walk.blocks[i].defects & bit)
                return QStringLiteral("block %1 at offset %2: %3%4")
                    .arg(i)
                    .arg(hex(walk.blocks[i].offset, 6))
                    .arg(QString::fromStdString(loaderfile::defectText(bit)))
                    .arg(bit == loaderfile::kPastEnd ? QStringLiteral(" of ") + end : QString());
    return QStringLiteral("no FINAL block before the end of %1").arg(end);
}

// Why FILE must not be written, in one line that says what to do; empty
// when it may be.
QString refusal(const QString& file, const loaderfile::Walk& walk)
{
    const QString asItIs = QStringLiteral("(--raw writes it as it is)");
    switch (walk.kind) {
    case loaderfile::Kind::Elf:
        return QStringLiteral("%1 is %2: make a loader file from it and write that %3")
            .arg(file, kindText(walk), asItIs);
    case loaderfile::Kind::IntelHex:
    case loaderfile::Kind::SRecord:
    case loaderfile::Kind::Text:
        return QStringLiteral("%1 is %2: write the loader file in its binary form %3")
            .arg(file, kindText(walk), asItIs);
    case loaderfile::Kind::Raw:
        if (namedLoaderFile(file))
            return QStringLiteral("%1 is named as a loader file but is none (%2 inspect shows what it is): build it "
                                  "again, or rename it if it is a raw image %3")
                .arg(file, QString::fromLatin1(kName), asItIs);
        return QString();
    case loaderfile::Kind::Loader:
        if (namedLoaderFile(file) && walk.defective())
            return QStringLiteral("%1 is not a sound loader file, %2 (%3 inspect shows every block): build or copy "
                                  "it again %4")
                .arg(file, firstDefect(walk, QStringLiteral("the file")), QString::fromLatin1(kName), asItIs);
        return QString();
    }
    return QString();
}

// What may keep a board from booting the bytes, though they are written.
QStringList bootNotes(const loaderfile::Walk& walk, const std::uint8_t* data, std::size_t size)
{
    QStringList notes;
    // In 16-byte headers the FIRST block's argument is the offset of the
    // next program image: bytes there are one, read only when asked for.
    const bool nextImage = walk.format == loaderfile::Format::Bf5xx && !walk.blocks.empty()
                           && (walk.blocks.front().flags & loaderfile::kFirst)
                           && walk.blocks.front().argument == walk.imageLength;
    if (walk.kind == loaderfile::Kind::Loader && walk.final && size > walk.imageLength)
        notes << (nextImage ? QStringLiteral("%1 bytes follow the FINAL block, where the FIRST block's argument "
                                             "places the next program image (booted only when asked for)")
                            : QStringLiteral("%1 bytes follow the FINAL block; the boot ROM does not read them"))
                     .arg(size - walk.imageLength);
    if (walk.hwaitSet())
        notes << QStringLiteral("blocks have HWAIT bits (PFLAG, PPORT) set, which usually means the file was built "
                                "for another boot mode (UART)");
    if (size > 0 && data[0] == 0xFF)
        notes << QStringLiteral("the first byte is 0xFF, which can confuse the boot ROM's detection of the flash's "
                                "address width");
    return notes;
}

// The heading, the table of blocks and the image's length; false when
// something is wrong. end names where the bytes end ("the file").
bool showWalk(const loaderfile::Walk& walk, const QString& end)
{
    std::printf("Kind:      %s\n", qPrintable(kindText(walk)));
    if (walk.kind != loaderfile::Kind::Loader)
        return walk.kind == loaderfile::Kind::Raw;
    const bool wide = walk.format == loaderfile::Format::Bf5xx;
    if (walk.format == loaderfile::Format::Bf561)
        std::printf("Global:    %s (%s-bit flash, SPI baud code %u)\n", qPrintable(hex(walk.globalHeader, 8)),
                    (walk.globalHeader & 1) ? "16" : "8", unsigned((walk.globalHeader >> 8) & 7));
    std::printf("Block  Offset    Address          Count%s  Flags\n", wide ? "  Argument  " : "");
    for (std::size_t i = 0; i < walk.blocks.size(); ++i) {
        const loaderfile::Block& block = walk.blocks[i];
        QString line = QStringLiteral("%1  %2  ").arg(i, 5).arg(hex(block.offset, 6));
        if (block.cutShort)
            line += QStringLiteral("(header cut short)");
        else
            line += QStringLiteral("%1  %2  %3%4")
                        .arg(hex(block.address, 8))
                        .arg(block.count, 10)
                        .arg(wide ? hex(block.argument, 8) + QStringLiteral("  ") : QString())
                        .arg(QString::fromStdString(loaderfile::flagNames(walk.format, block.flags)));
        QStringList defects;
        for (unsigned bit = 1; bit <= loaderfile::kFirstWithFill; bit <<= 1)
            if (block.defects & bit)
                defects << QString::fromStdString(loaderfile::defectText(bit))
                               + (bit == loaderfile::kPastEnd ? QStringLiteral(" of ") + end : QString());
        if (!defects.isEmpty())
            line += QStringLiteral("  <- ") + defects.join(QStringLiteral(", "));
        std::printf("%s\n", qPrintable(line));
    }
    if (!walk.final && !(walk.defects() & (loaderfile::kPastEnd | loaderfile::kBadSignature)))
        std::printf("             <- no FINAL block before the end of %s\n", qPrintable(end));
    if (walk.final)
        std::printf("Image:     %zu bytes, up to and including the FINAL block\n", walk.imageLength);
    return !walk.defective();
}

int inspectFile(const QString& given)
{
    QByteArray path;
    QString file;
    if (!fileArgument(given, path, file))
        return kFailed;
    if (const char* kind = platformSpecialFileKind(path.constData()))
        return fail(QStringLiteral("cannot read %1: %2, not a regular file").arg(file, QString::fromLatin1(kind)));
    // Opened by the bytes given, which need not decode to a name.
    std::FILE* handle = std::fopen(path.constData(), "rb");
    if (!handle)
        return fail(QStringLiteral("cannot read %1: %2").arg(file, QString::fromLocal8Bit(std::strerror(errno))));
    QFile in;
    in.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    if (in.size() > kInspectedAtMost)
        return fail(QStringLiteral("%1 is %2 bytes, no boot image for a DataFlash of at most 8650752 (an AT45DB642D's)")
                        .arg(file)
                        .arg(in.size()));
    const QByteArray bytes = in.readAll();
    if (in.error() != QFileDevice::NoError)
        return fail(QStringLiteral("cannot read %1: %2").arg(file, in.errorString()));
    if (bytes.isEmpty())
        return fail(QStringLiteral("%1 is empty: there is nothing to boot").arg(file));
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const std::size_t size = std::size_t(bytes.size());
    const loaderfile::Walk walk = loaderfile::walk(data, size);
    std::printf("File:      %s, %zu bytes\n", qPrintable(file), size);
    const bool sound = showWalk(walk, QStringLiteral("the file"));
    if (walk.final) {
        std::printf("After it:  %zu bytes\n", size - walk.imageLength);
        if (size > walk.imageLength) // what inspect finds on a chip that holds the file
            std::printf("Image SHA-256: %s\n", qPrintable(sha256(data, walk.imageLength)));
    }
    std::printf("SHA-256:   %s\n", qPrintable(sha256(data, size)));
    std::fflush(stdout);
    for (const QString& text : bootNotes(walk, data, size))
        note(text);
    if (sound)
        return kSuccess;
    if (walk.kind == loaderfile::Kind::Loader)
        return fail(QStringLiteral("%1 is not a sound loader file: %2%3")
                        .arg(file, firstDefect(walk, QStringLiteral("the file")),
                             namedLoaderFile(file) ? QString()
                                                   : QStringLiteral(" (if it is a raw image, write writes it as it "
                                                                    "is: its name does not end in .ldr)")));
    return fail(QStringLiteral("%1 is %2").arg(file, kindText(walk)));
}

// The boot image on the chip: its pages from page 0 on, each proven as read
// proves it, as far as the walk through its headers needs them.
int inspectChip()
{
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    const std::size_t capacity = std::size_t(dataFlashPages()) * dataFlashPageLength(chip.status.pageSize256);
    progress->stage(QStringLiteral("reading the image's pages"));
    std::vector<std::uint8_t> contents;
    const auto enough = [capacity](const std::uint8_t* data, std::size_t bytes) {
        const loaderfile::Walk walk = loaderfile::walk(data, bytes);
        return walk.kind != loaderfile::Kind::Loader || walk.needed == 0 || walk.needed > capacity;
    };
    DataFlashRun run = runReporting();
    run.progress = nullptr; // the pages the walk needs are not known beforehand
    if (!AT45DB041D_ReadChipUntil(contents, enough, run)) {
        if (stopSignal)
            return stopped(QStringLiteral("nothing on the chip was changed"));
        return fail(lastMessage);
    }
    progress->endLine();
    const unsigned length = dataFlashPageLength(chip.status.pageSize256);
    const loaderfile::Walk walk = loaderfile::walk(contents.data(), contents.size());
    const std::size_t pages = contents.size() / length;
    std::printf("Chip:      %zu page%s of %u bytes read from page 0, each proven\n", pages, pages == 1 ? "" : "s",
                length);
    if (walk.kind != loaderfile::Kind::Loader) {
        const bool blank = std::all_of(contents.begin(), contents.begin() + length,
                                       [](std::uint8_t byte) { return byte == 0xFF; });
        const QString what = blank                                  ? QStringLiteral("blank (erased)")
                             : walk.kind == loaderfile::Kind::Raw ? QStringLiteral("not blank")
                                                                   : QStringLiteral("not blank: ") + kindText(walk);
        std::printf("Kind:      no loader file; the first page is %s\n", qPrintable(what));
        std::fflush(stdout);
        return fail(QStringLiteral("the chip holds no loader file"));
    }
    const bool sound = showWalk(walk, QStringLiteral("the chip"));
    if (sound)
        std::printf("SHA-256:   %s\n", qPrintable(sha256(contents.data(), walk.imageLength)));
    std::fflush(stdout);
    for (const QString& text : bootNotes(walk, contents.data(), walk.imageLength))
        note(text);
    if (!sound)
        return fail(QStringLiteral("the chip holds no sound loader file: %1")
                        .arg(firstDefect(walk, QStringLiteral("the chip"))));
    return kSuccess;
}

// write and update: FILE as read for the job, before anything on the chip
// changes. Refused, or written with the notes that concern its boot.
bool acceptFile(const QString& file, const DataFlashImage& image, QStringList& problem)
{
    const loaderfile::Walk walk = loaderfile::walk(image.bytes.data(), image.bytes.size());
    const QString why = refusal(file, walk);
    if (!why.isEmpty()) {
        problem << why;
        return false;
    }
    for (const QString& text : bootNotes(walk, image.bytes.data(), image.bytes.size()))
        note(text);
    return true;
}

// The help, with the program's name (not the path it was started by) in the
// usage line: the general one, or one command's arguments and options.
QString helpText(const Command* command)
{
    QCommandLineParser parser;
    QString description;
    if (command) {
        description = QString::fromLatin1(command->description);
        const QString name = QString::fromLatin1(command->name);
        if (command->argument)
            parser.addPositionalArgument(QString::fromLatin1(command->argument),
                                         QString::fromLatin1(command->argumentHelp),
                                         name
                                             + (command->fileOptional ? QStringLiteral(" [%1]") : QStringLiteral(" %1"))
                                                   .arg(QString::fromLatin1(command->argument)));
        else
            parser.addPositionalArgument(name, QStringLiteral("Takes no argument."), name);
    } else {
        description = QStringLiteral("Writes a boot image into an AT45DB DataFlash (D or E series, found by its ID) on\n"
                                     "a parallel port, checks a chip against a file, reads a chip out, or tells what\n"
                                     "chip is on the port.\n\n"
                                     "Commands:\n");
        for (const Command& each : kCommands) {
            const QString argument = QString::fromLatin1(each.argument);
            const QString name = QString::fromLatin1(each.name)
                                 + (!each.argument     ? QString()
                                    : each.fileOptional ? QStringLiteral(" [%1]").arg(argument)
                                                        : QLatin1Char(' ') + argument);
            description += QStringLiteral("  %1%2\n").arg(name, -15).arg(QString::fromLatin1(each.summary));
        }
        description += QStringLiteral("\nRun %1 COMMAND --help for a command's arguments and options.")
                           .arg(QString::fromLatin1(kName));
        parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("info, write, update, erase, unprotect, protect, verify, read, inspect, page-size, cable or programmers."),
                                     QStringLiteral("COMMAND [FILE]"));
    }
    parser.setApplicationDescription(description + QStringLiteral("\n\n") + QString::fromLatin1(kExitStatuses));
    parser.addOption(QCommandLineOption(QStringLiteral("port"),
                                        QStringLiteral("Base address of the parallel port: %1. Default: the address "
                                                       "the window last stored, else 378.")
                                            .arg(QString::fromLatin1(frontend::kPortAddressRange)),
                                        QStringLiteral("HEX")));
    parser.addOption(QCommandLineOption(QStringLiteral("programmer"),
                                        QStringLiteral("The link to the chip: lpt[:HEX] (the default), or "
                                                       "spidev[:DEVICE][,speed=HZ] on Linux, or a USB adapter: "
                                                       "ft232h|ft2232h|ft4232h[:interface=A|B,serial=S,index=N,"
                                                       "speed=HZ] or ch341a[:serial=S][,index=N]. See the "
                                                       "programmers command."),
                                        QStringLiteral("NAME[:PARAMS]")));
    parser.addOption(QCommandLineOption(QStringLiteral("any-port"),
                                        QStringLiteral("Drive the address given even when it is none of the parallel "
                                                       "ports the system lists (Windows).")));
    if (!command || command->takesNoVerify)
        parser.addOption(QCommandLineOption(QStringLiteral("no-verify"),
                                            QStringLiteral("write: program without proving each page on the chip.")));
    if (!command || command->takesRaw)
        parser.addOption(QCommandLineOption(QStringLiteral("raw"),
                                            QStringLiteral("write, update: write FILE's bytes whatever they are, "
                                                           "without refusing a file that cannot boot.")));
    if (!command || command == findCommand(QStringLiteral("read")))
        parser.addOption(QCommandLineOption(QStringLiteral("force"),
                                            QStringLiteral("read -: write to standard output even when it is a "
                                                           "terminal.")));
    if (!command || command == findCommand(QStringLiteral("page-size")))
        parser.addOption(QCommandLineOption(QStringLiteral("yes"),
                                            QStringLiteral("page-size binary on a D-series chip: switch it for good.")));
    if (!command || command->takesNoVerify)
        parser.addOption(QCommandLineOption(QStringLiteral("keep-locked"),
                                            QStringLiteral("write: accept sectors after FILE that are locked down for "
                                                           "good as they are (they keep what they hold).")));
    parser.addOption(QCommandLineOption({ QStringLiteral("q"), QStringLiteral("quiet") },
                                        QStringLiteral("Print errors only: no progress, no notes.")));
    parser.addOption(QCommandLineOption({ QStringLiteral("h"), QStringLiteral("help") },
                                        QStringLiteral("Display this help (after a command: that command's).")));
    if (!command)
        parser.addVersionOption();
    QString text = parser.helpText();
    const QString started = QCoreApplication::arguments().value(0);
    const QString usage = QStringLiteral("Usage: ");
    if (text.startsWith(usage + started))
        text.replace(usage.size(), started.size(), QString::fromLatin1(kName));
    return text;
}

// One line saying what is wrong, and where the help is.
int usageError(const Command* command, const QString& error)
{
    say(error);
    std::fprintf(stderr, "Try '%s %s--help' for more information.\n", kName,
                 command ? qPrintable(QString::fromLatin1(command->name) + QLatin1Char(' ')) : "");
    return kUsage;
}

// The first option given more than once (a second --port would otherwise
// win without a word), or an empty text.
QString repeatedOption(const QCommandLineParser& parser, const QList<QCommandLineOption>& options)
{
    const QStringList given = parser.optionNames();
    for (const QCommandLineOption& option : options) {
        int times = 0;
        for (const QString& name : option.names())
            times += int(given.count(name));
        if (times > 1)
            return QStringLiteral("--") + option.names().constLast();
    }
    return QString();
}

// The parser's complaint; for a word after a single dash that is no option,
// the way to give a file of that name.
QString parseError(const QCommandLineParser& parser, const QStringList& arguments)
{
    QString error = parser.errorText();
    for (const QString& unknown : parser.unknownOptionNames())
        if (unknown.size() > 1 && arguments.contains(QLatin1Char('-') + unknown))
            return error + QStringLiteral(" A file whose name begins with - goes after --, or as ./-%1.").arg(unknown);
    return error;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before anything is written: a closed pipe fails the write, it does not
    // end the program halfway through a job on the chip.
    platformFailWritesToClosedPipes();
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i)
        rawArguments << QByteArray(argv[i]);
    QCoreApplication::setApplicationName(QString::fromLatin1(kName));
    QCoreApplication::setApplicationVersion(QStringLiteral(PAGEKILN_VERSION));

    // Every option of every command: a command's own help lists only its own.
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("HEX"));
    const QCommandLineOption programmerOption(QStringLiteral("programmer"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption noVerify(QStringLiteral("no-verify"));
    const QCommandLineOption raw(QStringLiteral("raw"));
    const QCommandLineOption force(QStringLiteral("force"));
    const QCommandLineOption anyPort(QStringLiteral("any-port"));
    const QCommandLineOption keepLocked(QStringLiteral("keep-locked"));
    const QCommandLineOption yes(QStringLiteral("yes"));
    const QCommandLineOption quietOption(QStringList { QStringLiteral("q"), QStringLiteral("quiet") });
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringList { QStringLiteral("v"), QStringLiteral("version") });
    const QList<QCommandLineOption> options { port, programmerOption, anyPort,     noVerify, keepLocked, raw,
                                              force, yes,             quietOption, help,     version };
    parser.addOptions(options);
    // -q and -h are words of their own: -dash.ldr is one unknown option, not seven.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const bool parsed = parser.parse(app.arguments());
    quiet = parser.isSet(quietOption);
    Progress lines(quiet                         ? Progress::Mode::Quiet
                   : platformStderrIsTerminal() ? Progress::Mode::Redrawn
                                                : Progress::Mode::Lines);
    progress = &lines;

    const QStringList args = parser.positionalArguments();
    const QString name = args.value(0);
    const Command* command = findCommand(name);
    if (!parsed)
        return usageError(command, parseError(parser, app.arguments()));
    const QString repeated = repeatedOption(parser, options);
    if (!repeated.isEmpty())
        return usageError(command, QStringLiteral("%1 is given more than once").arg(repeated));
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText(command)), stdout);
        return kSuccess;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", kName, PAGEKILN_VERSION);
        return kSuccess;
    }
    if (name.isEmpty())
        return usageError(nullptr, QStringLiteral("no command given"));
    if (!command)
        return usageError(nullptr, QStringLiteral("unknown command '%1'").arg(name));
    if (args.size() != (command->argument ? 2 : 1) && !(command->fileOptional && args.size() == 1))
        return usageError(command, command->argument
                                       ? QStringLiteral("%1 takes one %2").arg(name, QString::fromLatin1(command->argument).toLower())
                                       : QStringLiteral("%1 takes no file").arg(name));
    if (parser.isSet(noVerify) && !command->takesNoVerify)
        return usageError(command, QStringLiteral("--no-verify applies to write only"));
    if (parser.isSet(raw) && !command->takesRaw)
        return usageError(command, QStringLiteral("--raw applies to write and update only"));
    if (parser.isSet(force) && name != QLatin1String("read"))
        return usageError(command, QStringLiteral("--force applies to read only"));
    if (parser.isSet(keepLocked) && !command->takesNoVerify)
        return usageError(command, QStringLiteral("--keep-locked applies to write only"));
    if (parser.isSet(yes) && name != QLatin1String("page-size"))
        return usageError(command, QStringLiteral("--yes applies to page-size only"));
    if (name == QLatin1String("page-size") && args[1] != QLatin1String("binary")
        && args[1] != QLatin1String("dataflash"))
        return usageError(command, QStringLiteral("page-size takes binary or dataflash, not '%1'").arg(args[1]));

    if (name == QLatin1String("programmers")) {
        std::fputs(qPrintable(programmer::list()), stdout);
        return kSuccess;
    }
    programmer::Choice link;
    QString linkProblem;
    if (parser.isSet(programmerOption) && !programmer::parse(parser.value(programmerOption), link, linkProblem))
        return usageError(command, linkProblem);
    if (parser.isSet(port) && link.kind != programmer::Choice::Kind::ParallelPort)
        return usageError(command, QStringLiteral("--port applies to the parallel port (lpt) only"));
    if (parser.isSet(port) && !link.portAddress.isEmpty())
        return usageError(command, QStringLiteral("give the port address once: --port HEX or --programmer lpt:HEX"));
    if (!programmer::choose(link, linkProblem))
        return usageError(command, linkProblem);
    bool stored = false;
    const QString address = parser.isSet(port)             ? parser.value(port)
                            : !link.portAddress.isEmpty() ? link.portAddress
                                                          : frontend::storedPortAddress(&stored);
    if (link.kind == programmer::Choice::Kind::ParallelPort && !frontend::parsePortAddressInRange(address, lptBase)) {
        const QString range = QString::fromLatin1(frontend::kPortAddressRange);
        if (!parser.isSet(port) && link.portAddress.isEmpty() && stored)
            return usageError(command, QStringLiteral("the port address '%1' stored by the window (in %2) is not %3: "
                                                      "give the address with --port")
                                           .arg(address, frontend::settingsLocation(), range));
        return usageError(command, QStringLiteral("the port address '%1' is not %2").arg(address, range));
    }
    // An address that is no parallel port may be anything (70: the CMOS
    // index port; CF9: a reset of the PC): driven only when asked for.
    QString notAPort;
    if (link.kind == programmer::Choice::Kind::ParallelPort && !parser.isSet(anyPort)
        && !frontend::isListedParallelPort(lptBase, notAPort))
        return usageError(command, notAPort + QStringLiteral(" Give --any-port to drive it anyway."));

    // From here a stop request (Ctrl-C, SIGTERM, SIGHUP) asks the job to
    // stop at a clean boundary: the frame on the wire is finished and the
    // chip released first.
    platformCatchStopRequests(&stopSignal);
    if (name == QLatin1String("info"))
        return info();
    const FileCheck check = parser.isSet(raw) ? FileCheck::WrittenAsItIs : FileCheck::RefusedIfItCannotBoot;
    if (name == QLatin1String("write"))
        return writeJob(args[1],
                        parser.isSet(noVerify) ? frontend::WriteJob::Programming::Unchecked
                                               : frontend::WriteJob::Programming::Proven,
                        check, parser.isSet(keepLocked) ? DataFlashLocked::Keep : DataFlashLocked::Refuse);
    if (name == QLatin1String("update"))
        return writeJob(args[1], frontend::WriteJob::Programming::Update, check);
    if (name == QLatin1String("inspect"))
        return args.size() == 2 ? inspectFile(args[1]) : inspectChip();
    if (name == QLatin1String("erase"))
        return erase();
    if (name == QLatin1String("unprotect"))
        return setProtection(DataFlashProtection::Off);
    if (name == QLatin1String("protect"))
        return setProtection(DataFlashProtection::On);
    if (name == QLatin1String("verify"))
        return verify(args[1]);
    if (name == QLatin1String("cable"))
        return cable();
    if (name == QLatin1String("page-size"))
        return pageSize(args[1], parser.isSet(yes));
    return read(args[1], parser.isSet(force));
}
