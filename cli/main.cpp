// pagekiln-cli: the same job as the window without one, for build scripts and
// production lines, plus reading a chip out, checking it against a file and
// telling what chip is on the port. A thin front end over the driver.
#include "at45db041d.h"
#include "frontend.h"
#include "lpt.h"
#include "platform.h"
#include "progress.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <csignal>
#include <cstdio>
#include <vector>

namespace {

enum ExitStatus {
    kSuccess = 0,
    kFailed = 1,      // the chip, the file or the verification
    kUsage = 2,
    kPowerCycle = 3,  // written in 264-byte pages: power-cycle, run write again
    kInterrupted = 130,
};

const char* const kName = "pagekiln-cli";

const char* const kDescription =
    "Writes a boot image into an AT45DB041D DataFlash on a parallel port, checks a chip\n"
    "against a file, reads a chip out, or tells what chip is on the port.\n"
    "\n"
    "Commands:\n"
    "  info           the chip's ID, page size, protection and capacity\n"
    "  write FILE     set 256-byte pages, erase the chip and program FILE from page 0;\n"
    "                 every buffer is read back and every page compared on the chip\n"
    "  verify FILE    compare the chip with FILE page by page; changes nothing\n"
    "  read OUTPUT    read the whole chip into OUTPUT (replaced only when complete)\n"
    "\n"
    "Exit status:\n"
    "  0    success\n"
    "  1    the job failed (chip, file or verification)\n"
    "  2    usage error\n"
    "  3    written in 264-byte pages: power-cycle the board and run write again\n"
    "  130  interrupted (Ctrl-C): stopped at a clean boundary";

volatile std::sig_atomic_t interrupted = 0;
Progress* progress = nullptr;

// A message on stderr: one line, prefixed with the program's name.
void say(const QString& text)
{
    progress->endLine();
    std::fprintf(stderr, "%s: %s\n", kName, qPrintable(text.simplified()));
}

int fail(const QString& text)
{
    say(text);
    return kFailed;
}

// The driver's hooks: progress onto the line, Ctrl-C as a stop request.
DataFlashRun runReporting(unsigned* done = nullptr)
{
    return { [done](unsigned pages, unsigned total) {
                if (done)
                    *done = pages;
                progress->pages(pages, total);
            },
             [] { return interrupted != 0; } };
}

// Loads the port library, then finds the chip: for writing it must be an
// unprotected AT45DB041D (the window's connection step); for reading any
// AT45DB041D will do.
bool reachChip(bool forWriting)
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
    DataFlashInfo info;
    if (forWriting ? AT45DB041D_Connect() : AT45DB041D_Probe(info))
        return true;
    say(frontend::connectionProblem());
    return false;
}

