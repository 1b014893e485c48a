// pagekiln-cli run as a process against the simulated chip, which keeps its
// flash in an image file in a temporary folder: every run is a power-up. The
// chip is reached either through the simulated chip's own port library, or
// through the ppdev port library's real open, ioctl and close calls, answered
// by a stand-in for the kernel's ppdev driver (PPDEV=... in a row's
// environment) that has the simulated chip behind it; or over spidev
// (SPIDEV=..., --programmer spidev), a stand-in for the kernel's spidev
// driver answering with the simulated chip's SPI entry; or over an FT232H
// (FTDI=..., --programmer ft232h), a stand-in for libftdi1 whose adapter's
// MPSSE engine drives the same entry; or over a CH341A (CH341A=...,
// --programmer ch341a), a stand-in for libusb taking the adapter's streams
// to the same entry.
#include "chips.h"
#include "testdata.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

#include <sys/stat.h>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
    QByteArray data; // stdout as it came
};

// The simulated chip's image file: 2048 pages of 264 bytes, then the
// page-size register (1: programmed for 256-byte pages).
constexpr int kFlashBytes = 2048 * 264;

// FIRST with IGNORE, a block of payload, a FILL, then FINAL.
QByteArray loader16(quint32 payload)
{
    return testing::header16(0x5001, 0xFFA00000, 0, 0) + testing::header16(0x0001, 0xFFA00000, payload, 0)
           + testing::pseudoRandom(payload, 5) + testing::header16(0x0101, 0xFF800000, 4096, 0xDEADBEEF)
           + testing::header16(0x8001, 0xFFA00400, 32, 0) + testing::pseudoRandom(32, 6);
}

// IGNORE, ZEROFILL, then FINAL; hwait: the HWAIT bits PFLAG and PPORT set.
QByteArray loader53x(quint16 hwait = 0)
{
    return testing::block10(0xFFA00000, 16, 0x0010) + testing::block10(0xFF800000, 256, 0x0001)
           + testing::block10(0xFFA00010, 8, quint16(0x8002 | hwait));
}

} // namespace

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase() { init(); }
    void writeVerifyRead_data();
    void writeVerifyRead();
    void exitStatuses_data();
    void exitStatuses();
    void interruptedWrite_data();
    void interruptedWrite();
    void manualPage_data();
    void manualPage();

private:
    QProcessEnvironment environment(const QStringList& extra) const;
    QStringList programmerArgs(const QStringList& args, const QStringList& env) const;
    Run run(const QStringList& args, const QStringList& env = {},
            const QString& program = QStringLiteral(PAGEKILN_CLI));
    QString file(const QString& name, const QByteArray& data);
    QByteArray readChip();
    QStringList kernelLog(const QString& name = QStringLiteral("kernel.log")) const;

    QTemporaryDir dir;
    QStringList portLibrary; // the environment of every run: which port library reaches the chip
};

// The kernel's list of parallel ports for the ppdev stand-in: parport0 at 378.
void CliTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("proc/sys/dev/parport/parport0"))));
    QFile baseAddr(dir.filePath(QStringLiteral("proc/sys/dev/parport/parport0/base-addr")));
    QVERIFY(baseAddr.open(QIODevice::WriteOnly));
    baseAddr.write("888\t1912\n");
    // The kernel's /sys for the spidev stand-in: spidev0.0, its buffer of
    // 4096 bytes; in sys-small, of 100, smaller than a page's frame.
    for (const char* sys : { "sys", "sys-small" }) {
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("%1/class/spidev/spidev0.0").arg(sys))));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("%1/module/spidev/parameters").arg(sys))));
        QFile bufsiz(dir.filePath(QStringLiteral("%1/module/spidev/parameters/bufsiz").arg(sys)));
        QVERIFY(bufsiz.open(QIODevice::WriteOnly));
        bufsiz.write(qstrcmp(sys, "sys") == 0 ? "4096\n" : "100\n");
    }
}

void CliTest::init()
{
    portLibrary.clear();
    QFile::remove(dir.filePath(QStringLiteral("kernel.log")));
    QFile::remove(dir.filePath(QStringLiteral("chip.img"))); // a new chip for every test
    QDir(dir.filePath(QStringLiteral("home"))).removeRecursively();
    std::remove(QFile::encodeName(dir.path()) + "/n\xff.bin"); // a name Qt cannot remove
}

QProcessEnvironment CliTest::environment(const QStringList& extra) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(SIMCHIP_DIR));
    env.insert(QStringLiteral("PAGEKILN_SIM_IMAGE"), dir.filePath(QStringLiteral("chip.img")));
    env.insert(QStringLiteral("PAGEKILN_SIM_FAST"), QStringLiteral("1"));
    env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("home/.config")));
    // The port locks of these runs, apart from other programs' on this machine.
    env.insert(QStringLiteral("PAGEKILN_LOCK_DIR"), dir.path());
    for (const QString& setting : portLibrary + extra) {
        const QString name = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        if (name == QLatin1String("SPIDEV")) {
            // The spidev stand-in; the value says what /dev/spidev0.0 is
            // (ok, denied, busy, nomode), or small: ok with a 100-byte buffer.
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SPIDEV_KERNEL));
            env.insert(QStringLiteral("SPIDEV_KERNEL_SYS"),
                       dir.filePath(value == QLatin1String("small") ? QStringLiteral("sys-small") : QStringLiteral("sys")));
            env.insert(QStringLiteral("SPIDEV_KERNEL_DEVICE"), value);
            env.insert(QStringLiteral("SPIDEV_KERNEL_LOG"), dir.filePath(QStringLiteral("kernel.log")));
            continue;
        }
        if (name == QLatin1String("FTDI")) {
#if defined(LIBFTDI_STANDIN)
            // The libftdi1 stand-in with one FT232H attached; the value says
            // what it does when opened (ok, denied, busy, sio), or none: no
            // adapter attached.
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(LIBFTDI_STANDIN));
            env.insert(QStringLiteral("FTDI_STANDIN_DEVICE"), value);
            if (value == QLatin1String("none"))
                env.insert(QStringLiteral("FTDI_STANDIN_ADAPTERS"), value);
            env.insert(QStringLiteral("FTDI_STANDIN_LOG"), dir.filePath(QStringLiteral("kernel.log")));
#endif
            continue;
        }
#if defined(LIBUSB_STANDIN)
        if (name == QLatin1String("CH341A")) {
            // The libusb stand-in; the value says what is attached (ok,
            // none, denied, busy, driver, stall).
            env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(LIBUSB_STANDIN));
            env.insert(QStringLiteral("CH341_STANDIN_DEVICE"), value);
            env.insert(QStringLiteral("CH341_STANDIN_LOG"), dir.filePath(QStringLiteral("kernel.log")));
            continue;
        }
#endif
        if (name != QLatin1String("PPDEV")) {
            env.insert(name, value);
            continue;
        }
        // The ppdev port library, over the kernel stand-in; the value says
        // what /dev/parport0 is (ok, missing, denied, exclusive).
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PPDEV_KERNEL));
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(PPDEV_PORT_DIR));
        env.insert(QStringLiteral("PPDEV_KERNEL_PROC"), dir.filePath(QStringLiteral("proc")));
        env.insert(QStringLiteral("PPDEV_KERNEL_DEVICE"), value);
        env.insert(QStringLiteral("PPDEV_KERNEL_LOG"), dir.filePath(QStringLiteral("kernel.log")));
    }
    return env;
}

Run CliTest::run(const QStringList& args, const QStringList& env, const QString& program)
{
    QProcess process;
    process.setProcessEnvironment(environment(env));
    process.setWorkingDirectory(dir.path());
    process.start(program, program == QLatin1String(PAGEKILN_CLI) ? programmerArgs(args, env) : args);
    Run result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.data = process.readAllStandardOutput();
    result.out = QString::fromLocal8Bit(result.data);
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Over the spidev, libftdi1 or libusb stand-in, the link is chosen unless
// the row chose it.
QStringList CliTest::programmerArgs(const QStringList& args, const QStringList& env) const
{
    if (args.contains(QStringLiteral("--programmer")))
        return args;
    if (!(portLibrary + env).filter(QRegularExpression(QStringLiteral("^FTDI="))).isEmpty())
        return args + QStringList { QStringLiteral("--programmer"), QStringLiteral("ft232h") };
    if (args.contains(QStringLiteral("programmers")))
        return args;
    if (!(portLibrary + env).filter(QRegularExpression(QStringLiteral("^CH341A="))).isEmpty())
        return args + QStringList { QStringLiteral("--programmer"), QStringLiteral("ch341a") };
    if ((portLibrary + env).filter(QRegularExpression(QStringLiteral("^SPIDEV="))).isEmpty())
        return args;
    return args + QStringList { QStringLiteral("--programmer"), QStringLiteral("spidev:/dev/spidev0.0,speed=10000000") };
}

QString CliTest::file(const QString& name, const QByteArray& data)
{
    const QString path = dir.filePath(name);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size())
        return QString();
    return path;
}

