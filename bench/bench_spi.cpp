// Pagekiln benchmark (not a test):
//  1. the port link's cost per SPI byte against a port library that does
//     nothing, beside the 32 bare port calls a byte needs;
//  2. the time to program a full 512 KiB file into the simulated chip with
//     datasheet-typical busy times, beside the chip's own busy time;
//  3. the window's path against the fast path, checked and unchecked, then
//     verify, the proven read and update, on a simulated chip whose every port access
//     costs 1 us, as on a real port, each beside a bound from the datasheet
//     and the access counts;
//  4. the same jobs over spidev at 1 and 10 MHz (pagekiln-cli through the
//     spidev kernel stand-in, which spends 20 us a message plus its clock
//     time), each beside a bound from the link's cost and the datasheet;
//  5. the same jobs over an FT232H at 6 and 30 MHz (pagekiln-cli through
//     the libftdi1 stand-in, which spends a USB round trip of 125 us a
//     frame plus its clock time), each beside a bound;
//  6. the same jobs over a CH341A (pagekiln-cli through the libusb
//     stand-in, which spends 1 ms a round trip plus its clock time), each
//     beside a bound from the adapter's cost model and the datasheet, and
//     beside what the same frames would take with a round trip a packet;
//  7. a noise soak: checked writes, verifies, reads and updates over wires
//     that flip random bits, each on a chip holding an old image, counting
//     the runs that came out right (the whole chip checked), were refused,
//     or (never wanted) reported success with anything wrong on the chip or
//     in hand;
//  8. "family [NAME]": the smallest chip and the two largest (AT45DB011D,
//     AT45DB642D with 1024-byte pages, AT45DB641E with 32768 pages), or the
//     one named: checked write, verify and proven read beside the same
//     bounds for that chip's pages.
#include "at45db041d.h"
#include "lpt.h"
#include "platform.h"
#include "simchip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using PortIn = short(PORT_CALL*)(short);
using PortOut = void(PORT_CALL*)(short, short);

double nanosecondsSince(Clock::time_point start, long count)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / double(count);
}

// Best of several rounds, to keep the other core's noise out.
template <typename Body>
double bestNanosecondsPerByte(Body body)
{
    constexpr long kBytes = 2000000;
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        const Clock::time_point start = Clock::now();
        body(kBytes);
        best = std::min(best, nanosecondsSince(start, kBytes));
    }
    return best;
}

double spiByteRatio()
{
    if (!LPT_LoadDriverFrom(NULLPORT_LIBRARY)) {
        std::fprintf(stderr, "cannot load %s\n", NULLPORT_LIBRARY);
        return -1;
    }
    PlatformLibrary library = platformLoadLibrary(NULLPORT_LIBRARY);
    const auto in = reinterpret_cast<PortIn>(platformResolve(library, "Inp32"));
    const auto out = reinterpret_cast<PortOut>(platformResolve(library, "Out32"));
    volatile unsigned sink = 0;

    const double bare = bestNanosecondsPerByte([&](long bytes) {
        for (long b = 0; b < bytes; ++b) {
            unsigned acc = 0;
            for (int bit = 0; bit < 8; ++bit) {
                out(0x378, 0);
                out(0x378, 2);
                acc += static_cast<unsigned>(in(0x379));
                out(0x378, 0);
            }
            sink = sink + acc;
        }
    });
    lptBase = 0x378;
    const double link = bestNanosecondsPerByte([&](long bytes) {
        for (long b = 0; b < bytes; ++b)
            sink = sink + LPT_SpiTransferByte(static_cast<std::uint8_t>(b));
    });
    LPT_UnloadDriver();
    platformFreeLibrary(library);
    std::printf("SPI byte through the port link: %.1f ns; 32 bare port calls: %.1f ns\n", link, bare);
    return link / bare;
}

double fullFileRatio()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("full.bin"));
    QFile file(path);
    QByteArray data(2048 * 256, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131) >> 3);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return -1;
    file.close();

    simchip::Config config; // datasheet-typical busy times
    config.pageSize256 = true;
    simchip::reset(config);
    lptBase = static_cast<std::int16_t>(config.base);
    if (!LPT_LoadDriver() || !AT45DB041D_Connect())
        return -1;
    const Clock::time_point start = Clock::now();
    const bool written = AT45DB041D_WriteFile(QFile::encodeName(path).constData());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!written) {
        std::fprintf(stderr, "write failed: %s\n", qPrintable(lastMessage));
        return -1;
    }
    const double busy = 2048 * config.pageEraseProgramUs / 1e6;
    std::printf("512 KiB file: %.2f s; the chip's own busy time: %.2f s\n", seconds, busy);
    return seconds / busy;
}

// Port accesses of one frame: chip select down and up, two per bit sent,
// three per bit received (the block transfers).
constexpr double blockFrame(double bytesOut, double bytesIn)
{
    return 2 + 16 * bytesOut + 24 * bytesIn;
}

// The datasheet-typical chip with a 1 us port, as the benchmark's paths see it.
constexpr long kPortAccessNs = 1000;
constexpr double kChipEraseSeconds = 2.0;
constexpr double kPageProgramNoEraseSeconds = 0.002; // tP, typical
constexpr double kCompareSeconds = 0.0002;           // page to buffer compare, at most
constexpr double kPageEraseProgramSeconds = 0.014;   // tEP, page erase and program, typical

simchip::Config slowPortChip()
{
    simchip::Config config;
    config.pageSize256 = true;
    config.chipEraseUs = long(kChipEraseSeconds * 1e6);
    config.ioNs = kPortAccessNs;
    return config;
}