QString hexBytes(const std::uint8_t* bytes, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

int info()
{
    QString problem;
    if (!frontend::loadPortLibrary(problem))
        return fail(problem);
    if (!frontend::lockPort(problem))
        return fail(problem);
    DataFlashInfo chip;
    const bool known = AT45DB041D_Probe(chip);
    if (!chip.answered)
        return fail(frontend::connectionProblem());
    const QString id = hexBytes(chip.id, 4);
    if (!known) {
        std::printf("Chip:        not an AT45DB041D (ID %s)\n", qPrintable(id));
        return fail(lastMessage);
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
    return kSuccess;
}

int write(const QString& file, bool checked)
{
    const QByteArray path = QFile::encodeName(file);
    if (!reachChip(true))
        return kFailed;
    progress->stage(QStringLiteral("setting 256-byte pages"));
    if (!AT45DB041D_SetBinaryPageSize())
        return fail(lastMessage);
    // Nothing is erased until the file is known to be writable and is read
    // whole: what is programmed is that copy.
    progress->stage(QStringLiteral("checking %1").arg(file));
    DataFlashImage image;
    if (!AT45DB041D_LoadFile(path.constData(), image))
        return fail(lastMessage);
    if (interrupted) {
        say(QStringLiteral("interrupted: nothing on the chip was changed"));
        return kInterrupted;
    }
    progress->stage(QStringLiteral("erasing"));
    if (!AT45DB041D_ChipErase())
        return fail(lastMessage);
    progress->stage(checked ? QStringLiteral("writing and checking") : QStringLiteral("writing"));
    unsigned done = 0;
    if (!AT45DB041D_ProgramImage(image, checked ? DataFlashCheck::Proven : DataFlashCheck::Unchecked,
                                 runReporting(&done))) {
        if (!interrupted)
            return fail(lastMessage);
        if (done == 0)
            say(QStringLiteral("interrupted: the chip is erased and holds none of %1; run write again").arg(file));
        else
            say(QStringLiteral("interrupted: the chip is erased and partly written, up to page %1 (pages 0 to %1 "
                               "hold %2%3); run write again")
                    .arg(done - 1)
                    .arg(file, checked ? QStringLiteral(", checked") : QString()));
        return kInterrupted;
    }
    DataFlashStatus st;
    if (AT45DB041D_ReadStatus(st) && !st.pageSize256) {
        say(QStringLiteral("%1 was written in 264-byte pages. The chip is now set to 256-byte pages, which takes "
                           "effect after a power cycle: switch the board off and on, then run write again.")
                .arg(file));
        return kPowerCycle;
    }
    say(checked ? QStringLiteral("%1 written; every page proven on the chip").arg(file)
                : QStringLiteral("%1 written, unchecked").arg(file));
    return kSuccess;
}

int verify(const QString& file)
{
    if (!reachChip(false))
        return kFailed;
    progress->stage(QStringLiteral("verifying"));
    DataFlashImage image;
    if (!AT45DB041D_LoadFile(QFile::encodeName(file).constData(), image))
        return fail(lastMessage);
    if (!AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros, runReporting())) {
        if (!interrupted)
            return fail(lastMessage);
        say(QStringLiteral("interrupted: nothing on the chip was changed"));
        return kInterrupted;
    }
    say(QStringLiteral("the chip holds %1").arg(file));
    return kSuccess;
}

int read(const QString& output)
{
    // Written under a temporary name beside OUTPUT and renamed into place
    // only when complete.
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    if (!reachChip(false))
        return kFailed;
    progress->stage(QStringLiteral("reading"));
    std::vector<std::uint8_t> contents;
    if (!AT45DB041D_ReadChip(contents, runReporting())) {
        if (!interrupted)
            return fail(lastMessage);
        say(QStringLiteral("interrupted: %1 was not written").arg(output));
        return kInterrupted;
    }
    const qint64 size = qint64(contents.size());
    if (file.write(reinterpret_cast<const char*>(contents.data()), size) != size || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, file.errorString()));
    say(QStringLiteral("read %1 bytes into %2").arg(size).arg(output));
    return kSuccess;
}

int usageError(const QCommandLineParser& parser, const QString& error)
{
    say(error);
    std::fprintf(stderr, "\n%s", qPrintable(parser.helpText()));
    return kUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kName));
    QCoreApplication::setApplicationVersion(QStringLiteral(PAGEKILN_VERSION));
    Progress lines(platformStderrIsTerminal());
    progress = &lines;

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("info, write, verify or read."),
                                 QStringLiteral("COMMAND"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The file to write or verify, or the output "
                                                                        "of read."),
                                 QStringLiteral("[FILE]"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Base address of the parallel port, in hexadecimal (378, 3BC, D100). "
                                                 "Default: the address the window last used, else 378."),
                                  QStringLiteral("HEX"));
    const QCommandLineOption noVerify(QStringLiteral("no-verify"),
                                      QStringLiteral("write: skip the buffer read-back and the page compare."));
    parser.addOption(port);
    parser.addOption(noVerify);

    if (!parser.parse(app.arguments()))
        return usageError(parser, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kSuccess);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const bool takesFile = command == QLatin1String("write") || command == QLatin1String("verify")
                           || command == QLatin1String("read");
    if (command.isEmpty())
        return usageError(parser, QStringLiteral("no command given"));
    if (!takesFile && command != QLatin1String("info"))
        return usageError(parser, QStringLiteral("unknown command '%1'").arg(command));
    if (args.size() != (takesFile ? 2 : 1))
        return usageError(parser, takesFile ? QStringLiteral("%1 takes one file").arg(command)
                                            : QStringLiteral("info takes no file"));
    if (parser.isSet(noVerify) && command != QLatin1String("write"))
        return usageError(parser, QStringLiteral("--no-verify applies to write only"));

    const QString address = parser.isSet(port) ? parser.value(port) : frontend::storedPortAddress();
    if (!frontend::parsePortAddress(address, lptBase))
        return usageError(parser, QStringLiteral("the port address '%1' is not a hexadecimal number").arg(address));

    // From here Ctrl-C asks the job to stop at a clean boundary: the frame
    // on the wire is finished and the chip released first.
    platformCatchInterrupt(&interrupted);
    if (command == QLatin1String("info"))
        return info();
    if (command == QLatin1String("write"))
        return write(args[1], !parser.isSet(noVerify));
    if (command == QLatin1String("verify"))
        return verify(args[1]);
    return read(args[1]);
}