QStringList CliTest::kernelLog(const QString& name) const
{
    QFile log(dir.filePath(name));
    return log.open(QIODevice::ReadOnly) ? QString::fromLatin1(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                         : QStringList();
}

// Every claim of the port was released by the library before it closed the
// device, the last one at the program's exit.
static bool releasedEveryClaim(const QStringList& log)
{
    const auto claims = log.filter(QStringLiteral("claim /dev/parport0")).size();
    return claims > 0 && log.filter(QRegularExpression(QStringLiteral("^release /dev/parport0$"))).size() == claims
           && log.filter(QStringLiteral("at close")).isEmpty()
           && log.mid(log.size() - 2) == QStringList({ "release /dev/parport0", "close /dev/parport0" });
}

// The chip's contents through read's standard output.
QByteArray CliTest::readChip()
{
    const Run result = run({ QStringLiteral("read"), QStringLiteral("-") });
    return result.status == 0 ? result.data : QByteArray();
}

void CliTest::writeVerifyRead_data()
{
    QTest::addColumn<QStringList>("library");
    QTest::newRow("simulated chip's port library") << QStringList();
    // One chip of each page size, and the E series, on the simulated port.
    for (const char* chip : { "AT45DB161D", "AT45DB642D", "AT45DB041E", "AT45DB641E" })
        QTest::newRow(chip) << QStringList { QStringLiteral("PAGEKILN_SIM_CHIP=") + QLatin1String(chip) };
    QTest::newRow("ppdev port library") << QStringList { "PPDEV=ok" };
    QTest::newRow("spidev") << QStringList { "SPIDEV=ok" };
    QTest::newRow("spidev, frames over its buffer size")
        << QStringList { "SPIDEV=small", "PAGEKILN_SIM_FRAME_LOG=" + dir.filePath(QStringLiteral("frames.log")) };
    QTest::newRow("spidev, noisy wire") << QStringList { "SPIDEV=ok", "PAGEKILN_SIM_NOISE_SI=0.00001",
                                                         "PAGEKILN_SIM_NOISE_SO=0.00001" };
#if defined(LIBFTDI_STANDIN)
    QTest::newRow("ft232h") << QStringList { "FTDI=ok" };
    QTest::newRow("ft232h, noisy wire") << QStringList { "FTDI=ok", "PAGEKILN_SIM_NOISE_SI=0.00001",
                                                          "PAGEKILN_SIM_NOISE_SO=0.00001" };
#endif
#if defined(LIBUSB_STANDIN)
    QTest::newRow("ch341a") << QStringList { "CH341A=ok" };
    QTest::newRow("ch341a, noisy wire") << QStringList { "CH341A=ok", "PAGEKILN_SIM_NOISE_SI=0.00001",
                                                         "PAGEKILN_SIM_NOISE_SO=0.00001" };
#endif
}

// A new chip is in 264-byte pages: the first write sets 256-byte pages and
// stops before the erase with status 3; after the power cycle (the next run)
// the file goes in 256-byte pages, is verified and read back; a changed byte
// makes verify name its page.
void CliTest::writeVerifyRead()
{
    QFETCH(QStringList, library);
    portLibrary = library;
    const QStringList named = library.filter(QStringLiteral("PAGEKILN_SIM_CHIP="));
    const DataFlashChip* row = findDataFlashChipNamed(
        named.isEmpty() ? "AT45DB041D" : qPrintable(named.constFirst().section(QLatin1Char('='), 1)));
    QVERIFY(row);
    const int page = int(row->binaryPageLength);
    const int capacity = int(row->pages) * page;
    QByteArray data = testing::pseudoRandom(10 * page + 77, 7);
    const QString boot = file(QStringLiteral("boot.bin"), data);

    // The D series' binary pages wait for a power cycle; the E series' are
    // in force at once.
    const bool eSeries = row->series == DataFlashSeries::E;
    if (!eSeries) {
        Run first = run({ QStringLiteral("write"), boot });
        QCOMPARE(first.status, 3);
        QVERIFY2(first.err.contains(QStringLiteral("pagekiln-cli: the chip is now set to %1-byte pages, which take "
                                                   "effect after a power cycle: switch the board off and on, then "
                                                   "run write again (nothing was erased or written)")
                                        .arg(page)),
                 qPrintable(first.err));
        const QString output = dir.filePath(QStringLiteral("chip.bin"));
        QCOMPARE(run({ QStringLiteral("read"), output }).status, 0);
        QCOMPARE(QFileInfo(output).size(), capacity); // the power cycle put binary pages in force
    }

    Run second = run({ QStringLiteral("write"), boot });
    QCOMPARE(second.status, 0);
    QVERIFY2(second.err.contains(QLatin1String("every page proven on the chip")), qPrintable(second.err));
    // A frame split over messages kept the chip selected: every frame the
    // chip saw starts with a command, never with a page's data.
    if (library.contains(QStringLiteral("SPIDEV=small"))) {
        QVERIFY(!kernelLog().filter(QStringLiteral(" held")).isEmpty());
        QFile frames(dir.filePath(QStringLiteral("frames.log")));
        QVERIFY(frames.open(QIODevice::ReadOnly));
        const QByteArray commands("D7 9F 84 87 88 89 60 61 D2 C7 3D 32 35 77");
        for (const QByteArray& line : frames.readAll().trimmed().split('\n'))
            QVERIFY2(!line.startsWith("frame") || commands.contains(line.split(' ').value(1)), line.constData());
    }
    QCOMPARE(run({ QStringLiteral("verify"), boot }).status, 0);
    const QByteArray chip = readChip();
    QCOMPARE(chip.left(data.size()), data);
    QCOMPARE(chip.mid(data.size(), page - 77), QByteArray(page - 77, '\0'));
    QCOMPARE(chip.mid(11 * page), QByteArray(chip.size() - 11 * page, char(0xFF)));

    data[7 * page + 3] = char(~data[7 * page + 3]);
    file(QStringLiteral("boot.bin"), data);
    Run changed = run({ QStringLiteral("verify"), boot });
    QCOMPARE(changed.status, 1);
    QVERIFY2(changed.err.contains(QLatin1String(
                 "pagekiln-cli: Verification failed: page 7 does not hold what the file has there!")),
             qPrintable(changed.err));
    QVERIFY2(changed.err.contains(QStringLiteral("first difference at byte 3 of page 7 (offset %1 of").arg(7 * page + 3)),
             qPrintable(changed.err));
    // update then programs page 7 alone; erase leaves every byte 0xFF.
    Run updated = run({ QStringLiteral("update"), boot });
    QCOMPARE(updated.status, 0);
    QVERIFY2(updated.err.contains(QLatin1String("1 of its 11 pages changed")), qPrintable(updated.err));
    QCOMPARE(readChip().left(data.size()), data);
    QCOMPARE(run({ QStringLiteral("erase") }).status, 0);
    QCOMPARE(readChip(), QByteArray(capacity, char(0xFF)));
    // inspect finds no image on the erased chip; after a loader file is
    // written, its hash, from the pages its headers span and no more.
    const Run none = run({ QStringLiteral("inspect") });
    QCOMPARE(none.status, 1);
    QVERIFY2(none.out.contains(QLatin1String("no loader file; the first page is blank")), qPrintable(none.out));
    const QByteArray loader = loader16(3000) + QByteArray(600, '\0');
    QCOMPARE(run({ QStringLiteral("write"), file(QStringLiteral("app.ldr"), loader) }).status, 0);
    const int image = loader.size() - 600;
    const Run inspected = run({ QStringLiteral("inspect") });
    QCOMPARE(inspected.status, 0);
    QVERIFY2(inspected.out.contains(QStringLiteral("Chip:      %1 pages of %2 bytes").arg((image + page - 1) / page).arg(page))
                 && inspected.out.contains(QStringLiteral("Image:     %1 bytes").arg(image))
                 && inspected.out.contains(QString::fromLatin1(
                     QCryptographicHash::hash(loader.left(image), QCryptographicHash::Sha256).toHex())),
             qPrintable(inspected.out));
    if (library.contains(QStringLiteral("PPDEV=ok")))
        QVERIFY2(releasedEveryClaim(kernelLog()), qPrintable(kernelLog().join(QLatin1Char('\n'))));
}

void CliTest::exitStatuses_data()
{
    // %f: a small file, %m: a missing one, %e: an empty one, %p: a named
    // pipe, %d: a folder, %b: two blank pages, %h: the first 2900 bytes of
    // the board's image, %o: an old backup, %B: one byte too big for 256-byte
    // pages. Boot images: %L a loader file in 16-byte headers, %K its copy
    // with a header's checksum broken, %C its copy cut short, %3 a BF53x
    // loader file, %W one with HWAIT bits, %6 a BF561 one, %E an ELF file,
    // %H Intel HEX, %r a raw binary whose byte 3 is 0xFF.
    QTest::addColumn<QStringList>("args");
    // NEW=1: a new chip (264-byte pages) that holds an old image;
    // STORED=A: the window stored the port address A.
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("status");
    // Lines on stderr, or on stdout for info and --help; empty: stderr is
    // empty; a line after ! must not be there.
    QTest::addColumn<QString>("says");
    const QStringList none;
    const QStringList page256 { "PAGEKILN_SIM_PAGE256=1" };
    // A file refused: the command line's own line leads, with the name and the system's reason.
    const QString noFile = QStringLiteral("pagekiln-cli: cannot read \n");
    const QString range = QStringLiteral("is not two to five hexadecimal digits with a value of at most FFFF");
    QTest::newRow("help") << QStringList { "--help" } << none << 0
                          << "Usage: pagekiln-cli [options] COMMAND [FILE]\n130  interrupted";
    QTest::newRow("help of one command") << QStringList { "write", "--help" } << none << 0
                                         << "Usage: pagekiln-cli [options] write FILE\n--no-verify";
    QTest::newRow("--help-all is not offered") << QStringList { "--help-all" } << none << 2
                                               << "Unknown option 'help-all'";
    QTest::newRow("no command") << QStringList() << none << 2 << "pagekiln-cli: no command given";
    QTest::newRow("unknown command") << QStringList { "burn" } << none << 2 << "pagekiln-cli: unknown command 'burn'";
    QTest::newRow("write without a file") << QStringList { "write" } << none << 2 << "pagekiln-cli: write takes one file";
    QTest::newRow("unknown option: one line, and where the help is")
        << QStringList { "info", "--fast" } << none << 2
        << "pagekiln-cli: Unknown option 'fast'.\nTry 'pagekiln-cli info --help' for more information.";
    QTest::newRow("a name with a dash is no row of short options")
        << QStringList { "verify", "-dash.bin" } << page256 << 2
        << "Unknown option 'dash.bin'. A file whose name begins with - goes after --, or as ./-dash.bin.";
    QTest::newRow("-- ends the options") << QStringList { "verify", "--", "-dash.bin" } << page256 << 0
                                         << "pagekiln-cli: the chip holds -dash.bin";
    QTest::newRow("an option given twice") << QStringList { "info", "--port", "378", "--port", "278" } << page256
                                           << 2 << "pagekiln-cli: --port is given more than once";
    QTest::newRow("a name with two spaces, shown as given") << QStringList { "write", "two  spaces.bin" } << page256
                                                            << 0 << "pagekiln-cli: 'two  spaces.bin' written";
    QTest::newRow("a name that is not UTF-8, taken as given")
        << QStringList { "%sh", "exec \"$0\" update \"$(printf 'n\\377.bin')\"" } << page256 << 0
        << "pagekiln-cli: 'n'$'\\xff''.bin' is on the chip: 1 of its 8 pages changed";
    QTest::newRow("read onto a name that is not UTF-8, then verified from it")
        << QStringList { "%sh", "n=$(printf 'n\\377.bin'); \"$0\" read \"$n\" && exec \"$0\" verify \"$n\"" }
        << page256 << 0
        << "pagekiln-cli: read 524288 bytes into 'n'$'\\xff''.bin'\npagekiln-cli: the chip holds 'n'$'\\xff''.bin'";
    QTest::newRow("read onto no name: the chip is not read") << QStringList { "read", "" } << page256 << 1
                                                             << "pagekiln-cli: cannot write '': no name given\n"
                                                                "!connecting";
    QTest::newRow("read onto a name too long: the chip is not read")
        << QStringList { "read", QString(256, QLatin1Char('n')) } << page256 << 1 << "File name too long\n!connecting";
    QTest::newRow("--any-port: Linux keeps to the ports the kernel lists anyway")
        << QStringList { "info", "--port", "378", "--any-port" } << page256 << 0 << "Chip:";
    QTest::newRow("port with 0x") << QStringList { "info", "--port", "0x378" } << page256 << 0 << "Chip:";
    QTest::newRow("--no-verify with read") << QStringList { "read", "%m", "--no-verify" } << none << 2
                                           << "--no-verify applies to write only";
    QTest::newRow("port not hexadecimal") << QStringList { "info", "--port", "zz" } << none << 2
                                          << "the port address 'zz' " + range;
    QTest::newRow("port above FFFF") << QStringList { "write", "%f", "--port", "10378" } << page256 << 2
                                     << "the port address '10378' " + range;
    QTest::newRow("port -1") << QStringList { "write", "%f", "--port", "-1" } << page256 << 2
                             << "the port address '-1' " + range;
    QTest::newRow("bad port stored by the window") << QStringList { "info" } << QStringList { "STORED=FFFFF" } << 2
                                                   << "the port address 'FFFFF' stored by the window (in ";
    QTest::newRow("info") << QStringList { "info" } << page256 << 0 << "Chip:        AT45DB041D (ID 1F 24 00 00)";
    QTest::newRow("info, port from the window's settings") << QStringList { "info" }
                                                           << QStringList { "PAGEKILN_SIM_BASE=3BC", "STORED=3BC" } << 0
                                                           << "Chip:        AT45DB041D";
    QTest::newRow("info, protected chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 0
                                          << "Protection:  on\nProtected sectors: 0a 0b 1 2 3 4 5 6 7";
    QTest::newRow("info, chip in 264-byte pages") << QStringList { "info" } << QStringList { "NEW=1" } << 0
                                                  << "Page size:   264 bytes (write switches the chip to 256-byte "
                                                     "pages, in force after a power cycle;";
    QTest::newRow("info: sectors and the unique ID")
        << QStringList { "info" }
        << QStringList { "PAGEKILN_SIM_PAGE256=1", "PAGEKILN_SIM_LOCKDOWN=4",
                         "PAGEKILN_SIM_UNIQUE_ID=030A11181F262D343B424950575E656C737A81888F969DA4ABB2B9C0C7CED5DCE3EAF1F8FF060D141B222930373E454C535A61686F767D848B9299A0A7AEB5BC" }
        << 0
        << "Protected sectors: none\nProtection register: 0a 0b 1 2 3 4 5 6 7\nLocked sectors: 1\nUnique ID: 030A11181F262D343B424950575E656C737A81888F969DA4ABB2B9C0C7CED5DCE3EAF1F8FF060D141B222930373E454C535A61686F767D848B9299A0A7AEB5BC";
    QTest::newRow("update: only the last page, padded") << QStringList { "update", "%h" } << page256 << 0
                                                       << "head.bin is on the chip: 1 of its 12 pages changed";
    // Pages that held the old image's data fail their proofs until they
    // are programmed: no bit was flipped.
    QTest::newRow("update over a longer image: no noise told") << QStringList { "update", "%f" } << page256 << 0
                                                                << "small.bin is on the chip: 3 of its 3 pages "
                                                                   "changed\n!flipped bits";
    QTest::newRow("spidev: update over a longer image: no noise told")
        << QStringList { "update", "%f" } << QStringList { "PAGEKILN_SIM_PAGE256=1", "SPIDEV=ok" } << 0
        << "small.bin is on the chip: 3 of its 3 pages changed\n!flipped bits";
    QTest::newRow("update, missing file, chip untouched") << QStringList { "update", "%m" } << page256 << 1
                                                          << noFile + "No such file or directory";
    QTest::newRow("update, new chip: stops before any change") << QStringList { "update", "%f" }
                                                               << QStringList { "NEW=1" } << 3
                                                               << "switch the board off and on, then run update again";
    QTest::newRow("update, protected chip") << QStringList { "update", "%f" } << QStringList { "PAGEKILN_SIM_PROTECT=1" }
                                            << 1 << "pagekiln-cli: the chip's sector protection is on: turn it off "
                                                    "with pagekiln-cli unprotect";
    QTest::newRow("erase, protected chip") << QStringList { "erase" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 1
                                           << "Warning! Sector protection is enabled, I can't do anything.";
    QTest::newRow("unprotect") << QStringList { "unprotect" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 0
                               << "pagekiln-cli: sector protection is off";
    QTest::newRow("protect") << QStringList { "protect" } << page256 << 0 << "pagekiln-cli: sector protection is on";
    QTest::newRow("unprotect, WP# held low") << QStringList { "unprotect" } << QStringList { "PAGEKILN_SIM_WP_LOW=1" }
                                             << 1 << "WP# pin is held low, which keeps the protection on and makes "
                                                     "the chip ignore the command; tie WP# high (to VCC)";
    QTest::newRow("unprotect, sectors locked down") << QStringList { "unprotect" }
                                                    << QStringList { "PAGEKILN_SIM_LOCKDOWN=3" } << 1
                                                    << "sectors 0a 0b are locked down for good (the chip's sector "
                                                       "lockdown register says so)";
    QTest::newRow("info, another maker's chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_ID=C2201500" }
                                                << 1 << "Supported: AT45DB011D, AT45DB021D, AT45DB041D";
    QTest::newRow("write, another maker's chip: the same text")
        << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_ID=C2201500" } << 1
        << "pagekiln-cli: The chip is not one this program knows (its ID is in no row of the chip table); "
           "nothing on it was changed.";
    QTest::newRow("write, an ID its status contradicts")
        << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_ID=1F25000000" } << 1
        << "The chip gives the ID of an AT45DB081D, but its status register does not carry that chip's density code";
    QTest::newRow("write, one SRAM buffer") << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_CHIP=AT45DB021E" }
                                            << 1 << "The AT45DB021E has one SRAM buffer";
    QTest::newRow("verify, one SRAM buffer") << QStringList { "verify", "%b" }
                                             << QStringList { "PAGEKILN_SIM_CHIP=AT45DB021D" } << 0
                                             << "pagekiln-cli: the chip holds";
    QTest::newRow("update, EPE") << QStringList { "update", "%f" }
                                 << QStringList { "PAGEKILN_SIM_CHIP=AT45DB041E", "PAGEKILN_SIM_STUCK=0:3:FF", "ERASED=1" } << 1
                                 << "pagekiln-cli: The chip reports an erase or program error (EPE) on page 0";
    QTest::newRow("page-size dataflash, E series") << QStringList { "page-size", "dataflash" }
                                                   << QStringList { "PAGEKILN_SIM_CHIP=AT45DB161E", "PAGEKILN_SIM_PAGE256=1" }
                                                   << 0 << "the AT45DB161E is now in 528-byte pages";
    QTest::newRow("page-size binary, D series, without --yes") << QStringList { "page-size", "binary" }
                                                               << QStringList { "NEW=1" } << 1
                                                               << "pagekiln-cli: give --yes to switch it for good";
    QTest::newRow("page-size binary, D series") << QStringList { "page-size", "binary", "--yes" }
                                                << QStringList { "NEW=1" } << 3
                                                << "which take effect after a power cycle";
    QTest::newRow("page-size dataflash, D series") << QStringList { "page-size", "dataflash" } << page256 << 1
                                                   << "cannot go back to 264-byte pages";
    QTest::newRow("no chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_ABSENT=1" } << 1
                             << "pagekiln-cli: Failed to read the status byte!\npagekiln-cli: no chip answers on port "
                                "378: check the cable, the power and the address";
    QTest::newRow("wrong port") << QStringList { "write", "%f", "--port", "278" } << none << 1
                                << "pagekiln-cli: no chip answers on port 278";
    QTest::newRow("protected chip") << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 1
                                    << "pagekiln-cli: Warning! Sector protection is enabled, I can't do anything.\n"
                                       "pagekiln-cli: the chip's sector protection is on";
    QTest::newRow("missing file, chip untouched") << QStringList { "write", "%m" } << page256 << 1
                                                  << noFile + "No such file or directory";
    QTest::newRow("empty file, chip untouched") << QStringList { "write", "%e" } << page256 << 1
                                                << noFile + "empty.bin: it is empty";
    QTest::newRow("named pipe, chip untouched") << QStringList { "write", "%p" } << page256 << 1
                                                << noFile + "pipe.bin: it is a named pipe, not a regular file";
    QTest::newRow("device, chip untouched") << QStringList { "write", "/dev/zero" } << page256 << 1
                                            << noFile + "cannot read /dev/zero: it is a device, not a regular file";
    QTest::newRow("folder, chip untouched") << QStringList { "write", "%d" } << page256 << 1
                                            << noFile + "it is a folder";
    QTest::newRow("verify a named pipe") << QStringList { "verify", "%p" } << page256 << 1
                                         << noFile + "it is a named pipe, not a regular file";
    QTest::newRow("new chip, too big for 256-byte pages: page size untouched too") << QStringList { "write", "%B" }
                                                                                  << QStringList { "NEW=1" } << 1
                                                                                  << "The file is too large for the "
                                                                                     "chip: 524289 bytes, at most "
                                                                                     "524288 fit!";
    QTest::newRow("new chip: stops before the erase") << QStringList { "write", "%f" } << QStringList { "NEW=1" } << 3
                                                      << "the chip is now set to 256-byte pages, which take effect "
                                                         "after a power cycle";
    QTest::newRow("quiet") << QStringList { "write", "%f", "-q" } << page256 << 0 << "";
    QTest::newRow("verify: only FILE's bytes count") << QStringList { "verify", "%h" } << page256 << 0
                                                     << "pagekiln-cli: the chip holds";
    // Silent after the first few commands: the chip then reads as 0xFF,
    // like the blank file and the erased pages of a chip.
    QTest::newRow("verify of blank pages, chip stops answering") << QStringList { "verify", "%b" }
                                                                 << QStringList { "PAGEKILN_SIM_STOP_AFTER=5" } << 1
                                                                 << "pagekiln-cli: The chip stopped answering";
    QTest::newRow("read, chip stops answering: the old output stays") << QStringList { "read", "%o" }
                                                                      << QStringList { "PAGEKILN_SIM_STOP_AFTER=5" } << 1
                                                                      << "pagekiln-cli: The chip stopped answering\n"
                                                                         "nothing was written to";
    QTest::newRow("read onto a named pipe") << QStringList { "read", "%p" } << page256 << 1
                                            << "pipe.bin: it is a named pipe, not a regular file; read replaces only "
                                               "regular files";
    QTest::newRow("read -, its reader gone: no message") << QStringList { "%|", "read", "-", "-q" } << page256 << 141 << "";
    QTest::newRow("read - onto a terminal: refused before the chip is read")
        << QStringList { "%sh", "exec script -qec \"'$0' read -\" /dev/null" } << page256 << 2
        << "pagekiln-cli: standard output is a terminal, where the chip's contents (binary data) would land";
    QTest::newRow("cable, clean wires") << QStringList { "cable" } << page256 << 0
                                        << "to the chip (SI): 0 errors in \nfrom the chip (SO): 0 errors in \n"
                                           "no bit flipped on either wire";
    QTest::newRow("cable, noisy wire to the chip: flash untouched")
        << QStringList { "cable" } << QStringList { "PAGEKILN_SIM_PAGE256=1", "PAGEKILN_SIM_NOISE_SI=1e-3" } << 1
        << "from the chip (SO): 0 errors in \nthe cable flips bits: shorten it";
    QTest::newRow("cable, noisy wire from the chip") << QStringList { "cable" }
                                                     << QStringList { "PAGEKILN_SIM_PAGE256=1",
                                                                      "PAGEKILN_SIM_NOISE_SO=1e-3" }
                                                     << 1 << "to the chip (SI): 0 errors in \nthe cable flips bits";
    QTest::newRow("write on a noisy wire says so at the end")
        << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_PAGE256=1", "PAGEKILN_SIM_NOISE=2:5:10" } << 0
        << "pagekiln-cli: the cable flipped bits during this run: \nand the pages were repaired; run pagekiln-cli cable";
    // Failed after the erase (ERASED=1: the chip is not the one before).
    QTest::newRow("write fails on a page: what the chip holds told")
        << QStringList { "write", "%f" }
        << QStringList { "PAGEKILN_SIM_PAGE256=1", "PAGEKILN_SIM_STUCK=2:5:FF", "ERASED=1" }
        << 1 << "pagekiln-cli: Page 2 does not match the file after programming\npagekiln-cli: the chip is erased and "
                "partly written: pages 0 to 1 hold \nsmall.bin, checked, the pages after them do not; run write again";
    QTest::newRow("read into a missing folder") << QStringList { "read", "%m/none/chip.bin" } << page256 << 1
                                                << "pagekiln-cli: cannot write";
    QTest::newRow("no port library") << QStringList { "info" } << QStringList { "LD_LIBRARY_PATH=/nonexistent" } << 1
                                     << "pagekiln-cli: Failed to load libinpout32.so !";
    // The ppdev port library on what the kernel says.
    QTest::newRow("ppdev: info") << QStringList { "info" } << QStringList { "PPDEV=ok" } << 0
                                 << "Chip:        AT45DB041D (ID 1F 24 00 00)";
    QTest::newRow("ppdev: no port at the address") << QStringList { "info", "--port", "278" }
                                                   << QStringList { "PPDEV=ok" } << 1
                                                   << "No parallel port at address 0x278. This PC has: 0x378 "
                                                      "(parport0).";
    QTest::newRow("ppdev: no /dev/parport0, ppdev not loaded") << QStringList { "write", "%f" }
                                                               << QStringList { "PPDEV=missing" } << 1
                                                               << "Cannot open /dev/parport0: the parallel port "
                                                                  "device is missing. Load the ppdev driver (sudo "
                                                                  "modprobe ppdev).";
    QTest::newRow("ppdev: permission denied") << QStringList { "write", "%f" } << QStringList { "PPDEV=denied" } << 1
                                              << "Cannot open /dev/parport0: permission denied. Add your user to "
                                                 "the lp group (sudo usermod -aG lp $USER), then log out and in "
                                                 "again.";
    QTest::newRow("inspect: 16-byte headers") << QStringList { "inspect", "%L" } << none << 0
                                              << "a loader file, BF51x/BF52x/BF54x/BF59x/BF60x format\n"
                                                 "0x000000  0xFFA00000           0  0x00000000  DMA=1 IGNORE FIRST\n"
                                                 "0x000060  0xFF800000        4096  0xDEADBEEF  DMA=1 FILL\n"
                                                 "Image:     " + QString::number(loader16(64).size())
                                                     + " bytes, up to and including the FINAL block\n"
                                                 "After it:  0 bytes";
    QTest::newRow("inspect: BF53x") << QStringList { "inspect", "%3" } << none << 0
                                    << "BF53x format\n0x00001A  0xFF800000         256  ZEROFILL\nRESVECT FINAL";
    QTest::newRow("inspect: BF561") << QStringList { "inspect", "%6" } << none << 0
                                    << "BF561 format\nGlobal:    0xA0000301 (16-bit flash, SPI baud code 3)\n"
                                       "0x000004  0xFFA00000          16  IGNORE";
    QTest::newRow("inspect: a checksum broken") << QStringList { "inspect", "%K" } << none << 1
                                                << "DMA=1  <- header checksum fails\n"
                                                   "bad.ldr is not a sound loader file: block 1 at offset 0x000010";
    QTest::newRow("inspect: cut short") << QStringList { "inspect", "%C" } << none << 1
                                        << "DMA=1 FINAL  <- runs past the end of the file";
    QTest::newRow("inspect: ELF") << QStringList { "inspect", "%E" } << none << 1 << "an ELF file";
    QTest::newRow("inspect: Intel HEX") << QStringList { "inspect", "%H" } << none << 1 << "Intel HEX text";
    QTest::newRow("inspect: raw binary") << QStringList { "inspect", "%f" } << none << 0 << "a raw binary";
    QTest::newRow("inspect: a raw binary that looks like BF53x") << QStringList { "inspect", "%r" } << none << 1
                                                                 << "if it is a raw image, write writes it as it is";
    QTest::newRow("inspect: an empty file") << QStringList { "inspect", "%e" } << none << 1
                                            << "empty.bin is empty: there is nothing to boot";
    QTest::newRow("inspect takes no --raw") << QStringList { "inspect", "--raw" } << none << 2
                                            << "--raw applies to write and update only";
    QTest::newRow("write of an ELF file is refused") << QStringList { "write", "%E" } << page256 << 1
                                                     << "app.dxe is an ELF file (a linker's output), which cannot "
                                                        "boot from flash: make a loader file from it";
    QTest::newRow("write of Intel HEX is refused") << QStringList { "write", "%H" } << page256 << 1
                                                   << "app.hex is Intel HEX text";
    QTest::newRow("write of a broken .ldr is refused") << QStringList { "write", "%K" } << page256 << 1
                                                       << "bad.ldr is not a sound loader file, block 1";
    QTest::newRow("update of a .ldr cut short is refused") << QStringList { "update", "%C" } << page256 << 1
                                                           << "cut.ldr is not a sound loader file, block 3";
    QTest::newRow("write of a random .ldr is refused") << QStringList { "write", "%f.ldr" } << page256 << 1
                                                       << "is named as a loader file but is none";
    QTest::newRow("write --raw writes an ELF file") << QStringList { "write", "%E", "--raw" } << page256 << 0
                                                    << "app.dxe written";
    QTest::newRow("a raw binary whose byte 3 is 0xFF is written") << QStringList { "write", "%r" } << page256 << 0
                                                                  << "raw.bin written";
    QTest::newRow("write notes HWAIT bits") << QStringList { "write", "%W" } << page256 << 0
                                            << "HWAIT bits (PFLAG, PPORT) set";
    QTest::newRow("ppdev: port held by another program: the claim waits 2 s at most")
        << QStringList { "write", "%f" } << QStringList { "PPDEV=held" } << 1
        << "pagekiln-cli: Cannot claim /dev/parport0: another program has held the port for 2 s";
    QTest::newRow("ppdev: port held by another driver") << QStringList { "write", "%f" }
                                                        << QStringList { "PPDEV=exclusive" } << 1
                                                        << "pagekiln-cli: Cannot claim /dev/parport0: ";
    // The spidev link: the commands the other rows do not run over it, and
    // what the kernel refuses.
    const QStringList spidev { "SPIDEV=ok" };
    QTest::newRow("spidev: info") << QStringList { "info" } << spidev << 0 << "Chip:        AT45DB041D (ID 1F 24 00 00)";
    QTest::newRow("spidev: unprotect") << QStringList { "unprotect" }
                                       << QStringList { "SPIDEV=ok", "PAGEKILN_SIM_PROTECT=1" } << 0
                                       << "pagekiln-cli: sector protection is off";
    QTest::newRow("spidev: protect") << QStringList { "protect" } << spidev << 0 << "pagekiln-cli: sector protection is on";
    QTest::newRow("spidev: no chip") << QStringList { "info" } << QStringList { "SPIDEV=ok", "PAGEKILN_SIM_ABSENT=1" } << 1
                                     << "pagekiln-cli: no chip answers on /dev/spidev0.0: check the cable and the power\n";
    QTest::newRow("spidev: no such device") << QStringList { "write", "%f", "--programmer", "spidev:/dev/spidev1.0" }
                                            << spidev << 1
                                            << "pagekiln-cli: Cannot open /dev/spidev1.0: no such SPI device. Enable "
                                               "SPI (on a Raspberry Pi: dtparam=spi=on";
    QTest::newRow("spidev: permission denied") << QStringList { "write", "%f" } << QStringList { "SPIDEV=denied" } << 1
                                               << "Cannot open /dev/spidev0.0: permission denied. Add your user to "
                                                  "the spi group";
    QTest::newRow("spidev: busy") << QStringList { "erase" } << QStringList { "SPIDEV=busy" } << 1
                                  << "Cannot open /dev/spidev0.0: the device is busy";
    QTest::newRow("spidev: mode refused") << QStringList { "info" } << QStringList { "SPIDEV=nomode" } << 1
                                          << "Cannot set SPI mode 0 on /dev/spidev0.0: the SPI controller refused";
    QTest::newRow("spidev: device gone during a read") << QStringList { "read", "%o" }
                                                      << QStringList { "SPIDEV=ok", "SPIDEV_KERNEL_GONE_AFTER=40" } << 1
                                                      << "pagekiln-cli: Cannot send a frame to /dev/spidev0.0: the device is gone";
    QTest::newRow("spidev: clock too fast") << QStringList { "info", "--programmer", "spidev:speed=80000000" } << spidev
                                            << 2 << "spidev: the clock '80000000' is not a number of Hz from 10000 to "
                                                    "66000000";
    QTest::newRow("spidev: --port too") << QStringList { "info", "--port", "378" } << spidev << 2
                                        << "--port applies to the parallel port (lpt) only";
    QTest::newRow("unknown programmer") << QStringList { "info", "--programmer", "ch341" } << none << 2
                                        << "unknown programmer 'ch341'";
    QTest::newRow("lpt:HEX is --port HEX") << QStringList { "info", "--programmer", "lpt:278" } << none << 1
                                           << "pagekiln-cli: no chip answers on port 278";
    QTest::newRow("programmers") << QStringList { "programmers" } << spidev << 0
                                 << "lpt      a PC parallel port\npresent: /dev/spidev0.0";
#if defined(LIBFTDI_STANDIN)
    // The FT232H through the libftdi1 stand-in: the commands the other rows
    // do not run over it, and what the adapter and the system refuse.
    const QStringList ft232h { "FTDI=ok" };
    const QString ftdiPlace = QStringLiteral("FT232H at USB 1-2");
    QTest::newRow("ft232h: info, the clock the divisor gives")
        << QStringList { "info", "--programmer", "ft232h:speed=7000000" } << ft232h << 0
        << "Chip:        AT45DB041D (ID 1F 24 00 00)\nProgrammer:  FT232H (serial PK000001, USB 1-2, interface A), "
           "SPI clock 6 MHz";
    QTest::newRow("ft232h: unprotect") << QStringList { "unprotect" } << QStringList { "FTDI=ok", "PAGEKILN_SIM_PROTECT=1" }
                                       << 0 << "pagekiln-cli: sector protection is off";
    QTest::newRow("ft232h: protect") << QStringList { "protect" } << ft232h << 0 << "pagekiln-cli: sector protection is on";
    QTest::newRow("ft232h: cable") << QStringList { "cable" } << ft232h << 0 << "no bit flipped on either wire";
    QTest::newRow("ft232h: no chip") << QStringList { "info" } << QStringList { "FTDI=ok", "PAGEKILN_SIM_ABSENT=1" } << 1
                                     << "pagekiln-cli: no chip answers on " + ftdiPlace + ": check the cable";
    QTest::newRow("ft232h: no adapter") << QStringList { "write", "%f" } << QStringList { "FTDI=none" } << 1
                                        << "pagekiln-cli: No FT232H is attached (USB ID 0403:6014): plug it in";
    QTest::newRow("ft232h: no adapter with that serial") << QStringList { "info", "--programmer", "ft232h:serial=X1" }
                                                         << ft232h << 1 << "No FT232H with serial X1 is attached";
    QTest::newRow("ft232h: a serial asked for, none readable") << QStringList { "info", "--programmer", "ft232h:serial=X1" }
                                                               << QStringList { "FTDI=denied" } << 1
                                                               << "the serial of 1 of the 1 attached cannot be read";
    QTest::newRow("ft232h: permission denied") << QStringList { "write", "%f" } << QStringList { "FTDI=denied" } << 1
                                               << "Cannot open " + ftdiPlace + ": permission denied. Install the udev "
                                                  "rule\nplugdev group";
    QTest::newRow("ft232h: claimed by another program") << QStringList { "erase" } << QStringList { "FTDI=busy" } << 1
                                                        << "the adapter is busy: another program has claimed interface A";
    QTest::newRow("ft232h: held by ftdi_sio") << QStringList { "info" } << QStringList { "FTDI=sio" } << 1
                                              << "the kernel's ftdi_sio driver holds interface A as a serial port";
    QTest::newRow("ft232h: answers cut short") << QStringList { "verify", "%h" }
                                               << QStringList { "FTDI=ok", "FTDI_STANDIN_SHORT_AFTER=20" } << 1
                                               << "Cannot send a frame to " + ftdiPlace + ": the adapter answered";
    QTest::newRow("ft232h: unplugged during a write: what the chip holds told")
        << QStringList { "write", "%h" } << QStringList { "FTDI=ok", "FTDI_STANDIN_GONE_AFTER=60", "ERASED=1" } << 1
        << "Cannot send a frame to " + ftdiPlace + ": the adapter took no more commands\nthe chip is erased";
    QTest::newRow("ft232h: unplugged during the erase") << QStringList { "write", "%h" }
                                                        << QStringList { "FTDI=ok", "FTDI_STANDIN_GONE_AFTER=12", "ERASED=1" }
                                                        << 1 << "the erase may not have finished: the chip may still "
                                                                "hold some of what it held before";
    QTest::newRow("ft232h: clock too fast") << QStringList { "info", "--programmer", "ft232h:speed=40000000" } << ft232h
                                            << 2 << "ft232h: the clock '40000000' is not a number of Hz from 10000 to "
                                                    "30000000";
    QTest::newRow("ft232h: no MPSSE on interface B") << QStringList { "info", "--programmer", "ft232h:interface=B" }
                                                     << ft232h << 2 << "the FT232H clocks SPI on interface A only";
    QTest::newRow("programmers: the FTDI adapters attached") << QStringList { "programmers" } << ft232h << 0
                                                             << "attached: FT232H (USB 0403:6014), serial PK000001, "
                                                                "bus path 1-2";
#endif
#if defined(LIBUSB_STANDIN)
    // The CH341A link over the libusb stand-in: the commands the other rows
    // do not run over it, what USB refuses, and an adapter lost mid-job.
    const QStringList ch341a { "CH341A=ok" };
    const QString usb = QStringLiteral("pagekiln-cli: The CH341A at USB 1-1.4 failed: ");
    QTest::newRow("ch341a: info") << QStringList { "info" } << ch341a << 0 << "Chip:        AT45DB041D (ID 1F 24 00 00)";
    QTest::newRow("ch341a: unprotect") << QStringList { "unprotect" }
                                       << QStringList { "CH341A=ok", "PAGEKILN_SIM_PROTECT=1" } << 0
                                       << "pagekiln-cli: sector protection is off";
    QTest::newRow("ch341a: protect") << QStringList { "protect" } << ch341a << 0 << "pagekiln-cli: sector protection is on";
    QTest::newRow("ch341a: a round trip of 1 ms a frame does not make the proofs late")
        << QStringList { "verify", "%h" } << QStringList { "CH341A=ok", "CH341_STANDIN_TIMED=1" } << 0
        << "pagekiln-cli: the chip holds";
    QTest::newRow("ch341a: cable") << QStringList { "cable" } << ch341a << 0 << "no bit flipped on either wire";
    QTest::newRow("ch341a: no chip") << QStringList { "info" } << QStringList { "CH341A=ok", "PAGEKILN_SIM_ABSENT=1" } << 1
                                     << "pagekiln-cli: no chip answers on the CH341A at USB 1-1.4: check the cable";
    QTest::newRow("ch341a: none attached") << QStringList { "write", "%f" } << QStringList { "CH341A=none" } << 1
                                           << "pagekiln-cli: No CH341A adapter (USB 1a86:5512) is attached: plug it in";
    QTest::newRow("ch341a: no such serial")
        << QStringList { "info", "--programmer", "ch341a:serial=B2" } << QStringList { "CH341A=ok", "CH341_STANDIN_SERIAL=A7" }
        << 1 << "No CH341A adapter (USB 1a86:5512) with the serial number B2 is attached";
    QTest::newRow("ch341a: the second of two, by serial")
        << QStringList { "info", "--programmer", "ch341a:serial=A72" }
        << QStringList { "CH341A=ok", "CH341_STANDIN_SERIAL=A7", "CH341_STANDIN_ADAPTERS=2" } << 0 << "Chip:        AT45DB041D";
    QTest::newRow("ch341a: index past the adapters") << QStringList { "info", "--programmer", "ch341a:index=1" } << ch341a
                                                     << 1 << "index=1: only 1 CH341A adapter is attached (index counts from 0)";
    QTest::newRow("ch341a: permission denied") << QStringList { "write", "%f" } << QStringList { "CH341A=denied" } << 1
                                               << "Cannot open the CH341A at USB 1-1.4: permission denied. Install the "
                                                  "udev rule\nplugdev";
    QTest::newRow("ch341a: claimed by another program") << QStringList { "erase" } << QStringList { "CH341A=busy" } << 1
                                                        << "Cannot open the CH341A at USB 1-1.4: the adapter is busy";
    QTest::newRow("ch341a: held by a kernel driver") << QStringList { "info" } << QStringList { "CH341A=driver" } << 1
                                                     << "Cannot open the CH341A at USB 1-1.4: a kernel driver holds it";
    QTest::newRow("ch341a: no answer within the transfers' time-out") << QStringList { "info" } << QStringList { "CH341A=stall" } << 1
                                                        << usb + "the adapter did not answer within 1 s";
    QTest::newRow("ch341a: a short answer stops the job") << QStringList { "verify", "%f" }
                                                          << QStringList { "CH341A=ok", "CH341_STANDIN_SHORT_AFTER=30" } << 1
                                                          << usb + "it answered a frame with fewer bytes than it clocked. "
                                                                   "Nothing more was sent to the chip.\n!the chip holds";
    QTest::newRow("ch341a: unplugged during a write: what the chip holds told")
        << QStringList { "write", "%h" } << QStringList { "CH341A=ok", "CH341_STANDIN_GONE_AFTER=400", "ERASED=1" } << 1
        << usb + "the adapter is gone (unplugged, or its USB connection dropped). Nothing more was sent to the chip.\n"
                 "pagekiln-cli: the chip is erased and partly written: pages 0 to ";
    QTest::newRow("ch341a: parameters") << QStringList { "info", "--programmer", "ch341a:speed=3" } << ch341a << 2
                                        << "ch341a: 'speed=3' is neither serial=S nor index=N";
    QTest::newRow("ch341a: programmers") << QStringList { "programmers" }
                                         << QStringList { "CH341A=ok", "CH341_STANDIN_SERIAL=A7" } << 0
                                         << "ch341a   a CH341A USB adapter\nattached: USB 1-1.4 (index=0, serial A7)";
#endif
}

void CliTest::exitStatuses()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(int, status);
    QFETCH(QString, says);
    // A board already holding an image, which a refused write keeps.
    const QByteArray old = testing::pseudoRandom(3000, 1);
    const QString oldImage = file(QStringLiteral("old.bin"), old);
    const bool newChip = env.removeAll(QStringLiteral("NEW=1")) > 0;
    const bool erased = env.removeAll(QStringLiteral("ERASED=1")) > 0;
    if (newChip) // in 264-byte pages, the page-size register not yet programmed
        file(QStringLiteral("chip.img"), old + QByteArray(kFlashBytes - old.size(), char(0xFF)) + QByteArray(1, '\0'));
    else
        QCOMPARE(run({ QStringLiteral("write"), oldImage }, { QStringLiteral("PAGEKILN_SIM_PAGE256=1") }).status, 0);
    for (const QString& setting : env.filter(QStringLiteral("STORED="))) {
        QDir().mkpath(dir.filePath(QStringLiteral("home/.config/pagekiln.org")));
        file(QStringLiteral("home/.config/pagekiln.org/Pagekiln2.conf"),
             "[General]\nlpt_address=" + setting.section(QLatin1Char('='), 1).toLatin1() + "\n");
    }
    const QString pipe = dir.filePath(QStringLiteral("pipe.bin"));
    QFile::remove(pipe);
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    const QByteArray backup("an old backup");
    const QMap<QString, QString> paths {
        { "%f", file(QStringLiteral("small.bin"), testing::pseudoRandom(700, 2)) },
        { "%m", dir.filePath(QStringLiteral("missing")) },
        { "%e", file(QStringLiteral("empty.bin"), QByteArray()) },
        { "%p", pipe },
        { "%d", dir.path() },
        { "%b", file(QStringLiteral("blank.bin"), QByteArray(512, char(0xFF))) },
        { "%h", file(QStringLiteral("head.bin"), old.left(2900)) },
        { "%o", file(QStringLiteral("old-backup.bin"), backup) },
        { "%B", file(QStringLiteral("big.bin"), testing::pseudoRandom(524289, 4)) },
        { "%L", file(QStringLiteral("app.ldr"), loader16(64)) },
        { "%K", file(QStringLiteral("bad.ldr"), loader16(64).replace(16 + 6, 1, "\x01")) },
        { "%C", file(QStringLiteral("cut.ldr"), loader16(64).chopped(10)) },
        { "%3", file(QStringLiteral("bf533.ldr"), loader53x()) },
        { "%W", file(QStringLiteral("uart.ldr"), loader53x(0x0260)) },
        { "%6", file(QStringLiteral("bf561.ldr"), QByteArray::fromHex("010300A0") + loader53x()) },
        { "%E", file(QStringLiteral("app.dxe"), QByteArray("\x7F" "ELF\x01\x01\x01") + testing::pseudoRandom(400, 9)) },
        { "%H", file(QStringLiteral("app.hex"), ":10000000FFA0000000010000100000000000000000\n:00000001FF\n") },
        { "%r", file(QStringLiteral("raw.bin"), testing::pseudoRandom(900, 10).replace(3, 1, "\xFF")) },
    };
    file(QStringLiteral("small.bin.ldr"), testing::pseudoRandom(700, 2));
    // Names relative to the folder runs start in.
    file(QStringLiteral("-dash.bin"), old.left(2900));
    file(QStringLiteral("two  spaces.bin"), old.left(2900));
    if (FILE* notUtf8 = std::fopen(QFile::encodeName(dir.path()) + "/n\xff.bin", "wb")) {
        std::fwrite(old.constData(), 1, 2000, notUtf8);
        std::fclose(notUtf8);
    }
    for (QString& arg : args)
        for (auto each = paths.begin(); each != paths.end(); ++each)
            arg.replace(each.key(), each.value());
    QFile image(dir.filePath(QStringLiteral("chip.img")));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray before = image.readAll();
    image.close();

    Run result;
    if (args.value(0) == QLatin1String("%|")) { // standard output into a pipe whose reader is gone
        args[0] = QStringLiteral(PAGEKILN_CLI);
        const QStringList shell { QStringLiteral("-c"), QStringLiteral("{ \"$0\" \"$@\"; echo \"status $?\" >&2; } | :") };
        result = run(shell + args, env, QStringLiteral("/bin/sh"));
        const int at = result.err.lastIndexOf(QLatin1String("status "));
        result.status = result.err.mid(at + 7).toInt();
        result.err.truncate(at);
    } else if (args.value(0) == QLatin1String("%sh")) { // a shell command, $0 the program
        result = run({ QStringLiteral("-c"), args.value(1), QStringLiteral(PAGEKILN_CLI) }, env,
                     QStringLiteral("/bin/sh"));
    } else {
        result = run(args, env);
    }
    QCOMPARE(result.status, status);
    if (status == 2) // a usage error is two lines, not the help (on a terminal, both on it)
        QCOMPARE((result.err.isEmpty() ? result.out : result.err).count(QLatin1Char('\n')), 2);
    if (says.isEmpty())
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    QVERIFY2(!result.err.contains(QLatin1String("Failed to get the file size")), qPrintable(result.err));
    if (args.value(0) == QLatin1String("info")) // every line a key and its value, for scripts
        for (const QString& line : result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Z][A-Za-z ]*: +\\S")).match(line).hasMatch(), qPrintable(line));
    for (const QString& line : says.split(QLatin1Char('\n')))
        QVERIFY2((result.err + result.out).contains(line.mid(line.startsWith(QLatin1Char('!'))))
                     != line.startsWith(QLatin1Char('!')),
                 qPrintable(result.err + result.out));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray after = image.readAll();
    if (status != 0 && !erased) // nothing on the chip changed: its flash, and on a refused file its page-size register
        QCOMPARE(after.left(kFlashBytes), before.left(kFlashBytes));
    if (status == 1)
        QCOMPARE(after.mid(kFlashBytes), before.mid(kFlashBytes));
    QFile kept(paths["%o"]);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), backup);
    QVERIFY(QFileInfo(pipe).exists() && !QFileInfo(pipe).isFile());
}

void CliTest::interruptedWrite_data()
{
    QTest::addColumn<QStringList>("library");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("when"); // sent once stderr shows this
    QTest::addColumn<int>("status");
    // The signal the shell ignores before it starts the program (trap ''),
    // which then stays ignored; signal 0 closes standard error's pipe instead.
    QTest::addColumn<QString>("ignored");
    const QByteArray writing("writing and checking: 10 %");
    const QStringList simulated;
    QTest::newRow("Ctrl-C while writing") << simulated << int(SIGINT) << writing << 130 << QString();
    QTest::newRow("SIGTERM while writing") << simulated << int(SIGTERM) << writing << 143 << QString();
    QTest::newRow("SIGHUP while writing") << simulated << int(SIGHUP) << writing << 129 << QString();
    QTest::newRow("Ctrl-C while erasing") << simulated << int(SIGINT) << QByteArray("erasing\n") << 130 << QString();
    QTest::newRow("ppdev port library: Ctrl-C while writing") << QStringList { "PPDEV=ok" } << int(SIGINT) << writing
                                                               << 130 << QString();
    QTest::newRow("nohup: SIGHUP stays ignored, the write ends") << simulated << int(SIGHUP) << writing << 0
                                                                 << "HUP";
    QTest::newRow("Ctrl-C ignored by the parent stays ignored") << simulated << int(SIGINT) << writing << 0 << "INT";
    QTest::newRow("standard error's reader gone: the write ends") << simulated << 0 << writing << 0 << QString();
    QTest::newRow("spidev: Ctrl-C while writing") << QStringList { "SPIDEV=ok" } << int(SIGINT) << writing << 130
                                                   << QString();
#if defined(LIBFTDI_STANDIN)
    QTest::newRow("ft232h: Ctrl-C while writing") << QStringList { "FTDI=ok" } << int(SIGINT) << writing << 130
                                                   << QString();
#endif
#if defined(LIBUSB_STANDIN)
    QTest::newRow("ch341a: Ctrl-C while writing") << QStringList { "CH341A=ok" } << int(SIGINT) << writing << 130
                                                   << QString();
#endif
}

// A stop request in the middle of a write: the page in hand is finished,
// chip select is released after a whole frame, and the message names the
// last page written, which the chip holds with everything before it. One
// during the erase is acknowledged before the erase ends, and the run stops
// after it. While it writes, a second program on the same port is turned
// away without touching it.
void CliTest::interruptedWrite()
{
    QFETCH(QStringList, library);
    QFETCH(int, signal);
    QFETCH(QByteArray, when);
    QFETCH(int, status);
    QFETCH(QString, ignored);
    portLibrary = library;
    const bool erasing = when.startsWith("erasing");
    const QByteArray data = testing::pseudoRandom(2048 * 256, 3);
    const QString boot = file(QStringLiteral("full.bin"), data);
    const QString frames = dir.filePath(QStringLiteral("frames.log"));
    QProcess process;
    QStringList env { QStringLiteral("PAGEKILN_SIM_PAGE256=1"), QStringLiteral("PAGEKILN_SIM_PROGRAM_NOERASE_MS=1"),
                      QStringLiteral("PAGEKILN_SIM_FRAME_LOG=") + frames };
    if (erasing)
        env << QStringLiteral("PAGEKILN_SIM_ERASE_MS=3000");
    process.setProcessEnvironment(environment(env));
    process.setReadChannel(QProcess::StandardError); // progress comes on stderr
    process.start(QStringLiteral("/bin/sh"), QStringList { QStringLiteral("-c"),
                                                           (ignored.isEmpty() ? QString() : "trap '' " + ignored + "; ")
                                                               + "exec \"$0\" \"$@\"",
                                                           QStringLiteral(PAGEKILN_CLI) }
                                                 + programmerArgs({ QStringLiteral("write"), boot }, {}));
    QByteArray err;
    while (!err.contains(when) && process.waitForReadyRead(60000))
        err += process.readAllStandardError();
    QVERIFY2(err.contains(when), err.constData());
    // Held still while the second program tries the port, so that however
    // slow that is on a loaded machine the write is still under way when
    // the stop request comes; a suspended program is what a busy computer
    // does to a frame anyway.
    const pid_t writer = pid_t(process.processId());
    QVERIFY(::kill(writer, SIGSTOP) == 0);

    if (!erasing) {
        const QString secondFrames = dir.filePath(QStringLiteral("second-frames.log"));
        const Run second = run({ QStringLiteral("info") },
                               { QStringLiteral("PAGEKILN_SIM_FRAME_LOG=") + secondFrames,
                                 QStringLiteral("PPDEV_KERNEL_LOG=") + dir.filePath(QStringLiteral("second-kernel.log")) });
        QCOMPARE(second.status, 1);
        const QString place = library.contains(QStringLiteral("SPIDEV=ok"))    ? QStringLiteral("/dev/spidev0.0")
                              : library.contains(QStringLiteral("FTDI=ok"))   ? QStringLiteral("FT232H at USB 1-2")
                              : library.contains(QStringLiteral("CH341A=ok")) ? QStringLiteral("The CH341A at USB 1-1.4")
                                                                              : QStringLiteral("Port 378");
        QCOMPARE(second.err, QStringLiteral("pagekiln-cli: %1 is in use by another Pagekiln program.\n").arg(place));
        QFile secondLog(secondFrames);
        QVERIFY(!secondLog.open(QIODevice::ReadOnly) || !secondLog.readAll().contains("frame"));
        QVERIFY(kernelLog(QStringLiteral("second-kernel.log")).filter(QStringLiteral("claim")).isEmpty());
        if (library.isEmpty()) { // a program on another port is not held up
            const Run other = run({ QStringLiteral("info"), QStringLiteral("--port"), QStringLiteral("3BC") },
                                  { QStringLiteral("PAGEKILN_SIM_BASE=3BC"), QStringLiteral("PAGEKILN_SIM_IMAGE=none") });
            QCOMPARE(other.status, 0);
        }
    }

    if (signal)
        QVERIFY(::kill(writer, signal) == 0); // taken when it runs again
    else
        process.closeReadChannel(QProcess::StandardError);
    QVERIFY(::kill(writer, SIGCONT) == 0);
    QVERIFY(process.waitForFinished(60000));
    err += process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);

    int last = -1; // the last page written
    if (status == 0) {
        last = 2047;
        QVERIFY2(!signal || err.endsWith("full.bin written; every page proven on the chip\n"), err.constData());
    } else if (erasing) {
        QVERIFY2(QRegularExpression(QStringLiteral("pagekiln-cli: stopping when the erase ends, in about \\d+ s\n"
                                                   "pagekiln-cli: interrupted: the chip is erased and holds none of "
                                                   ".*full.bin; run write again\n$"))
                     .match(QString::fromLocal8Bit(err))
                     .hasMatch(),
                 err.constData());
    } else {
        const QRegularExpressionMatch said =
            QRegularExpression(QStringLiteral("pagekiln-cli: interrupted: the chip is erased and partly written, up "
                                              "to page (\\d+) \\(pages 0 to \\1 hold .*full.bin, checked\\); run "
                                              "write again"))
                .match(QString::fromLocal8Bit(err));
        QVERIFY2(said.hasMatch(), err.constData());
        last = said.captured(1).toInt();
        QVERIFY(last >= 204 && last < 2047);
    }

    QFile log(frames);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    QCOMPARE(lines.last(), QByteArray("end released"));
    for (const QByteArray& line : lines)
        QVERIFY2(!line.startsWith("frame") || line.split(' ').value(3) == "0", line.constData());

    if (library.contains(QStringLiteral("PPDEV=ok")))
        QVERIFY2(releasedEveryClaim(kernelLog()), qPrintable(kernelLog().join(QLatin1Char('\n'))));
    // The adapter let go of the lines and of its interface before the program ended.
    if (library.contains(QStringLiteral("CH341A=ok")))
        QVERIFY2(kernelLog().filter(QStringLiteral("1-1.4")).mid(1)
                     == QStringList({ "claim 1-1.4", "release 1-1.4", "close 1-1.4" }),
                 qPrintable(kernelLog().join(QLatin1Char('\n'))));

    const QByteArray chip = readChip(); // the port's lock went with the interrupted program
    QCOMPARE(chip.left((last + 1) * 256), data.left((last + 1) * 256));
    QCOMPARE(chip.mid((last + 1) * 256, 256), QByteArray(last < 2047 ? 256 : 0, char(0xFF)));
}

