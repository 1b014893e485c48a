// pagekiln-cli: the same job as the window without one, for build scripts and
// production lines, plus reading a chip out, checking it against a file and
// telling what chip is on the port. A thin front end over the driver.
#include "at45db041d.h"
#include "frontend.h"
#include "writejob.h"
#include "lpt.h"
#include "platform.h"
#include "progress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

enum ExitStatus {
    kSuccess = 0,
    kFailed = 1,     // the chip, the file or the verification
    kUsage = 2,
    kPowerCycle = 3, // the chip's 256-byte pages wait for a power cycle; nothing was erased
};
// A stop request ends the run with 128 + its signal number.
constexpr int kStoppedBase = 128;

const char* const kName = "pagekiln-cli";

const char* const kExitStatuses =
    "Exit status:\n"
    "  0    success\n"
    "  1    the job failed (chip, file or verification)\n"
    "  2    usage error\n"
    "  1    also: the chip stays protected after unprotect (WP# held low, or sectors\n"
    "       locked down for good)\n"
    "  3    the chip was set to 256-byte pages, which take effect after a power cycle:\n"
    "       nothing was erased; power-cycle the board and run write (or update) again\n"
    "  129  stopped by SIGHUP (on Windows: the console closed), at a clean boundary\n"
    "  130  interrupted (Ctrl-C), at a clean boundary\n"
    "  143  stopped by SIGTERM, at a clean boundary";

// The commands, their one argument and what their own help says.
struct Command {
    const char* name;
    const char* argument;     // its value name, or null for none
    const char* argumentHelp;
    const char* summary;      // for the list of commands
    const char* description;  // for the command's own help
    bool takesNoVerify;
};