// Connects, erases and programs the file one way; seconds from the erase to
// the last page, or -1. accessesPerPage receives the port accesses the
// programming itself made, per page.
double timeProgramming(const QByteArray& path, int how, double* accessesPerPage = nullptr)
{
    simchip::reset(slowPortChip());
    lptBase = 0x378;
    if (!LPT_LoadDriver() || !AT45DB041D_Connect())
        return -1;
    const Clock::time_point start = Clock::now();
    bool ok = AT45DB041D_ChipErase();
    const std::uint64_t accessesBefore = simchip::portAccesses();
    if (ok && how == 0)
        ok = AT45DB041D_WriteFile(path.constData());
    else if (ok)
        ok = AT45DB041D_ProgramFile(path.constData(), how == 1 ? DataFlashCheck::Proven : DataFlashCheck::Unchecked);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "programming failed: %s\n", qPrintable(lastMessage));
        return -1;
    }
    if (accessesPerPage)
        *accessesPerPage = double(simchip::portAccesses() - accessesBefore) / 2048;
    return seconds;
}

// The whole pagekiln-cli write of the file, as a user runs it (connect, page
// size, file check, erase, checked fast path), on the same simulated chip in
// its own process; seconds, or -1.
double timeCommandLineWrite(const QString& path, const QString& image)
{
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(SIMCHIP_DIR));
    env.insert(QStringLiteral("PAGEKILN_SIM_IMAGE"), image);
    env.insert(QStringLiteral("PAGEKILN_SIM_PAGE256"), QStringLiteral("1"));
    env.insert(QStringLiteral("PAGEKILN_SIM_IO_NS"), QString::number(kPortAccessNs));
    env.insert(QStringLiteral("PAGEKILN_SIM_ERASE_MS"), QString::number(kChipEraseSeconds * 1000));
    cli.setProcessEnvironment(env);
    const Clock::time_point start = Clock::now();
    cli.start(QStringLiteral(PAGEKILN_CLI), { QStringLiteral("write"), path, QStringLiteral("--port"), QStringLiteral("378") });
    const bool finished = cli.waitForFinished(600000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!finished || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "%s", cli.readAllStandardError().constData()); // its progress and what went wrong
        return -1;
    }
    return seconds;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed | 1u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

DataFlashImage imageOf(const QByteArray& data)
{
    DataFlashImage image;
    image.bytes.assign(data.begin(), data.end());
    image.pageSize256 = true;
    return image;
}

double secondsOf(const std::function<bool()>& job)
{
    const Clock::time_point start = Clock::now();
    const bool ok = job();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok)
        std::fprintf(stderr, "failed: %s\n", qPrintable(lastMessage));
    return ok ? seconds : -1;
}

bool pathsAgainstTheirBounds()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("random.bin"));
    QFile file(path);
    const QByteArray data = randomBytes(2048 * 256, 0x9E3779B9u);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    const QByteArray name = QFile::encodeName(path);

    // Per page, the port accesses a path cannot do without.
    const double transfer = blockFrame(4 + 256, 0);  // one buffer write of a page
    const double pageRead = blockFrame(8, 256);      // one main memory page read
    const double command = blockFrame(4, 0);         // program or compare
    const double statusRead = blockFrame(1, 2);      // a confirmed status read
    std::printf("port accesses: a page's transfer %.0f, a page read %.0f, a command %.0f, a status read %.0f\n",
                transfer, pageRead, command, statusRead);
    const auto seconds = [](double accesses) { return accesses * kPortAccessNs * 1e-9; };
    // Checked: two transfers a page, overlapping the program and compare.
    const double checkedBound
        = kChipEraseSeconds + 2048 * std::max(seconds(2 * transfer), kPageProgramNoEraseSeconds + kCompareSeconds);
    const double uncheckedBound
        = kChipEraseSeconds + 2048 * std::max(seconds(transfer + command + statusRead), kPageProgramNoEraseSeconds);
    const double verifyBound = 2048 * (seconds(transfer) + kCompareSeconds);
    // Every page after a smaller image proven blank: two compares, each
    // with a status read, against buffers of 0xFF filled once.
    const double blankProof = 2 * (seconds(command + statusRead) + kCompareSeconds);
    const double readBound = 2048 * seconds(pageRead + transfer);
    std::fflush(stdout);

    const double window = timeProgramming(name, 0);
    std::printf("window's path (erase, byte-wise, program with erase, 5 ms polls): %.2f s\n", window);
    std::fflush(stdout);
    double measured = 0;
    const double checked = timeProgramming(name, 1, &measured);
    std::printf("checked write: %.2f s; bound %.2f s (%.0f accesses made a page)\n", checked, checkedBound, measured);
    std::fflush(stdout);
    const DataFlashImage image = imageOf(data);
    const double verify = secondsOf([&] { return AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros); });
    std::printf("verify: %.2f s; bound %.2f s\n", verify, verifyBound);
    std::fflush(stdout);
    std::vector<std::uint8_t> contents;
    const double read = secondsOf([&] {
        return AT45DB041D_ReadChip(contents) && contents == std::vector<std::uint8_t>(data.begin(), data.end());
    });
    std::printf("proven read: %.2f s; bound %.2f s\n", read, readBound);
    std::fflush(stdout);
    const double unchecked = timeProgramming(name, 2, &measured);
    std::printf("unchecked write: %.2f s; bound %.2f s (%.0f accesses made a page)\n", unchecked, uncheckedBound,
                measured);
    if (window < 0 || checked < 0 || unchecked < 0 || verify < 0 || read < 0)
        return false;
    std::printf("checked write / its bound: %.3f (target at most 1.08)\n", checked / checkedBound);
    std::printf("verify / its bound: %.3f (target at most 1.10)\n", verify / verifyBound);
    std::printf("proven read / its bound: %.3f (target at most 1.10)\n", read / readBound);
    std::printf("unchecked write / its bound: %.3f (target at most 1.10)\n", unchecked / uncheckedBound);
    std::printf("window's path / checked write: %.2f\n", window / checked);
    std::fflush(stdout);

    // A checked write of a 70 KB image (274 pages): the pages after it are
    // proven blank.
    const QString smallPath = dir.filePath(QStringLiteral("boot.bin"));
    QFile small(smallPath);
    if (!small.open(QIODevice::WriteOnly) || small.write(data.left(70000)) != 70000)
        return false;
    small.close();
    const std::uint32_t smallPages = imageOf(data.left(70000)).pages();
    const double smallBound = kChipEraseSeconds
                              + smallPages * std::max(seconds(2 * transfer), kPageProgramNoEraseSeconds + kCompareSeconds)
                              + (2048 - smallPages) * blankProof;
    const double smallChecked = timeProgramming(QFile::encodeName(smallPath), 1);
    if (smallChecked < 0)
        return false;
    std::printf("checked write, %u-page image: %.2f s; bound %.2f s, of which the blank proofs after it %.2f s\n",
                smallPages, smallChecked, smallBound, (2048 - smallPages) * blankProof);
    std::printf("checked write of a small image / its bound: %.3f (target at most 1.08)\n", smallChecked / smallBound);
    std::fflush(stdout);

    // update of a 70 KB image (274 pages) on the chip that holds it: first
    // once to settle its last page's zero padding, then unchanged, then with
    // one page changed.
    QByteArray boot = data.left(70000);
    const std::uint32_t bootPages = imageOf(boot).pages();
    const double updateBound = bootPages * (seconds(transfer) + kCompareSeconds);
    unsigned changed = 0;
    if (secondsOf([&] { return AT45DB041D_UpdateImage(imageOf(boot)); }) < 0)
        return false;
    const double unchangedUpdate = secondsOf([&] { return AT45DB041D_UpdateImage(imageOf(boot), {}, &changed); });
    const unsigned unchangedPages = changed;
    boot[100 * 256 + 7] = char(~boot[100 * 256 + 7]);
    const double oneChanged = secondsOf([&] { return AT45DB041D_UpdateImage(imageOf(boot), {}, &changed); });
    if (unchangedUpdate < 0 || oneChanged < 0)
        return false;
    std::printf("update, unchanged %u-page image: %.2f s; bound %.2f s (%u pages changed)\n", bootPages,
                unchangedUpdate, updateBound, unchangedPages);
    std::printf("update / its bound: %.3f (target at most 1.10)\n", unchangedUpdate / updateBound);
    std::printf("update, one page changed: %.2f s (%u changed); the changed page added %.1f ms, a page erase and "
                "program is %.0f ms\n",
                oneChanged, changed, (oneChanged - unchangedUpdate) * 1000, kPageEraseProgramSeconds * 1000);
    std::fflush(stdout);
    const double cli = timeCommandLineWrite(path, dir.filePath(QStringLiteral("chip.img")));
    std::printf("pagekiln-cli write, the whole command: %.2f s; the window's path: %.2f s\n", cli, window);
    return cli > 0;
}

