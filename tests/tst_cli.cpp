// pagekiln-cli run as a process against the simulated chip, which keeps its
// flash in an image file in a temporary folder: every run is a power-up. The
// chip is reached either through the simulated chip's own port library, or
// through the ppdev port library's real open, ioctl and close calls, answered
// by a stand-in for the kernel's ppdev driver (PPDEV=... in a row's
// environment) that has the simulated chip behind it.
#include "testdata.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

} // namespace

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void writeVerifyRead_data();
    void writeVerifyRead();
    void exitStatuses_data();
    void exitStatuses();
    void interruptedWrite_data();
    void interruptedWrite();

private:
    QProcessEnvironment environment(const QStringList& extra) const;
    Run run(const QStringList& args, const QStringList& env = {});
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
}

void CliTest::init()
{
    portLibrary.clear();
    QFile::remove(dir.filePath(QStringLiteral("kernel.log")));
    QFile::remove(dir.filePath(QStringLiteral("chip.img"))); // a new chip for every test
    QDir(dir.filePath(QStringLiteral("home"))).removeRecursively();
}

QProcessEnvironment CliTest::environment(const QStringList& extra) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(SIMCHIP_DIR));
    env.insert(QStringLiteral("PAGEKILN_SIM_IMAGE"), dir.filePath(QStringLiteral("chip.img")));
    env.insert(QStringLiteral("PAGEKILN_SIM_FAST"), QStringLiteral("1"));
    env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("home/.config")));
    for (const QString& setting : portLibrary + extra) {
        const QString name = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
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

Run CliTest::run(const QStringList& args, const QStringList& env)
{
    QProcess process;
    process.setProcessEnvironment(environment(env));
    process.start(QStringLiteral(PAGEKILN_CLI), args);
    Run result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
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

QByteArray CliTest::readChip()
{
    const QString output = dir.filePath(QStringLiteral("chip.bin"));
    QFile::remove(output);
    if (run({ QStringLiteral("read"), output }).status != 0)
        return QByteArray();
    QFile in(output);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

void CliTest::writeVerifyRead_data()
{
    QTest::addColumn<QStringList>("library");
    QTest::newRow("simulated chip's port library") << QStringList();
    QTest::newRow("ppdev port library") << QStringList { "PPDEV=ok" };
}

// A new chip is in 264-byte pages: the first write says so with status 3;
// after the power cycle (the next run) the file goes in 256-byte pages, is
// verified and read back; a changed byte makes verify name its page.
void CliTest::writeVerifyRead()
{
    QFETCH(QStringList, library);
    portLibrary = library;
    QByteArray data = testing::pseudoRandom(10 * 256 + 77, 7);
    const QString boot = file(QStringLiteral("boot.ldr"), data);

    Run first = run({ QStringLiteral("write"), boot });
    QCOMPARE(first.status, 3);
    QVERIFY2(first.err.contains(QLatin1String("pagekiln-cli: ") + boot
                                + QLatin1String(" was written in 264-byte pages.")),
             qPrintable(first.err));
    QCOMPARE(readChip().size(), 524288); // the power cycle put 256-byte pages in force

    Run second = run({ QStringLiteral("write"), boot });
    QCOMPARE(second.status, 0);
    QVERIFY2(second.err.contains(QLatin1String("every page proven on the chip")), qPrintable(second.err));
    QCOMPARE(run({ QStringLiteral("verify"), boot }).status, 0);
    const QByteArray chip = readChip();
    QCOMPARE(chip.left(data.size()), data);
    QCOMPARE(chip.mid(data.size(), 256 - 77), QByteArray(256 - 77, '\0'));
    QCOMPARE(chip.mid(11 * 256), QByteArray(chip.size() - 11 * 256, char(0xFF)));

    data[7 * 256 + 3] = char(~data[7 * 256 + 3]);
    file(QStringLiteral("boot.ldr"), data);
    Run changed = run({ QStringLiteral("verify"), boot });
    QCOMPARE(changed.status, 1);
    QVERIFY2(changed.err.contains(QLatin1String(
                 "pagekiln-cli: Verification failed: page 7 does not hold what the file has there!")),
             qPrintable(changed.err));
    if (!library.isEmpty())
        QVERIFY2(releasedEveryClaim(kernelLog()), qPrintable(kernelLog().join(QLatin1Char('\n'))));
}

void CliTest::exitStatuses_data()
{
    QTest::addColumn<QStringList>("args"); // %f: a small file, %m: a missing one
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");    // on stderr, or on stdout for info and --help
    const QStringList none;
    const QStringList page256 { "PAGEKILN_SIM_PAGE256=1" };
    QTest::newRow("help lists exit statuses") << QStringList { "--help" } << none << 0 << "130  interrupted";
    QTest::newRow("no command") << QStringList() << none << 2 << "pagekiln-cli: no command given";
    QTest::newRow("unknown command") << QStringList { "burn" } << none << 2 << "pagekiln-cli: unknown command 'burn'";
    QTest::newRow("write without a file") << QStringList { "write" } << none << 2 << "pagekiln-cli: write takes one file";
    QTest::newRow("unknown option") << QStringList { "info", "--fast" } << none << 2 << "Unknown option 'fast'";
    QTest::newRow("--no-verify with read") << QStringList { "read", "%m", "--no-verify" } << none << 2
                                           << "--no-verify applies to write only";
    QTest::newRow("port not hexadecimal") << QStringList { "info", "--port", "zz" } << none << 2
                                          << "the port address 'zz' is not a hexadecimal number";
    QTest::newRow("info") << QStringList { "info" } << page256 << 0 << "Chip:        AT45DB041D (ID 1F 24 00 00)";
    QTest::newRow("info, port from the window's settings") << QStringList { "info" }
                                                           << QStringList { "PAGEKILN_SIM_BASE=3BC", "STORED=3BC" } << 0
                                                           << "Chip:        AT45DB041D";
    QTest::newRow("info, protected chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 0
                                          << "Protection:  on";
    QTest::newRow("info, another chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_ID=1F250000" } << 1
                                        << "pagekiln-cli: Wrong family/device code!";
    QTest::newRow("no chip") << QStringList { "info" } << QStringList { "PAGEKILN_SIM_ABSENT=1" } << 1
                             << "pagekiln-cli: Failed to read the status byte!";
    QTest::newRow("wrong port") << QStringList { "write", "%f", "--port", "278" } << none << 1
                                << "pagekiln-cli: Failed to read the status byte!";
    QTest::newRow("protected chip") << QStringList { "write", "%f" } << QStringList { "PAGEKILN_SIM_PROTECT=1" } << 1
                                    << "pagekiln-cli: Warning! Sector protection is enabled, I can't do anything.";
    QTest::newRow("missing file, chip untouched") << QStringList { "write", "%m" } << page256 << 1
                                                  << "pagekiln-cli: Failed to get the file size or file does not "
                                                     "exist!";
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
    QTest::newRow("ppdev: port held by another driver") << QStringList { "write", "%f" }
                                                        << QStringList { "PPDEV=exclusive" } << 1
                                                        << "pagekiln-cli: Cannot claim /dev/parport0: ";
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
    QCOMPARE(run({ QStringLiteral("write"), oldImage }, { QStringLiteral("PAGEKILN_SIM_PAGE256=1") }).status, 0);
    if (env.contains(QStringLiteral("STORED=3BC"))) {
        QDir().mkpath(dir.filePath(QStringLiteral("home/.config/pagekiln.org")));
        file(QStringLiteral("home/.config/pagekiln.org/Pagekiln2.conf"), "[General]\nlpt_address=3BC\n");
    }
    const QString small = file(QStringLiteral("small.bin"), testing::pseudoRandom(700, 2));
    for (QString& arg : args)
        arg.replace(QLatin1String("%f"), small).replace(QLatin1String("%m"), dir.filePath(QStringLiteral("missing")));

    const Run result = run(args, env);
    QCOMPARE(result.status, status);
    QVERIFY2((result.err + result.out).contains(says), qPrintable(result.err + result.out));
    if (status != 0 && QDir(dir.path()).exists(QStringLiteral("chip.img"))) {
        QByteArray chip = readChip();
        if (!chip.isEmpty()) // the simulated chip answers at the usual port
            QCOMPARE(chip.left(old.size()), old);
    }
}

void CliTest::interruptedWrite_data()
{
    writeVerifyRead_data();
}

// Ctrl-C in the middle of a write: the page in hand is finished, chip select
// is released after a whole frame, and the message names the last page
// written, which the chip holds with everything before it. While it writes,
// a second program on the same port is turned away without touching it.
void CliTest::interruptedWrite()
{
    QFETCH(QStringList, library);
    portLibrary = library;
    const QByteArray data = testing::pseudoRandom(2048 * 256, 3);
    const QString boot = file(QStringLiteral("full.bin"), data);
    const QString frames = dir.filePath(QStringLiteral("frames.log"));
    QProcess process;
    process.setProcessEnvironment(environment({ QStringLiteral("PAGEKILN_SIM_PAGE256=1"),
                                                QStringLiteral("PAGEKILN_SIM_PROGRAM_NOERASE_MS=1"),
                                                QStringLiteral("PAGEKILN_SIM_FRAME_LOG=") + frames }));
    process.setReadChannel(QProcess::StandardError); // progress comes on stderr
    process.start(QStringLiteral(PAGEKILN_CLI), { QStringLiteral("write"), boot });
    QByteArray err;
    while (!err.contains("writing and checking: 10 %") && process.waitForReadyRead(60000))
        err += process.readAllStandardError();
    QVERIFY2(err.contains("writing and checking: 10 %"), err.constData());

    const QString secondFrames = dir.filePath(QStringLiteral("second-frames.log"));
    const Run second = run({ QStringLiteral("info") }, { QStringLiteral("PAGEKILN_SIM_FRAME_LOG=") + secondFrames,
                                                       QStringLiteral("PPDEV_KERNEL_LOG=") + dir.filePath(
                                                           QStringLiteral("second-kernel.log")) });
    QCOMPARE(second.status, 1);
    QCOMPARE(second.err, QStringLiteral("pagekiln-cli: Port 378 is in use by another Pagekiln program.\n"));
    QFile secondLog(secondFrames);
    QVERIFY(!secondLog.open(QIODevice::ReadOnly) || !secondLog.readAll().contains("frame"));
    QVERIFY(kernelLog(QStringLiteral("second-kernel.log")).filter(QStringLiteral("claim")).isEmpty());
    if (library.isEmpty()) { // a program on another port is not held up
        const Run other = run({ QStringLiteral("info"), QStringLiteral("--port"), QStringLiteral("3BC") },
                              { QStringLiteral("PAGEKILN_SIM_BASE=3BC"), QStringLiteral("PAGEKILN_SIM_IMAGE=none") });
        QCOMPARE(other.status, 0);
    }

    QVERIFY(::kill(pid_t(process.processId()), SIGINT) == 0);
    QVERIFY(process.waitForFinished(60000));
    err += process.readAllStandardError();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);

    const QRegularExpressionMatch said =
        QRegularExpression(QStringLiteral("pagekiln-cli: interrupted: the chip is erased and partly written, up to "
                                          "page (\\d+) \\(pages 0 to \\1 hold .*full.bin, checked\\); run write again"))
            .match(QString::fromLocal8Bit(err));
    QVERIFY2(said.hasMatch(), err.constData());
    const int last = said.captured(1).toInt();
    QVERIFY(last >= 204 && last < 2047);

    QFile log(frames);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
    QCOMPARE(lines.last(), QByteArray("end released"));
    for (const QByteArray& line : lines)
        QVERIFY2(!line.startsWith("frame") || line.split(' ').value(3) == "0", line.constData());

    if (!library.isEmpty())
        QVERIFY2(releasedEveryClaim(kernelLog()), qPrintable(kernelLog().join(QLatin1Char('\n'))));

    const QByteArray chip = readChip(); // the port's lock went with the interrupted program
    QCOMPARE(chip.left((last + 1) * 256), data.left((last + 1) * 256));
    QCOMPARE(chip.mid((last + 1) * 256, 256), QByteArray(256, char(0xFF)));
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