void CliTest::manualPage_data()
{
    QTest::addColumn<QString>("command"); // whose --help is read; empty: the general one
    for (const char* command :
         { "", "info", "write", "update", "erase", "unprotect", "protect", "verify", "read", "page-size", "cable",
           "programmers" })
        QTest::newRow(*command ? command : "pagekiln-cli --help") << QString::fromLatin1(command);
}

// The manual page and the bash completion know every option --help lists,
// and the manual page every exit status, which --help lists in order: they
// cannot drift from the program unnoticed.
void CliTest::manualPage()
{
    QFETCH(QString, command);
    const Run help = run(command.isEmpty() ? QStringList { "--help" } : QStringList { command, "--help" });
    QCOMPARE(help.status, 0);
    QFile manualFile(QStringLiteral(PAGEKILN_PACKAGING "/pagekiln-cli.1"));
    QFile completionFile(QStringLiteral(PAGEKILN_PACKAGING "/pagekiln-cli.bash"));
    QVERIFY(manualFile.open(QIODevice::ReadOnly) && completionFile.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(manualFile.readAll());
    const QString completion = QString::fromUtf8(completionFile.readAll());
    const QString options = help.out.section(QLatin1String("Options:"), 1).section(QLatin1String("Arguments:"), 0, 0);
    QRegularExpressionMatchIterator each =
        QRegularExpression(QStringLiteral("(?:^|[ ,])(--?[a-z][a-z-]*)")).globalMatch(options);
    QStringList listed;
    while (each.hasNext()) {
        const QString option = each.next().captured(1);
        listed << option;
        QVERIFY2(manual.contains(QString(option).replace(QLatin1Char('-'), QLatin1String("\\-"))),
                 qPrintable(option + QStringLiteral(" is missing from the manual page")));
        QVERIFY2(completion.contains(QLatin1Char(' ') + option + QLatin1Char(' '))
                     || completion.contains(QLatin1Char(' ') + option + QLatin1Char('"')),
                 qPrintable(option + QStringLiteral(" is missing from the bash completion")));
    }
    QVERIFY2(listed.contains(QLatin1String("--port")), qPrintable(help.out));
    int previous = -1;
    each = QRegularExpression(QStringLiteral("\\n  (\\d+) ")).globalMatch(help.out.section(QLatin1String("Exit status:"), 1));
    while (each.hasNext()) {
        const int status = each.next().captured(1).toInt();
        QVERIFY2(status > previous, qPrintable(QStringLiteral("exit status %1 is out of order in --help").arg(status)));
        previous = status;
        QVERIFY2(manual.contains(QStringLiteral("\n.B %1\n").arg(status)),
                 qPrintable(QStringLiteral("exit status %1 is missing from the manual page").arg(status)));
    }
    QVERIFY2(previous >= 143, qPrintable(help.out));
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