#if defined(SPIDEV_KERNEL) || defined(LIBFTDI_STANDIN) || defined(LIBUSB_STANDIN)
// The whole chip's file and the 70 KB boot image cut from it, as the links'
// rows write them.
bool writeFullAndBoot(const QByteArray& data, const QString& full, const QString& boot)
{
    QFile fullFile(full), bootFile(boot);
    return fullFile.open(QIODevice::WriteOnly) && fullFile.write(data) == data.size()
           && bootFile.open(QIODevice::WriteOnly) && bootFile.write(data.left(70000)) == 70000;
}
#endif

#if defined(SPIDEV_KERNEL) || defined(LIBFTDI_STANDIN)
}
#if defined(SPIDEV_KERNEL)
#include "spidev.h"
#endif
#if defined(LIBFTDI_STANDIN)
#include "ftdi.h"
#endif
namespace {

// One pagekiln-cli command over a link's stand-in (its environment in
// link, its --programmer in programmer), on the simulated chip in dir
// (datasheet-typical busy times, a 2 s chip erase); seconds, or -1.
double timeLinkCommand(const QTemporaryDir& dir, const QStringList& args, const QStringList& link,
                       const QString& programmer)
{
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& setting : link)
        env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
    env.insert(QStringLiteral("PAGEKILN_SIM_IMAGE"), dir.filePath(QStringLiteral("chip.img")));
    env.insert(QStringLiteral("PAGEKILN_SIM_PAGE256"), QStringLiteral("1"));
    env.insert(QStringLiteral("PAGEKILN_SIM_ERASE_MS"), QString::number(kChipEraseSeconds * 1000));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    cli.setProcessEnvironment(env);
    const Clock::time_point start = Clock::now();
    cli.start(QStringLiteral(PAGEKILN_CLI),
              args + QStringList { QStringLiteral("--programmer"), programmer, QStringLiteral("-q") });
    const bool finished = cli.waitForFinished(600000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!finished || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "%s", cli.readAllStandardError().constData());
        return -1;
    }
    return seconds;
}

