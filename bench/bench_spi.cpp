// Pagekiln benchmark (not a test):
//  1. the port link's cost per SPI byte against a port library that does
//     nothing, beside the 32 bare port calls a byte needs;
//  2. the time to program a full 512 KiB file into the simulated chip with
//     datasheet-typical busy times, beside the chip's own busy time;
//  3. the window's path against the fast path, checked and unchecked, on a
//     simulated chip whose every port access costs 1 us, as on a real port,
//     each fast path beside a bound from the datasheet and the access counts.
#include "at45db041d.h"
#include "lpt.h"
#include "platform.h"
#include "simchip.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

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

bool pathsAgainstTheirBounds()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("random.bin"));
    QFile file(path);
    QByteArray data(2048 * 256, Qt::Uninitialized);
    quint32 x = 0x9E3779B9u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    const QByteArray name = QFile::encodeName(path);

    std::printf("port accesses per byte: byte-wise transfer 32, block out %.0f, block in %.0f; "
                "a page's buffer write %.2f per byte, its read-back %.2f per byte\n",
                16.0, 24.0, blockFrame(4 + 256, 0) / 256, blockFrame(5, 256) / 256);
    // Per page, the accesses the fast path cannot do without: the buffer
    // write, the program command and one status read; checked, also the
    // buffer read-back, the compare command and one status read after it.
    const double statusRead = blockFrame(1, 1);
    const double uncheckedPage = blockFrame(4 + 256, 0) + blockFrame(4, 0) + statusRead;
    const double checkedPage = uncheckedPage + blockFrame(5, 256) + blockFrame(4, 0) + statusRead;
    const auto bound = [](double accessesPerPage) {
        return kChipEraseSeconds + 2048 * std::max(accessesPerPage * kPortAccessNs * 1e-9, kPageProgramNoEraseSeconds);
    };
    std::fflush(stdout);

    const double window = timeProgramming(name, 0);
    std::printf("window's path (erase, byte-wise, program with erase, 5 ms polls): %.2f s\n", window);
    std::fflush(stdout);
    double measured = 0;
    const double checked = timeProgramming(name, 1, &measured);
    std::printf("fast path, checked: %.2f s; bound %.2f s (%.0f accesses a page; %.0f made)\n", checked,
                bound(checkedPage), checkedPage, measured);
    std::fflush(stdout);
    const double unchecked = timeProgramming(name, 2, &measured);
    std::printf("fast path, unchecked: %.2f s; bound %.2f s (%.0f accesses a page; %.0f made)\n", unchecked,
                bound(uncheckedPage), uncheckedPage, measured);
    if (window < 0 || checked < 0 || unchecked < 0)
        return false;
    std::printf("checked fast path / its bound: %.3f (target at most 1.10)\n", checked / bound(checkedPage));
    std::printf("unchecked fast path / its bound: %.3f (target at most 1.10)\n", unchecked / bound(uncheckedPage));
    std::printf("window's path / checked fast path: %.2f (target at least 2.0)\n", window / checked);
    std::printf("window's path / unchecked fast path: %.2f (target at least 4.0)\n", window / unchecked);
    std::fflush(stdout);
    const double cli = timeCommandLineWrite(path, dir.filePath(QStringLiteral("chip.img")));
    std::printf("pagekiln-cli write, the whole command: %.2f s; the window's path: %.2f s\n", cli, window);
    return cli > 0;
}

} // namespace

int main()
{
    const double spi = spiByteRatio();
    std::printf("port link overhead ratio: %.3f (target under 1.20)\n", spi);
    std::fflush(stdout);
    const double file = fullFileRatio();
    std::printf("full file ratio: %.3f (target under 1.15)\n", file);
    std::fflush(stdout);
    const bool paths = pathsAgainstTheirBounds();
    return spi > 0 && file > 0 && paths ? 0 : 1;
}