const Command kCommands[] = {
    { "info", nullptr, nullptr, "the chip's ID, page size, protection, capacity and unique ID",
      "Prints the ID, page size, protection and capacity of the chip on the port, the\n"
      "sectors its protection and lockdown registers mark, and its 64-byte unique ID\n"
      "(factory-programmed, different on every chip). Changes nothing.",
      false },
    { "write", "FILE", "The boot image (.bin or .ldr) to write, at most 524288 bytes.",
      "set 256-byte pages, erase the chip and program FILE from page 0;\n"
      "                 every page proven on the chip",
      "Reads FILE whole, then sets the chip to 256-byte pages (a new chip: exit 3 before\n"
      "anything is erased, power-cycle the board and run write again), erases the chip and\n"
      "programs FILE from page 0, every page proven on the chip unless --no-verify.",
      true },
    { "update", "FILE", "The boot image (.bin or .ldr) the chip should hold, at most 524288 bytes.",
      "program only the pages of FILE that differ on the chip;\n"
      "                 pages after FILE are left as they are",
      "Reads FILE whole, sets 256-byte pages as write does (a new chip: exit 3 before\n"
      "anything changes), then tests each page of FILE on the chip (one transfer and\n"
      "the chip's compare) and programs, with erase, only the pages that differ, each\n"
      "proven on the chip. The last page is zero-padded, as write leaves it. Pages after\n"
      "FILE are left as they are: what a board keeps above its image (an environment,\n"
      "calibration data) survives. Ends saying how many pages it changed.",
      false },
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
    { "read", "OUTPUT", "Where the chip's contents go: a regular file, or - for standard output.",
      "read the whole chip into OUTPUT (- for standard output)",
      "Reads the whole chip, every page in the page size in force (524288 or 540672 bytes),\n"
      "into OUTPUT. OUTPUT is written under a temporary name and replaces the old one only\n"
      "when every page was read and the chip answered throughout; anything but a regular\n"
      "file is never replaced.",
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
Progress* progress = nullptr;
bool quiet = false;

// A message on stderr: one line, prefixed with the program's name.
void say(const QString& text)
{
    progress->endLine();
    std::fprintf(stderr, "%s: %s\n", kName, qPrintable(text.simplified()));
    std::fflush(stderr);
}

// A note: what went well or what is going on, dropped with --quiet.
void note(const QString& text)
{
    if (!quiet)
        say(text);
}

int fail(const QString& text)
{
    say(text);
    return kFailed;
}

int fail(const QStringList& lines)
{
    for (const QString& line : lines)
        say(line);
    return kFailed;
}

// After a stop request: what the chip holds now.
int stopped(const QString& holds)
{
    say(QStringLiteral("interrupted: %1").arg(holds));
    return kStoppedBase + stopSignal;
}

// The driver's text about a file, and the file's name with the system's
// reason where the driver has one.
int fileProblem(const QString& file)
{
    QStringList lines { lastMessage };
    if (!lastFileReason.isEmpty())
        lines << QStringLiteral("cannot read %1: %2").arg(file, lastFileReason);
    return fail(lines);
}

// The file's name in the platform's file-name encoding; false when it has
// characters that encoding cannot carry.
bool encodeFileName(const QString& file, QByteArray& path)
{
    path = QFile::encodeName(file);
    if (QFile::decodeName(path) == file && !file.contains(QChar::ReplacementCharacter))
        return true;
    say(QStringLiteral("Failed to get the file size or file does not exist!"));
    say(QStringLiteral("cannot read %1: the name cannot be written in this system's file-name encoding").arg(file));
    return false;
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
    run.stopRequested = [] { return stopSignal != 0; };
    run.stopDeferred = [](unsigned leftMs) {
        say(QStringLiteral("stopping when the erase ends, in about %1 s").arg(std::max(1u, (leftMs + 500) / 1000)));
    };
    return run;
}

// Loads the port library, then finds the chip: an AT45DB041D, and for
// writing an unprotected one.
bool reachChip(frontend::ChipUse use, DataFlashInfo& chip)
{
    QString problem;
    if (!frontend::loadPortLibrary(problem)) {
        say(problem);
        return false;
    }
    progress->stage(QStringLiteral("connecting"));
    if (!frontend::lockPort(problem)) {
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
    if (!frontend::loadPortLibrary(problem))
        return fail(problem);
    if (!frontend::lockPort(problem))
        return fail(problem);
    DataFlashInfo chip;
    QStringList refusal;
    const bool known = frontend::probeChip(frontend::ChipUse::Reading, chip, refusal);
    if (!chip.answered)
        return fail(refusal);
    const QString id = frontend::hexBytes(chip.id, 4);
    if (!known) {
        std::printf("Chip:        not an AT45DB041D (ID %s)\n", qPrintable(id));
        return fail(refusal);
    }
    const unsigned length = dataFlashPageLength(chip.status.pageSize256);
    std::printf("Chip:        AT45DB041D (ID %s)\n", qPrintable(id));
    if (chip.status.pageSize256)
        std::printf("Page size:   256 bytes\n");
    else // the chip cannot tell whether its one-time switch is already programmed
        std::printf("Page size:   264 bytes; write switches the chip to 256-byte pages, which take effect\n"
                    "             after a power cycle (if this board was switched already, power-cycle it)\n");
    std::printf("Protection:  %s\n", chip.status.protect ? "on: sector protection is enabled, write refuses this chip"
                                                          : "off");
    std::printf("Capacity:    %u bytes (%u pages of %u bytes)\n", kDataFlashPages * length, kDataFlashPages, length);
    DataFlashSectors sectors;
    if (!AT45DB041D_ReadSectors(sectors))
        return fail(lastMessage);
    // Each a key and a value, for scripts: the sectors by name (0a 0b 1 ...
    // 7) or none, and the unique ID as 128 hexadecimal digits.
    std::printf("Protected sectors: %s\n", qPrintable(dataFlashSectorNames(sectors.protection)));
    std::printf("Locked sectors: %s\n", qPrintable(dataFlashSectorNames(sectors.lockdown)));
    std::printf("Unique ID: %s\n",
                qPrintable(frontend::hexBytes(sectors.uniqueId, sizeof sectors.uniqueId).remove(QLatin1Char(' '))));
    return kSuccess;
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
                progress->stage(QStringLiteral("setting 256-byte pages"));
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
        QStringList lines = problem;
        if (stage == Stage::ReadFile && !lastFileReason.isEmpty())
            lines << QStringLiteral("cannot read %1: %2").arg(file, lastFileReason);
        if (stage == Stage::Program && programming == Programming::Update)
            lines << QStringLiteral("%1 of the pages tested were changed; run update again").arg(state.changed);
        fail(lines);
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
                return stopped(QStringLiteral("the chip is now set to 256-byte pages, which take effect after a "
                                              "power cycle; nothing else on the chip was changed"));
            break;
        case Stage::Erase:
            return stopped(none);
        case Stage::Program:
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

// The file read whole and checked for 256-byte pages before the chip is
// touched but for its probe, so that a file that cannot be written leaves
// even the page size untouched; a chip whose 256-byte pages wait for a
// power cycle is left as it is, before the erase.
int writeJob(const QString& file, frontend::WriteJob::Programming programming,
             DataFlashLocked locked = DataFlashLocked::Refuse)
{
    frontend::WriteJob job;
    if (!encodeFileName(file, job.path))
        return kFailed;
    job.programming = programming;
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
        say(QStringLiteral("the chip is now set to 256-byte pages, which take effect after a power cycle: switch the "
                           "board off and on, then run %1 again (nothing was erased or written)")
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
        if (stopSignal)
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

int verify(const QString& file)
{
    QByteArray path;
    if (!encodeFileName(file, path))
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
    difference.page = kDataFlashPages; // none found
    if (!AT45DB041D_VerifyImage(image, DataFlashPadding::Ignored, runReporting(), &difference)) {
        if (stopSignal)
            return stopped(QStringLiteral("nothing on the chip was changed"));
        if (difference.page == kDataFlashPages)
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

// Writes the chip's contents to standard output, all at once.
bool writeToStandardOutput(const std::vector<std::uint8_t>& contents, QString& error)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly)) {
        error = out.errorString();
        return false;
    }
    const qint64 size = qint64(contents.size());
    if (out.write(reinterpret_cast<const char*>(contents.data()), size) != size || !out.flush()) {
        error = out.errorString();
        return false;
    }
    return true;
}

int read(const QString& output)
{
    const bool toStandardOutput = output == QLatin1String("-");
    const QString shownName = toStandardOutput ? QStringLiteral("standard output") : output;
    // Written under a temporary name beside OUTPUT and renamed into place
    // only when complete; a device, pipe or folder is never replaced.
    QSaveFile file(output);
    if (!toStandardOutput) {
        if (const char* kind = platformSpecialFileKind(QFile::encodeName(output).constData()))
            return fail(QStringLiteral("cannot write %1: %2; read replaces only regular files (- writes to "
                                       "standard output)")
                            .arg(output, QString::fromLatin1(kind)));
        if (!file.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    }
    DataFlashInfo chip;
    if (!reachChip(frontend::ChipUse::Reading, chip))
        return kFailed;
    progress->stage(QStringLiteral("reading"));
    std::vector<std::uint8_t> contents;
    if (!AT45DB041D_ReadChip(contents, runReporting())) {
        if (stopSignal)
            return stopped(QStringLiteral("nothing on the chip was changed, and nothing was written to %1")
                               .arg(shownName));
        return fail({ lastMessage, QStringLiteral("nothing was written to %1").arg(shownName) });
    }
    const qint64 size = qint64(contents.size());
    QString error;
    if (toStandardOutput ? !writeToStandardOutput(contents, error)
                         : file.write(reinterpret_cast<const char*>(contents.data()), size) != size || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(shownName, toStandardOutput ? error : file.errorString()));
    note(QStringLiteral("read %1 bytes into %2").arg(size).arg(shownName));
    return kSuccess;
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
                                         name + QLatin1Char(' ') + QString::fromLatin1(command->argument));
        else
            parser.addPositionalArgument(name, QStringLiteral("Takes no argument."), name);
    } else {
        description = QStringLiteral("Writes a boot image into an AT45DB041D DataFlash on a parallel port, checks a "
                                     "chip\nagainst a file, reads a chip out, or tells what chip is on the port.\n\n"
                                     "Commands:\n");
        for (const Command& each : kCommands) {
            const QString name = QString::fromLatin1(each.name)
                                 + (each.argument ? QLatin1Char(' ') + QString::fromLatin1(each.argument) : QString());
            description += QStringLiteral("  %1%2\n").arg(name, -15).arg(QString::fromLatin1(each.summary));
        }
        description += QStringLiteral("\nRun %1 COMMAND --help for a command's arguments and options.")
                           .arg(QString::fromLatin1(kName));
        parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("info, write, update, erase, unprotect, protect, verify or read."),
                                     QStringLiteral("COMMAND [FILE]"));
    }
    parser.setApplicationDescription(description + QStringLiteral("\n\n") + QString::fromLatin1(kExitStatuses));
    parser.addOption(QCommandLineOption(QStringLiteral("port"),
                                        QStringLiteral("Base address of the parallel port: %1. Default: the address "
                                                       "the window last stored, else 378.")
                                            .arg(QString::fromLatin1(frontend::kPortAddressRange)),
                                        QStringLiteral("HEX")));
    if (!command || command->takesNoVerify)
        parser.addOption(QCommandLineOption(QStringLiteral("no-verify"),
                                            QStringLiteral("write: program without proving each page on the chip.")));
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

int usageError(const Command* command, const QString& error)
{
    say(error);
    std::fprintf(stderr, "\n%s", qPrintable(helpText(command)));
    return kUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kName));
    QCoreApplication::setApplicationVersion(QStringLiteral(PAGEKILN_VERSION));

    // Every option of every command: a command's own help lists only its own.
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("HEX"));
    const QCommandLineOption noVerify(QStringLiteral("no-verify"));
    const QCommandLineOption keepLocked(QStringLiteral("keep-locked"));
    const QCommandLineOption quietOption(QStringList { QStringLiteral("q"), QStringLiteral("quiet") });
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringList { QStringLiteral("v"), QStringLiteral("version") });
    parser.addOptions({ port, noVerify, keepLocked, quietOption, help, version });
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
        return usageError(command, parser.errorText());
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
    if (args.size() != (command->argument ? 2 : 1))
        return usageError(command, command->argument
                                       ? QStringLiteral("%1 takes one %2").arg(name, QString::fromLatin1(command->argument).toLower())
                                       : QStringLiteral("%1 takes no file").arg(name));
    if (parser.isSet(noVerify) && !command->takesNoVerify)
        return usageError(command, QStringLiteral("--no-verify applies to write only"));
    if (parser.isSet(keepLocked) && !command->takesNoVerify)
        return usageError(command, QStringLiteral("--keep-locked applies to write only"));

    bool stored = false;
    const QString address = parser.isSet(port) ? parser.value(port) : frontend::storedPortAddress(&stored);
    if (!frontend::parsePortAddressInRange(address, lptBase)) {
        const QString range = QString::fromLatin1(frontend::kPortAddressRange);
        if (!parser.isSet(port) && stored)
            return usageError(command, QStringLiteral("the port address '%1' stored by the window (in %2) is not %3: "
                                                      "give the address with --port")
                                           .arg(address, frontend::settingsLocation(), range));
        return usageError(command, QStringLiteral("the port address '%1' is not %2").arg(address, range));
    }

    // From here a stop request (Ctrl-C, SIGTERM, SIGHUP) asks the job to
    // stop at a clean boundary: the frame on the wire is finished and the
    // chip released first.
    platformCatchStopRequests(&stopSignal);
    if (name == QLatin1String("info"))
        return info();
    if (name == QLatin1String("write"))
        return writeJob(args[1],
                        parser.isSet(noVerify) ? frontend::WriteJob::Programming::Unchecked
                                               : frontend::WriteJob::Programming::Proven,
                        parser.isSet(keepLocked) ? DataFlashLocked::Keep : DataFlashLocked::Refuse);
    if (name == QLatin1String("update"))
        return writeJob(args[1], frontend::WriteJob::Programming::Update);
    if (name == QLatin1String("erase"))
        return erase();
    if (name == QLatin1String("unprotect"))
        return setProtection(DataFlashProtection::Off);
    if (name == QLatin1String("protect"))
        return setProtection(DataFlashProtection::On);
    if (name == QLatin1String("verify"))
        return verify(args[1]);
    return read(args[1]);
}