// Checked write, verify and proven read of a whole chip, and a checked
// write of a 70 KB image, over a link at each of its speeds. Each bound is
// what the link's cost per frame (costAt) and the chip's datasheet times
// allow: the link idle while the chip works where the two overlap.
bool linkAgainstTheirBounds(const char* name, const std::vector<unsigned>& speeds,
                            spilink::Cost (*costAt)(std::uint32_t), const QStringList& link,
                            const std::function<QString(unsigned)>& programmer)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("sys/class/spidev/spidev0.0")));
    const QString full = dir.filePath(QStringLiteral("full.bin"));
    const QString boot = dir.filePath(QStringLiteral("boot.bin"));
    const QString out = dir.filePath(QStringLiteral("out.bin"));
    const QByteArray data = randomBytes(2048 * 256, 0x7F4A7C15u);
    if (!writeFullAndBoot(data, full, boot))
        return false;
    QStringList env;
    for (const QString& setting : link)
        env << QString(setting).replace(QLatin1String("%d"), dir.path());
    const unsigned bootPages = (70000 + 255) / 256;
    bool within = true;
    for (const unsigned speed : speeds) {
        const spilink::Cost cost = costAt(speed);
        const auto frame = [&](double bytes) { return (cost.frameNs + bytes * cost.byteNs) * 1e-9; };
        const double transfer = frame(4 + 256);  // a buffer write of a page
        const double pageRead = frame(8 + 256);  // a main memory page read
        const double page = std::max(2 * transfer, kPageProgramNoEraseSeconds + kCompareSeconds);
        const double writeBound = kChipEraseSeconds + 2048 * page;
        // The pages after a smaller image are proven blank: two compares,
        // each with its command and a status read.
        const double blankProof = 2 * (frame(4) + kCompareSeconds + frame(1 + 2));
        const double bootBound = kChipEraseSeconds + bootPages * page + (2048 - bootPages) * blankProof;
        const double verifyBound = 2048 * (transfer + kCompareSeconds);
        const double readBound = 2048 * (pageRead + transfer + kCompareSeconds);
        const QString given = programmer(speed);
        const double write = timeLinkCommand(dir, { QStringLiteral("write"), full }, env, given);
        const double verify = timeLinkCommand(dir, { QStringLiteral("verify"), full }, env, given);
        const double read = timeLinkCommand(dir, { QStringLiteral("read"), out }, env, given);
        const double small = timeLinkCommand(dir, { QStringLiteral("write"), boot }, env, given);
        QFile readBack(out);
        const bool same = readBack.open(QIODevice::ReadOnly) && readBack.readAll() == data;
        const struct {
            const char* job;
            double seconds, bound;
        } rows[] = { { "checked write, 512 KiB", write, writeBound },
                     { "verify, 512 KiB", verify, verifyBound },
                     { "proven read of the chip", read, readBound },
                     { "checked write, 70 KB", small, bootBound } };
        for (const auto& row : rows) {
            std::printf("%s %2u MHz  %-24s %6.2f s; bound %6.2f s; ratio %.3f (target at most 1.15)\n", name,
                        speed / 1000000, row.job, row.seconds, row.bound, row.seconds / row.bound);
            within = within && row.seconds > 0 && row.seconds <= 1.15 * row.bound;
        }
        if (!same)
            std::printf("%s %2u MHz  the read did not give back the file\n", name, speed / 1000000);
        within = within && same;
        std::fflush(stdout);
    }
    std::printf("%s rows within 1.15 x their bounds: %s\n", name, within ? "yes" : "NO");
    return within;
}
#endif

#if defined(SPIDEV_KERNEL)
// Over spidev at 1 and 10 MHz, through the kernel stand-in.
bool spidevAgainstTheirBounds()
{
    std::printf("\nspidev (through the kernel stand-in: 20 us a message plus 8 clocks a byte)\n");
    return linkAgainstTheirBounds("spidev", { 1000000u, 10000000u }, spilink::Spidev::costAt,
                                  { QStringLiteral("LD_PRELOAD=" SPIDEV_KERNEL), QStringLiteral("SPIDEV_KERNEL_SYS=%d/sys"),
                                    QStringLiteral("SPIDEV_KERNEL_TIMED=1") },
                                  [](unsigned speed) {
                                      return QStringLiteral("spidev:/dev/spidev0.0,speed=%1").arg(speed);
                                  });
}
#endif

#if defined(LIBFTDI_STANDIN)
// Over an FT232H at 6 and 30 MHz, through the libftdi1 stand-in.
bool ftdiAgainstTheirBounds()
{
    std::printf("\nft232h (through the libftdi1 stand-in: a USB round trip of 125 us a frame plus 8 clocks a "
                "byte)\n");
    return linkAgainstTheirBounds("ft232h", { 6000000u, 30000000u }, spilink::Ftdi::costAt,
                                  { QStringLiteral("LD_PRELOAD=" LIBFTDI_STANDIN),
                                    QStringLiteral("FTDI_STANDIN_TIMED=1") },
                                  [](unsigned speed) { return QStringLiteral("ft232h:speed=%1").arg(speed); });
}
#endif

#if defined(LIBUSB_STANDIN)
}
#include "ch341a.h"
namespace {

// What one pagekiln-cli command over the libusb stand-in took.
struct UsbRun {
    double seconds = -1;
    long roundTrips = 0, packets = 0, bytes = 0; // as the stand-in counted them
};

UsbRun timeCh341aCommand(const QTemporaryDir& dir, const QStringList& args)
{
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString log = dir.filePath(QStringLiteral("usb.log"));
    QFile::remove(log);
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(LIBUSB_STANDIN));
    env.insert(QStringLiteral("CH341_STANDIN_TIMED"), QStringLiteral("1"));
    env.insert(QStringLiteral("CH341_STANDIN_LOG"), log);
    env.insert(QStringLiteral("PAGEKILN_SIM_IMAGE"), dir.filePath(QStringLiteral("chip.img")));
    env.insert(QStringLiteral("PAGEKILN_SIM_PAGE256"), QStringLiteral("1"));
    env.insert(QStringLiteral("PAGEKILN_SIM_ERASE_MS"), QString::number(kChipEraseSeconds * 1000));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    cli.setProcessEnvironment(env);
    UsbRun run;
    const Clock::time_point start = Clock::now();
    cli.start(QStringLiteral(PAGEKILN_CLI), args + QStringList { QStringLiteral("--programmer"), QStringLiteral("ch341a"),
                                                                 QStringLiteral("-q") });
    const bool finished = cli.waitForFinished(600000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!finished || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "%s", cli.readAllStandardError().constData());
        return run;
    }
    run.seconds = seconds;
    QFile totals(log);
    const QByteArray lines = totals.open(QIODevice::ReadOnly) ? totals.readAll() : QByteArray();
    const int at = lines.indexOf("totals:");
    if (at >= 0)
        std::sscanf(lines.constData() + at, "totals: %ld round trips, %ld SPI packets, %ld SPI bytes", &run.roundTrips,
                    &run.packets, &run.bytes);
    return run;
}

// Checked write, verify and proven read of a whole chip, and a checked
// write of a 70 KB image, over a CH341A. Each bound is the adapter's cost
// model (a round trip of 1 ms a frame, its packets' answers collected
// together; 8 clocks a byte) over the frames a page's proof needs, with the
// chip's datasheet times where they are not spent sending: the chip erase,
// and a program (2 ms) and a compare (0.2 ms) that run under the next
// frame. Beside it, the same frames with a round trip a packet: what
// collecting a frame's answers together wins.
bool ch341aAgainstTheirBounds()
{
    QTemporaryDir dir;
    const QString full = dir.filePath(QStringLiteral("full.bin"));
    const QString boot = dir.filePath(QStringLiteral("boot.bin"));
    const QString out = dir.filePath(QStringLiteral("out.bin"));
    const QByteArray data = randomBytes(2048 * 256, 0x2545F491u);
    if (!writeFullAndBoot(data, full, boot))
        return false;
    const unsigned bootPages = (70000 + 255) / 256;
    const spilink::Cost cost = spilink::Ch341a::modelCost();
    const double roundTrip = cost.frameNs * 1e-9;
    const double byteTime = cost.byteNs * 1e-9;
    const auto packets = [](unsigned bytes) { return (bytes + 30) / 31; };
    // A page's frames: each a round trip, its bytes clocked; and each
    // packet a round trip of its own, the way a driver that waits for every
    // answer pays.
    struct Frames {
        double batched = 0, perPacket = 0;
        void add(unsigned bytes, double roundTrip, double byteTime, unsigned packetCount)
        {
            batched += roundTrip + bytes * byteTime;
            perPacket += packetCount * roundTrip + bytes * byteTime;
        }
    };
    const auto page = [&](std::initializer_list<unsigned> frames) {
        Frames f;
        for (const unsigned bytes : frames)
            f.add(bytes, roundTrip, byteTime, packets(bytes));
        return f;
    };
    // Checked write: the program, the next page's two transfers (one under
    // the program, one under the first compare), two compares with a status
    // read each. Verify: one transfer, two compares, two status reads. The
    // proven read: the page read, its transfer back, two compares, two
    // status reads. A blank page after a smaller image: two compares and
    // two status reads.
    const Frames write = page({ 4, 260, 260, 4, 4, 5, 5 });
    const Frames verify = page({ 260, 4, 4, 5, 5 });
    const Frames read = page({ 264, 260, 4, 4, 5, 5 });
    const Frames blank = page({ 4, 4, 5, 5 });
    std::printf("\nCH341A (through the libusb stand-in: 1 ms a round trip, 8 clocks a byte at 1.5 MHz, 31 bytes a "
                "packet)\n");
    const UsbRun writeRun = timeCh341aCommand(dir, { QStringLiteral("write"), full });
    const UsbRun verifyRun = timeCh341aCommand(dir, { QStringLiteral("verify"), full });
    const UsbRun readRun = timeCh341aCommand(dir, { QStringLiteral("read"), out });
    const UsbRun smallRun = timeCh341aCommand(dir, { QStringLiteral("write"), boot });
    QFile readBack(out);
    const bool same = readBack.open(QIODevice::ReadOnly) && readBack.readAll() == data;
    const struct {
        const char* job;
        UsbRun run;
        double bound, perPacket;
        unsigned pages;
    } rows[] = {
        { "checked write, 512 KiB", writeRun, kChipEraseSeconds + 2048 * write.batched,
          kChipEraseSeconds + 2048 * write.perPacket, 2048 },
        { "verify, 512 KiB", verifyRun, 2048 * verify.batched, 2048 * verify.perPacket, 2048 },
        { "proven read of the chip", readRun, 2048 * read.batched, 2048 * read.perPacket, 2048 },
        { "checked write, 70 KB", smallRun,
          kChipEraseSeconds + bootPages * write.batched + (2048 - bootPages) * blank.batched,
          kChipEraseSeconds + bootPages * write.perPacket + (2048 - bootPages) * blank.perPacket, 2048 },
    };
    bool within = true;
    for (const auto& row : rows) {
        std::printf("ch341a  %-24s %6.2f s; bound %6.2f s; ratio %.3f (target at most 1.15); a round trip a packet "
                    "%6.2f s (%.1f x); %.1f round trips a page\n",
                    row.job, row.run.seconds, row.bound, row.run.seconds / row.bound, row.perPacket,
                    row.perPacket / row.bound, double(row.run.roundTrips) / row.pages);
        within = within && row.run.seconds > 0 && row.run.seconds <= 1.15 * row.bound;
    }
    if (!same)
        std::printf("ch341a  the read did not give back the file\n");
    std::printf("ch341a rows within 1.15 x their bounds: %s\n", within && same ? "yes" : "NO");
    std::fflush(stdout);
    return within && same;
}
#endif

// How runs over a noisy wire came out.
struct Tally {
    int runs = 0, right = 0, refused = 0, falseSuccesses = 0, wrongReads = 0;
};

simchip::Config noisyChip(const char* line, double rate, unsigned run)
{
    simchip::Config config;
    config.pageSize256 = true;
    config.setBusyTimes(0);
    // A program with erase keeps the chip busy far longer than the next
    // frame, as on a board: that is how a buffer write that noise made a
    // program is caught. (Milliseconds at a real port's speed; here a tenth.)
    config.pageEraseProgramUs = 1400;
    config.seed = run + 1;
    if (line[0] == 'S' && line[1] == 'I')
        config.noiseSi = rate;
    else if (line[0] == 'S')
        config.noiseSo = rate;
    else
        config.noiseSi = config.noiseSo = rate;
    return config;
}

bool attachNoisy(const simchip::Config& config)
{
    simchip::reset(config);
    lptBase = static_cast<std::int16_t>(config.base);
    return LPT_LoadDriver();
}

// The whole chip as the simulated chip keeps it in PAGEKILN_SIM_IMAGE: its
// 2048 pages of 264 bytes, then the page-size register (256-byte pages).
QByteArray chipImage()
{
    QByteArray image;
    for (unsigned page = 0; page < 2048; ++page) {
        const std::vector<std::uint8_t> bytes = simchip::physicalPage(page);
        image.append(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    }
    return image + '\x01';
}

// PAGEKILN_SOAK_DUMP=DIR: what a run that went wrong started from (the chip
// and the file), kept until the run is over.
struct SoakStart {
    QByteArray chip;
    QByteArray file;
} soakStart;

bool dumping()
{
    return !qgetenv("PAGEKILN_SOAK_DUMP").isEmpty();
}

void presetChip(const QByteArray& data)
{
    for (int page = 0; page * 256 < data.size(); ++page) {
        const QByteArray bytes = data.mid(page * 256, 256).leftJustified(256, '\0');
        simchip::setPage(unsigned(page), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    if (dumping())
        soakStart.chip = chipImage();
}

bool chipHolds(const QByteArray& data)
{
    const std::vector<std::uint8_t> chip = simchip::contents();
    return QByteArray(reinterpret_cast<const char*>(chip.data()), data.size()) == data;
}

// How one run over a noisy wire came out.
enum class Outcome { Right, Refused, FalseSuccess, WrongRead };

// Into PAGEKILN_SOAK_DUMP's folder: the chip before and after a run that
// went wrong, as images the simulated chip takes (PAGEKILN_SIM_IMAGE), and
// the file it was given, named by job, wire, rate and run.
void dumpRun(const char* job, const char* line, double rate, int run)
{
    const QString dir = QString::fromLocal8Bit(qgetenv("PAGEKILN_SOAK_DUMP"));
    QDir().mkpath(dir);
    const QString name = QStringLiteral("%1/%2-%3-%4-run%5").arg(dir, QLatin1String(job), QLatin1String(line)).arg(rate).arg(run);
    const std::pair<QString, QByteArray> files[] = { { name + QStringLiteral(".before.img"), soakStart.chip },
                                                     { name + QStringLiteral(".after.img"), chipImage() },
                                                     { name + QStringLiteral(".bin"), soakStart.file } };
    for (const auto& [path, bytes] : files) {
        QFile out(path);
        if (!bytes.isEmpty() && (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size()))
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
    std::fprintf(stderr, "%s: kept in %s.*\n", job, qPrintable(name));
}

// runs of one job, each on a freshly powered chip with its own noise seed;
// job(run) says how the run came out.
template <typename Job>
Tally soakRuns(const char* name, const char* line, double rate, int runs, Job job)
{
    Tally tally;
    for (int run = 0; run < runs; ++run) {
        if (!attachNoisy(noisyChip(line, rate, unsigned(run))))
            continue;
        ++tally.runs;
        soakStart = {};
        const Outcome outcome = job(run);
        switch (outcome) {
        case Outcome::Right: ++tally.right; break;
        case Outcome::Refused: ++tally.refused; break;
        case Outcome::FalseSuccess: ++tally.falseSuccesses; break;
        case Outcome::WrongRead: ++tally.wrongReads; break;
        }
        if ((outcome == Outcome::FalseSuccess || outcome == Outcome::WrongRead) && dumping())
            dumpRun(name, line, rate, run);
    }
    return tally;
}

QByteArray soakImage(int run)
{
    const QByteArray file = randomBytes(70 * 1024, quint32(run) * 2654435761u);
    if (dumping())
        soakStart.file = file;
    return file;
}

// What a whole chip held before the job: a full image of another file.
QByteArray oldImage(int run)
{
    return randomBytes(2048 * 256, quint32(run) * 2246822519u + 7u);
}

// The whole chip as it is.
QByteArray wholeChip()
{
    const std::vector<std::uint8_t> chip = simchip::contents();
    return QByteArray(reinterpret_cast<const char*>(chip.data()), int(chip.size()));
}

// The image laid out in its pages, the last one zero-padded, then the rest
// of the chip as given.
QByteArray imageThen(const QByteArray& data, const QByteArray& rest)
{
    const int padded = (data.size() + 255) / 256 * 256;
    return data + QByteArray(padded - data.size(), '\0') + rest.mid(padded);
}

// Checked writes of a 70 KB image onto a chip holding an old image: right
// only when the whole chip holds the image followed by erased pages.
Tally soakWrites(const char* line, double rate, int runs)
{
    return soakRuns("write", line, rate, runs, [](int run) {
        const QByteArray data = soakImage(run);
        presetChip(oldImage(run));
        if (!AT45DB041D_ChipErase() || !AT45DB041D_ProgramImage(imageOf(data), DataFlashCheck::Proven))
            return Outcome::Refused;
        return wholeChip() == imageThen(data, QByteArray(2048 * 256, char(0xFF))) ? Outcome::Right
                                                                                 : Outcome::FalseSuccess;
    });
}

// Updates of a 70 KB image over an old one whose pages after it hold what a
// board keeps: right only when the image is there and every page after it
// unchanged; a page after it changed is a false success whatever the exit.
Tally soakUpdates(const char* line, double rate, int runs)
{
    return soakRuns("update", line, rate, runs, [](int run) {
        const QByteArray data = soakImage(run);
        const QByteArray old = oldImage(run);
        presetChip(old);
        const bool done = AT45DB041D_UpdateImage(imageOf(data));
        const QByteArray chip = wholeChip();
        const int padded = (data.size() + 255) / 256 * 256;
        if (chip.mid(padded) != old.mid(padded))
            return Outcome::FalseSuccess;
        if (!done)
            return Outcome::Refused;
        return chip == imageThen(data, old) ? Outcome::Right : Outcome::FalseSuccess;
    });
}

// Verifies of a 70 KB image; every other chip holds one byte that differs,
// which the verify must name. A verify that left the chip changed, however
// it ended, is a false success.
Tally soakVerifies(const char* line, double rate, int runs)
{
    return soakRuns("verify", line, rate, runs, [](int run) {
        const QByteArray data = soakImage(run);
        presetChip(oldImage(run));
        QByteArray onChip = data;
        const bool differs = run % 2 == 1;
        const int at = (run * 7919) % onChip.size();
        if (differs) // QByteArray's element reference has no ^= on Qt 5
            onChip[at] = char(onChip.at(at) ^ 0x10);
        presetChip(onChip);
        const std::vector<std::uint8_t> before = simchip::contents();
        DataFlashDifference where;
        const bool passed = AT45DB041D_VerifyImage(imageOf(data), DataFlashPadding::Zeros, {}, &where);
        if (simchip::contents() != before)
            return Outcome::FalseSuccess;
        if (passed)
            return differs ? Outcome::FalseSuccess : Outcome::Right;
        const bool named = differs && int(where.page) * 256 + int(where.offset) == at;
        return named ? Outcome::Right : Outcome::Refused;
    });
}

// Proven reads of a whole chip of random bytes; a read that left the chip
// changed, however it ended, is a false success.
Tally soakReads(const char* line, double rate, int runs)
{
    return soakRuns("read", line, rate, runs, [](int run) {
        const QByteArray data = randomBytes(2048 * 256, quint32(run) * 40503u);
        presetChip(data);
        std::vector<std::uint8_t> contents;
        const bool done = AT45DB041D_ReadChip(contents);
        if (!chipHolds(data))
            return Outcome::FalseSuccess;
        if (!done)
            return Outcome::Refused;
        const QByteArray read(reinterpret_cast<const char*>(contents.data()), int(contents.size()));
        return read == data ? Outcome::Right : Outcome::WrongRead;
    });
}

// Runs per row: as given, or PAGEKILN_SOAK_RUNS for every row.
int soakRunsOf(int runs)
{
    const QByteArray asked = qgetenv("PAGEKILN_SOAK_RUNS");
    return asked.isEmpty() ? runs : asked.toInt();
}

// only: one job's rows ("write", "verify", "read", "update"), or all; of
// those, onlyLine's ("SI", "SO", "both") and onlyRate's ("1e-4"), when given.
bool noiseSoak(const QByteArray& only, const QByteArray& onlyLine = {}, const QByteArray& onlyRate = {})
{
    std::printf("\nnoise soak (each bit flipped with the given probability, from a seeded generator; how many bits the polls clock, and so where the flips land, varies with timing)\n");
    std::printf("%-8s %-4s %-7s %5s %6s %8s %15s %13s\n", "job", "line", "rate", "runs", "right", "refused",
                "false successes", "wrong reads");
    bool clean = true;
    bool enough = true;
    int rows = 0;
    const char* const lines[] = { "SI", "SO", "both" };
    const double rates[] = { 1e-5, 1e-4 };
    struct Job {
        const char* name;
        Tally (*soak)(const char*, double, int);
        int runs;
    } const jobs[] = { { "write", soakWrites, soakRunsOf(100) },
                       { "verify", soakVerifies, soakRunsOf(100) },
                       { "read", soakReads, soakRunsOf(10) },
                       { "update", soakUpdates, soakRunsOf(100) } };
    for (const Job& job : jobs) {
        if (!only.isEmpty() && only != job.name)
            continue;
        for (const char* line : lines) {
            if (!onlyLine.isEmpty() && onlyLine != line)
                continue;
            for (const double rate : rates) {
                if (!onlyRate.isEmpty() && onlyRate.toDouble() != rate)
                    continue;
                ++rows;
                const Tally t = job.soak(line, rate, job.runs);
                std::printf("%-8s %-4s %-7g %5d %6d %8d %15d %13d\n", job.name, line, rate, t.runs, t.right,
                            t.refused, t.falseSuccesses, t.wrongReads);
                std::fflush(stdout);
                clean = clean && t.falseSuccesses == 0 && t.wrongReads == 0 && t.runs == job.runs;
                if (job.soak == soakWrites && rate == 1e-4 && line[0] == 'S')
                    enough = enough && t.right * 100 >= 95 * t.runs;
            }
        }
    }
    if (rows == 0) {
        std::printf("no soak row is for %s %s %s (jobs: write, verify, read, update; wires: SI, SO, both; rates: "
                    "1e-5, 1e-4)\n", only.constData(), onlyLine.constData(), onlyRate.constData());
        return false;
    }
    std::printf("no false success and no wrong read: %s; at least 95%% of writes right at 1e-4 on either wire: %s\n",
                clean ? "yes" : "NO", enough ? "yes" : "NO");
    return clean && enough;
}

// One chip of the table through the fast path's jobs on the 1 us port,
// beside their bounds from its own geometry. A chip with buffer 1 only
// proves each page whole in it: a transfer, a compare, the first byte's
// correction and a second compare, nothing overlapped; no write.
// The process's processor time, in seconds: on a machine other work keeps
// busy, a row's wall time grows while this does not, or far less.
double processorSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

bool familyRow(const DataFlashChip& chip)
{
    simchip::Config config = slowPortChip();
    config.chip = &chip;
    std::copy(chip.id, chip.id + chip.idLength, config.id);
    config.idLength = chip.idLength;
    simchip::reset(config);
    lptBase = 0x378;
    DataFlashInfo info;
    if (!LPT_LoadDriver() || !AT45DB_Probe(info)) {
        std::fprintf(stderr, "%s: %s\n", chip.name, qPrintable(lastMessage));
        return false;
    }
    const unsigned page = chip.binaryPageLength;
    const double pages = chip.pages;
    const QByteArray data = randomBytes(int(chip.pages * page), 0x2545F491u);
    const DataFlashImage image = imageOf(data);
    const auto seconds = [](double accesses) { return accesses * kPortAccessNs * 1e-9; };
    const double transfer = blockFrame(4 + page, 0);
    const double pageRead = blockFrame(8, page);
    const double command = blockFrame(4, 0);
    const double statusRead = blockFrame(1, 2);
    const bool oneBuffer = chip.buffers == 1;
    // One buffer: per page the transfer, two compares each with its command
    // and status read, and the one-byte correction between them.
    const double inBuffer1 = seconds(transfer + blockFrame(5, 0) + 2 * (command + statusRead)) + 2 * kCompareSeconds;
    const double checkedBound
        = kChipEraseSeconds + pages * std::max(seconds(2 * transfer), kPageProgramNoEraseSeconds + kCompareSeconds);
    const double verifyBound = oneBuffer ? pages * inBuffer1 : pages * (seconds(transfer) + kCompareSeconds);
    const double readBound = oneBuffer ? pages * (seconds(pageRead) + inBuffer1) : pages * seconds(pageRead + transfer);
    std::printf("%s: %u pages of %u bytes, %s\n", chip.name, chip.pages, page,
                oneBuffer ? "buffer 1 only" : "two buffers");
    bool ok = true;
    double cpu = processorSeconds();
    const auto cpuSince = [&cpu] {
        const double now = processorSeconds();
        const double spent = now - cpu;
        cpu = now;
        return spent;
    };
    if (oneBuffer) {
        simchip::Config preset = config; // the image put in place without programming
        simchip::reset(preset);
        for (unsigned p = 0; p < chip.pages; ++p)
            simchip::setPage(p, std::vector<std::uint8_t>(data.begin() + p * page, data.begin() + (p + 1) * page));
        ok = LPT_LoadDriver() && AT45DB_Probe(info);
    } else {
        const double checked = secondsOf([&] {
            return AT45DB041D_ChipErase() && AT45DB041D_ProgramImage(image, DataFlashCheck::Proven);
        });
        ok = checked >= 0;
        if (ok)
            std::printf("  checked write: %.2f s (processor %.2f s); bound %.2f s; ratio %.3f (target at most 1.08)\n",
                        checked, cpuSince(), checkedBound, checked / checkedBound);
    }
    cpuSince();
    std::fflush(stdout);
    const double verify = ok ? secondsOf([&] { return AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros); }) : -1;
    if (verify >= 0)
        std::printf("  verify: %.2f s (processor %.2f s); bound %.2f s; ratio %.3f (target at most 1.10)\n", verify,
                    cpuSince(), verifyBound, verify / verifyBound);
    std::fflush(stdout);
    std::vector<std::uint8_t> contents;
    const double read = verify < 0 ? -1 : secondsOf([&] {
        return AT45DB041D_ReadChip(contents) && contents == std::vector<std::uint8_t>(data.begin(), data.end());
    });
    if (read >= 0)
        std::printf("  proven read: %.2f s (processor %.2f s); bound %.2f s; ratio %.3f (target at most 1.10)\n",
                    read, cpuSince(), readBound, read / readBound);
    std::fflush(stdout);
    LPT_UnloadDriver();
    return ok && verify >= 0 && read >= 0;
}

bool familyAgainstTheirBounds(const char* only)
{
    bool ok = true;
    for (const char* name : { "AT45DB011D", "AT45DB642D", "AT45DB641E" })
        if (!only || findDataFlashChipNamed(only) == findDataFlashChipNamed(name))
            ok = familyRow(*findDataFlashChipNamed(name)) && ok;
    return ok;
}

} // namespace

// "soak" as the argument runs the noise soak alone ("soak update": one
// job's rows; "soak update both 1e-4": one row), "paths" the jobs against
// their bounds alone, "spidev", "ftdi" and "ch341a" those links' rows alone.
int main(int argc, char* argv[])
{
    if (argc > 1 && std::string(argv[1]) == "soak")
        return noiseSoak(QByteArray(argc > 2 ? argv[2] : ""), QByteArray(argc > 3 ? argv[3] : ""),
                         QByteArray(argc > 4 ? argv[4] : ""))
                   ? 0
                   : 1;
    if (argc > 1 && std::string(argv[1]) == "paths")
        return pathsAgainstTheirBounds() ? 0 : 1;
    if (argc > 1 && std::string(argv[1]) == "family")
        return familyAgainstTheirBounds(argc > 2 ? argv[2] : nullptr) ? 0 : 1;
#if defined(SPIDEV_KERNEL)
    if (argc > 1 && std::string(argv[1]) == "spidev")
        return spidevAgainstTheirBounds() ? 0 : 1;
#endif
#if defined(LIBFTDI_STANDIN)
    if (argc > 1 && std::string(argv[1]) == "ftdi")
        return ftdiAgainstTheirBounds() ? 0 : 1;
#endif
#if defined(LIBUSB_STANDIN)
    if (argc > 1 && std::string(argv[1]) == "ch341a")
        return ch341aAgainstTheirBounds() ? 0 : 1;
#endif
    const double spi = spiByteRatio();
    std::printf("port link overhead ratio: %.3f (target under 1.20)\n", spi);
    std::fflush(stdout);
    const double file = fullFileRatio();
    std::printf("full file ratio: %.3f (target under 1.15)\n", file);
    std::fflush(stdout);
    const bool paths = pathsAgainstTheirBounds();
#if defined(SPIDEV_KERNEL)
    const bool spidev = spidevAgainstTheirBounds();
#else
    const bool spidev = true;
#endif
#if defined(LIBFTDI_STANDIN)
    const bool ftdi = ftdiAgainstTheirBounds();
#else
    const bool ftdi = true;
#endif
#if defined(LIBUSB_STANDIN)
    const bool ch341a = ch341aAgainstTheirBounds();
#else
    const bool ch341a = true;
#endif
    const bool soak = noiseSoak({});
    return spi > 0 && file > 0 && paths && spidev && ftdi && ch341a && soak ? 0 : 1;
}
