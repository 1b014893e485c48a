// Programming whole files into the simulated chip: layout and padding in both
// page sizes, capacity, unusable files, and chips that fail part-way.
#include "at45db041d.h"
#include "simulated.h"
#include "testdata.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>

using testing::attach;
using testing::fastChip;

namespace {

QByteArray content(qint64 size)
{
    return testing::pseudoRandom(size, 0x12345678u ^ quint32(size));
}

} // namespace

class WriteFileTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void writesFile_data();
    void writesFile();
    void tooLarge_data();
    void tooLarge();
    void hugeFileIsNotMistakenForSmall();
    void unusableInput_data();
    void unusableInput();
    void readOnlyAndSharedFiles();
    void noChip();
    void chipStopsAnswering();
    void imageIsACopy();
    void verifyFindsDifferences_data();
    void verifyFindsDifferences();
    void fastPathFaults_data();
    void fastPathFaults();
    void fastPathCommands();
    void fastPathStops();
    void readChip_data();
    void readChip();
    void updateProgramsOnlyWhatDiffers_data();
    void updateProgramsOnlyWhatDiffers();
    void eraseProvesBlank();
    void sectorProtection();

private:
    QString writeInput(const QByteArray& data);
    QTemporaryDir dir;
};

void WriteFileTest::init()
{
    testing::quickPolls();
    QVERIFY(dir.isValid());
}

QString WriteFileTest::writeInput(const QByteArray& data)
{
    const QString path = dir.filePath(QStringLiteral("boot.ldr"));
    QFile file(path);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return QString();
    return path;
}

void WriteFileTest::writesFile_data()
{
    QTest::addColumn<bool>("fast");
    QTest::addColumn<bool>("page256");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("blankPages"); // pages of 0xFF from page 2 on
    for (bool fast : { false, true }) {
        for (bool page256 : { true, false }) {
            const qint64 length = page256 ? 256 : 264;
            const QByteArray prefix = QByteArray(fast ? "fast, " : "") + (page256 ? "256" : "264");
            const char* mode = prefix.constData();
            QTest::addRow("%s: one byte", mode) << fast << page256 << qint64(1) << 0;
            QTest::addRow("%s: 512 bytes", mode) << fast << page256 << qint64(512) << 0;
            QTest::addRow("%s: one page", mode) << fast << page256 << length << 0;
            QTest::addRow("%s: one page and a byte", mode) << fast << page256 << length + 1 << 0;
            QTest::addRow("%s: blank pages in the middle", mode) << fast << page256 << 9 * length + 7 << 5;
            QTest::addRow("%s: exactly full", mode) << fast << page256 << 2048 * length << 0;
        }
    }
}

// The file lands byte for byte from page 0; the last page is padded with
// zeros and the rest of the chip is untouched, through the window's path and
// through the fast one (after an erase).
void WriteFileTest::writesFile()
{
    QFETCH(bool, fast);
    QFETCH(bool, page256);
    QFETCH(qint64, size);
    QFETCH(int, blankPages);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    const int length = page256 ? 256 : 264;
    QByteArray data = content(size);
    data.replace(2 * length, blankPages * length, QByteArray(blankPages * length, char(0xFF)));
    const QString path = writeInput(data);
    QVERIFY(!path.isEmpty());
    const QByteArray name = QFile::encodeName(path);

    std::vector<unsigned> progress;
    const DataFlashRun run { [&](unsigned done, unsigned total) { progress.push_back(done * 10000 + total); }, {}, {} };
    lastMessage = QStringLiteral("stale");
    if (fast) {
        QVERIFY(AT45DB041D_ChipErase());
        QVERIFY2(AT45DB041D_ProgramFile(name.constData(), DataFlashCheck::Proven, run), qPrintable(lastMessage));
    } else {
        QVERIFY2(AT45DB041D_WriteFile(name.constData()), qPrintable(lastMessage));
    }
    QCOMPARE(lastMessage, QString());
    QVERIFY2(AT45DB041D_VerifyFile(name.constData()), qPrintable(lastMessage));

    const QByteArray chip = testing::bytes(simchip::contents());
    const int pages = int((size + length - 1) / length);
    QCOMPARE(chip.left(int(size)), data);
    QCOMPARE(chip.mid(int(size), pages * length - int(size)), QByteArray(pages * length - int(size), '\0'));
    QCOMPARE(chip.mid(pages * length), QByteArray(chip.size() - pages * length, char(0xFF)));
    if (fast) { // every page reported, in order
        QCOMPARE(int(progress.size()), pages);
        QCOMPARE(progress.back(), unsigned(pages * 10000 + pages));
    }
}

void WriteFileTest::tooLarge_data()
{
    QTest::addColumn<bool>("page256");
    QTest::addColumn<bool>("for256"); // checked for the 256-byte pages a new chip switches to
    QTest::addColumn<qint64>("capacity");
    QTest::newRow("256-byte pages") << true << false << qint64(524288);
    QTest::newRow("264-byte pages") << false << false << qint64(540672);
    QTest::newRow("264-byte pages in force, checked for 256") << false << true << qint64(524288);
}

void WriteFileTest::tooLarge()
{
    QFETCH(bool, page256);
    QFETCH(bool, for256);
    QFETCH(qint64, capacity);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    const DataFlashLayout layout = for256 ? DataFlashLayout::Pages256 : DataFlashLayout::PageSizeInForce;
    const QString path = writeInput(content(capacity + 1));
    const QString expected = QStringLiteral("The file is too large for the chip: %1 bytes, at most %2 fit!")
                                 .arg(capacity + 1)
                                 .arg(capacity);
    DataFlashImage image;
    simchip::setFrameLog(true);
    QVERIFY(!AT45DB041D_LoadFile(QFile::encodeName(path).constData(), image, layout));
    QCOMPARE(lastMessage, expected);
    QVERIFY(image.bytes.empty());
    QVERIFY(!AT45DB041D_WriteImage(image)); // nothing loaded, nothing sent
    simchip::setFrameLog(false);
    QCOMPARE(simchip::frames().size(), std::size_t(1)); // the status read, nothing programmed
    simchip::clearFrames();
    QVERIFY(AT45DB041D_LoadFile(QFile::encodeName(writeInput(content(capacity))).constData(), image, layout));
    QCOMPARE(image.pageLength(), page256 || for256 ? 256u : 264u);
}

// 4 GiB and ten bytes: its low 32 bits alone would say ten bytes.
void WriteFileTest::hugeFileIsNotMistakenForSmall()
{
    QVERIFY(attach(fastChip()));
    const QString path = dir.filePath(QStringLiteral("huge.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    if (!file.resize((qint64(1) << 32) + 10))
        QSKIP("the file system cannot hold a sparse 4 GiB file");
    file.close();
    std::uint64_t size = 0;
    QVERIFY(GetFileSizeByName(QFile::encodeName(path).constData(), size));
    QCOMPARE(size, (std::uint64_t(1) << 32) + 10);
    QVERIFY(!AT45DB041D_WriteFile(QFile::encodeName(path).constData()));
    QVERIFY2(lastMessage.startsWith(QStringLiteral("The file is too large for the chip: 4294967306 bytes")),
             qPrintable(lastMessage));
    QFile::remove(path);
}

void WriteFileTest::unusableInput_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing" << "No such file or directory";
    QTest::newRow("empty") << "empty" << "it is empty";
    QTest::newRow("a folder") << "folder" << "it is a folder";
    // Opened for a blocking read, a pipe without a writer would hang here.
    QTest::newRow("a named pipe") << "pipe" << "it is a named pipe, not a regular file";
    QTest::newRow("a device") << "device" << "it is a device, not a regular file";
    QTest::newRow("unreadable") << "unreadable" << "Permission denied";
}

// Refused before anything but the status read reaches the chip, with the
// driver's text and the system's reason.
void WriteFileTest::unusableInput()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QVERIFY(attach(fastChip()));
    QString path = dir.filePath(QStringLiteral("nothing-here.bin"));
    if (kind == QLatin1String("empty")) {
        path = writeInput(QByteArray());
    } else if (kind == QLatin1String("folder")) {
        path = dir.path();
    } else if (kind == QLatin1String("pipe")) {
        path = dir.filePath(QStringLiteral("pipe.bin"));
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (kind == QLatin1String("device")) {
        path = QStringLiteral("/dev/null");
    } else if (kind == QLatin1String("unreadable")) {
        path = writeInput(content(10));
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("this user reads files whatever their permissions (root)");
    }
    const QByteArray name = QFile::encodeName(path);
    const QString noFile = QStringLiteral("Failed to get the file size or file does not exist!");
    QVERIFY(!AT45DB041D_CheckFile(name.constData()));
    QCOMPARE(lastMessage, noFile);
    QCOMPARE(lastFileReason, reason);
    simchip::setFrameLog(true);
    QVERIFY(!AT45DB041D_WriteFile(name.constData()));
    QCOMPARE(lastMessage, noFile);
    DataFlashImage image;
    QVERIFY(!AT45DB041D_LoadFile(name.constData(), image, DataFlashLayout::Pages256));
    simchip::setFrameLog(false);
    QCOMPARE(lastMessage, noFile);
    QCOMPARE(lastFileReason, reason);
    QCOMPARE(simchip::frames().size(), std::size_t(2)); // one status read each
    simchip::clearFrames();
    std::uint64_t size = 77;
    QVERIFY(!GetFileSizeByName(name.constData(), size));
    QCOMPARE(size, std::uint64_t(77));
    QFile::remove(dir.filePath(QStringLiteral("pipe.bin")));
}

// The file is only read: a read-only file, or one another program holds open,
// is a good input.
void WriteFileTest::readOnlyAndSharedFiles()
{
    QVERIFY(attach(fastChip()));
    const QByteArray data = content(1000);
    const QString path = writeInput(data);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QFile heldOpen(path);
    QVERIFY(heldOpen.open(QIODevice::ReadOnly));
    QVERIFY2(AT45DB041D_WriteFile(QFile::encodeName(path).constData()), qPrintable(lastMessage));
    QCOMPARE(testing::bytes(simchip::contents()).left(data.size()), data);
}

void WriteFileTest::noChip()
{
    simchip::Config config = fastChip();
    config.present = false;
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_WriteFile(QFile::encodeName(writeInput(content(10))).constData()));
    QCOMPARE(lastMessage, QStringLiteral("Failed to read chip's status byte!"));
}

// Each page is three frames (buffer write, program, one status poll) after
// the opening status read; the chip goes silent during page 3's poll.
void WriteFileTest::chipStopsAnswering()
{
    simchip::Config config = fastChip();
    config.stopAfterCommands = 1 + 3 * 3 + 2;
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_WriteFile(QFile::encodeName(writeInput(content(20 * 264))).constData()));
    QCOMPARE(lastMessage, QStringLiteral("The chip stopped answering while programming page 3!"));
}

// The file is read whole before anything is written: emptied or replaced on
// disk afterwards (during the erase, say), it cannot change what the chip
// receives.
void WriteFileTest::imageIsACopy()
{
    QVERIFY(attach(fastChip()));
    const QByteArray data = content(5 * 264 + 9);
    const QString path = writeInput(data);
    DataFlashImage image;
    QVERIFY2(AT45DB041D_LoadFile(QFile::encodeName(path).constData(), image), qPrintable(lastMessage));
    QCOMPARE(image.pages(), std::uint32_t(6));
    QVERIFY(QFile::resize(path, 0));
    QVERIFY2(AT45DB041D_WriteImage(image), qPrintable(lastMessage));
    QCOMPARE(writeInput(content(300)), path);
    QVERIFY2(AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros), qPrintable(lastMessage));
    QCOMPARE(testing::bytes(simchip::contents()).left(data.size()), data);
}

void WriteFileTest::verifyFindsDifferences_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("padding"); // the last page's zero padding is compared
    QTest::addColumn<QString>("message"); // empty: the chip holds the file
    const QString differs = QStringLiteral("Verification failed: page %1 does not hold what the file has there!");
    QTest::newRow("cell stuck at 0") << "stuck" << true << differs.arg(4);
    QTest::newRow("bit flipped on the data line") << "noise" << true << differs.arg(2);
    QTest::newRow("file changed after writing") << "file" << true << differs.arg(6);
    QTest::newRow("last page's padding overwritten") << "padding" << true << differs.arg(9);
    QTest::newRow("padding overwritten, only the file's bytes compared") << "padding" << false << QString();
    // A silent chip reads as 0xFF, just like the blank pages of this file.
    QTest::newRow("chip stops answering over blank pages") << "silent" << false
                                                           << "The chip stopped answering while comparing page 0!";
    // Flipped bits on both wires are neither a difference nor hide one.
    QTest::newRow("noisy wires, the chip holds the file") << "noisy" << true << QString();
    QTest::newRow("noisy wires, a cell stuck at 0") << "stuck, noisy" << true << differs.arg(4);
    // Page 5's decisive compare arrives for page 4, which holds the same
    // data: pages like a neighbour are proven twice.
    QTest::newRow("a compare sent to a page one bit away that holds the same data") << "stuck, alike" << true
                                                                                    << differs.arg(5);
    // Page 6's fill is ignored, leaving page 4's data in its buffer, which
    // is what page 6 wrongly holds: the proof's evidence is page 4.
    QTest::newRow("a buffer fill ignored, the page holding what the buffer kept") << "fill ignored" << true
                                                                                  << differs.arg(6);
    // The protection register leaves sectors out: pages are only read.
    QTest::newRow("noisy wires, protection not covering the chip") << "partly protected, noisy" << true << QString();
    QTest::newRow("a cell stuck at 0, protection not covering the chip") << "stuck, partly protected" << true
                                                                         << differs.arg(4);
}

// What the chip holds is read back page by page; the first page that differs
// from the file is named.
void WriteFileTest::verifyFindsDifferences()
{
    QFETCH(QString, fault);
    QFETCH(bool, padding);
    QFETCH(QString, message);
    simchip::Config config = fastChip();
    QByteArray data = content(9 * 264 + 100);
    data[4 * 264 + 10] = char(0x5A);
    const bool noisy = fault.endsWith(QLatin1String("noisy"));
    if (noisy) { // the chip keeps its memory in an image across the reset that brings the noise
        QFile::remove(dir.filePath(QStringLiteral("chip.img")));
        config.imagePath = QFile::encodeName(dir.filePath(QStringLiteral("chip.img"))).toStdString();
    }
    if (fault.startsWith(QLatin1String("stuck")))
        config.stuck = { 4, 10, 0x10 };
    if (fault == QLatin1String("stuck, alike")) {
        data.replace(5 * 264, 264, data.mid(4 * 264, 264));
        config.stuck = { 5, 10, 0x10 };
        config.mutation = { 0x61, 5, 0x00, 0x000200 }; // buffer 2's sixth compare: page 5's decisive one
    }
    if (fault == QLatin1String("fill ignored"))
        config.ignored = { 0x84, 10 + 4 }; // after the write's ten: pages 0 (two), 2, 4, then page 6's fill
    if (fault.contains(QLatin1String("partly protected")))
        config.protection[3] = 0x00; // sector 3 unprotected
    else if (fault == QLatin1String("noise"))
        config.noise = { 2, 5, 0x01, 1 };
    QVERIFY(attach(config));
    const QString path = writeInput(data);
    const QByteArray name = QFile::encodeName(path);
    QVERIFY2(AT45DB041D_WriteFile(name.constData()), qPrintable(lastMessage));
    if (fault == QLatin1String("file")) {
        data[6 * 264 + 100] = char(~data[6 * 264 + 100]);
        QCOMPARE(writeInput(data), path);
    } else if (fault == QLatin1String("padding")) {
        std::vector<std::uint8_t> last = simchip::page(9);
        last[200] = 0x01;
        simchip::setPage(9, last);
    } else if (fault == QLatin1String("fill ignored")) {
        simchip::setPage(6, simchip::physicalPage(4));
    } else if (fault == QLatin1String("silent")) {
        // An erased chip that goes silent while the first page is compared
        // (after two status reads for the page size, the protection turned
        // on in six frames, page 0's buffer write and a status read).
        QCOMPARE(writeInput(QByteArray(5 * 264, char(0xFF))), path);
        config.stopAfterCommands = 2 + 6 + 2;
        QVERIFY(attach(config));
    }
    if (noisy) {
        config.noiseSi = config.noiseSo = 1e-4;
        config.seed = 2; // flips bits in the reads and transfers of these rows
        simchip::reset(config);
    }
    DataFlashImage image;
    QVERIFY2(AT45DB041D_LoadFile(name.constData(), image), qPrintable(lastMessage));
    const std::vector<std::uint8_t> before = simchip::contents();
    const bool holds = AT45DB041D_VerifyImage(image, padding ? DataFlashPadding::Zeros : DataFlashPadding::Ignored);
    QCOMPARE(lastMessage, message);
    QCOMPARE(holds, message.isEmpty());
    QVERIFY(simchip::contents() == before); // a verify changes nothing
    if (noisy)
        QVERIFY(simchip::noiseFlips().si + simchip::noiseFlips().so > 0);
}

void WriteFileTest::fastPathFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<long>("noiseCount");
    QTest::addColumn<QString>("message");
    // Buffer writes are counted from power-up; the ninth is page 2's proof
    // transfer, the tenth half of page 3's programming transfer.
    QTest::newRow("a flipped bit is repaired") << "noise" << 1L << QString();
    QTest::newRow("a bit flipped in three transfers in a row is repaired") << "noise" << 3L << QString();
    QTest::newRow("a flipped bit, and the proof's compare ignored") << "noise, ignored compare" << 1L << QString();
    QTest::newRow("after a fault, a page's programming transfer and its proof flipped alike")
        << "alike after a fault" << 0L << QString();
    QTest::newRow("a buffer write turned into a program through the buffer") << "0x84 -> 0x85" << 0L << QString();
    // The same program one page address bit away, onto page 1, already proven.
    QTest::newRow("a buffer write turned into a program of a page proven before")
        << "0x84 -> 0x85 one bit away" << 0L << QString();
    QTest::newRow("before a blank page, the program buffer's rewrite turned into a program through the other")
        << "0x84 -> 0x85 before a blank page" << 0L << QString();
    // The process suspended until that program is over: the compare after
    // it runs, so the page, programmed from the unpatched buffer, compares
    // equal to it.
    QTest::newRow("the first byte's correction turned into a program, and the process suspended meanwhile")
        << "0x87 -> 0x86, suspended" << 0L << QString();
    // A port of 1 us an access: a page's transfer outlasts the datasheet's
    // longest program, so the proof follows the program unpolled.
    QTest::newRow("programs slower than the datasheet's longest") << "slow programs" << 0L << QString();
    QTest::newRow("a cell stuck at 0") << "stuck" << 0L
                                       << "Page 5 does not match the file after programming: the flash did not take "
                                          "it (a worn or damaged chip)!";
    QTest::newRow("a blank page that does not erase") << "stuck blank" << 0L
                                                      << "Page 8 does not match the file after programming: the flash "
                                                         "did not take it (a worn or damaged chip)!";
    QTest::newRow("a wire to the chip that flips every page")
        << "noisy SI" << 0L
        << "Page 0 could not be proven: the data sent to the chip keeps arriving different, so the wire to the chip "
           "is unreliable (check the cable, its length and the chip's supply)!";
    QTest::newRow("the chip vanishes") << "vanishes" << 0L << "The chip stopped answering while";
    QTest::newRow("the chip erase ignored once: sent again") << "erase ignored" << 0L << QString();
    QTest::newRow("the chip erase ignored every time")
        << "erase never taken" << 0L << "The chip did not start the chip erase: it was ready at once after each of 3";
    // Page 5's program arrives with page address bit 10 flipped and lands
    // on page 1029, after the image: found by its blank proof and erased.
    QTest::newRow("a program sent after the image") << "88 astray" << 0L << QString();
    QTest::newRow("a sector after the image locked down")
        << "locked after" << 0L << "Sectors 7 after the file are locked down for good";
    QTest::newRow("a sector after the image locked down, kept") << "locked after, kept" << 0L << QString();
    QTest::newRow("a sector under the image locked down")
        << "locked under" << 0L << "Sectors 0a 0b are locked down for good, and the job must change pages in them";
    // A stop asked once the failing page is programmed or compared: the
    // failure is told, and the stop was not taken (which the front ends
    // would report as Stopped, the failure's text lost).
    QTest::newRow("a cell stuck at 0, a stop asked meanwhile") << "stuck, stop asked" << 0L << "Page 5 does not match";
    QTest::newRow("a blank page that does not erase, a stop asked meanwhile") << "stuck blank, stop asked" << 0L
                                                                              << "Page 8 does not match";
    // write --no-verify: page 0's program outlasts its wait.
    QTest::newRow("a program that never ends, unchecked, a stop asked meanwhile")
        << "endless program, unchecked, stop asked" << 0L << "Timed out waiting for the chip to program page 0!";
}

void WriteFileTest::fastPathFaults()
{
    QFETCH(QString, fault);
    QFETCH(long, noiseCount);
    QFETCH(QString, message);
    const bool stopAsked = fault.endsWith(QLatin1String(", stop asked"));
    fault.remove(QLatin1String(", stop asked"));
    const bool unchecked = fault.endsWith(QLatin1String(", unchecked"));
    fault.remove(QLatin1String(", unchecked"));
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    if (fault.startsWith(QLatin1String("noise")))
        config.noise = { 8, 100, 0x04, noiseCount };
    if (fault == QLatin1String("noise, ignored compare"))
        config.mutation = { 0x61, 7, 0x10 }; // page 3's second compare arrives as 0x71, which the chip ignores
    else if (fault == QLatin1String("alike after a fault")) {
        // Page 0's first compare is ignored; then byte 200 flips alike in
        // page 1's programming transfer (the eighth buffer write) and in the
        // transfer that proves it, so that page 1 compares equal.
        config.mutation = { 0x61, 0, 0x10 };
        config.noise = { 7, 200, 0x04, 2 };
    } else if (fault == QLatin1String("0x84 -> 0x85"))
        config.mutation = { 0x84, 3, 0x01 }; // page 3's first transfer
    else if (fault == QLatin1String("0x84 -> 0x85 one bit away"))
        config.mutation = { 0x84, 3, 0x01, 0x000200 };
    else if (fault == QLatin1String("0x84 -> 0x85 before a blank page"))
        config.mutation = { 0x84, 13, 0x01 }; // the one-byte write after page 6 is programmed
    else if (fault == QLatin1String("0x87 -> 0x86, suspended")) {
        config.mutation = { 0x87, 1, 0x01 }; // page 0's proof buffer gets its first byte back
        config.pageEraseProgramUs = 14000;
    } else if (fault == QLatin1String("stuck"))
        config.stuck = { 5, 17, 0xFF };
    else if (fault == QLatin1String("endless program"))
        config.pageProgramUs = 10000000;
    else if (fault == QLatin1String("stuck blank"))
        config.stuck = { 8, 0, 0x80 };
    else if (fault == QLatin1String("noisy SI"))
        config.noiseSi = 0.01;
    else if (fault == QLatin1String("slow programs")) {
        config.ioNs = 1000;
        config.pageProgramUs = 6000;
    } else if (fault == QLatin1String("vanishes"))
        config.stopAfterCommands = 40;
    else if (fault == QLatin1String("erase ignored"))
        config.ignored = { 0xC7, 0 };
    else if (fault == QLatin1String("erase never taken")) // every sector locked: the chip never starts it
        std::fill_n(config.lockdown, 8, std::uint8_t(0xFF));
    else if (fault == QLatin1String("88 astray"))
        config.mutation = { 0x88, 5, 0x00, 0x040000 };
    else if (fault.startsWith(QLatin1String("locked")))
        config.lockdown[fault == QLatin1String("locked under") ? 0 : 7] = 0xFF;
    QByteArray data = content(12 * 256);
    data[5 * 256 + 17] = char(0x81);
    data.replace(7 * 256, 2 * 256, QByteArray(2 * 256, char(0xFF))); // pages 7 and 8 blank
    const QString path = writeInput(data);
    QVERIFY(attach(config));
    // The chip holds an old image: after a write it holds the file and is
    // erased everywhere else, but in sectors locked down and kept.
    const QByteArray old = content(2048 * 256 + 1).left(2048 * 256);
    for (unsigned page = 0; page < 2048; ++page)
        simchip::setPage(page, std::vector<std::uint8_t>(old.begin() + page * 256, old.begin() + (page + 1) * 256));
    QByteArray expected = data + QByteArray(2048 * 256 - data.size(), char(0xFF));
    if (fault == QLatin1String("locked after, kept"))
        expected.replace(1792 * 256, 256 * 256, old.mid(1792 * 256));
    if (!AT45DB041D_ChipErase()) {
        QVERIFY2(lastMessage.startsWith(message) && !message.isEmpty(), qPrintable(lastMessage));
        if (fault == QLatin1String("erase never taken"))
            QVERIFY(testing::bytes(simchip::contents()) == old); // nothing was changed
        return;
    }
    if (fault.endsWith(QLatin1String("suspended"))) {
        // The driver gets control back only once the chip is idle again.
        simchip::setFrameHook([](const simchip::Frame& frame) {
            while (frame.in.size() == 5 && frame.in[0] == 0x86 && simchip::busy()) {
            }
        });
    }
    bool pending = false; // a stop asked, as by Ctrl-C
    bool taken = false;   // the driver's last question about it answered yes
    if (stopAsked) {
        const long failing = std::max(config.stuck.page, 0L); // else the first page
        simchip::setFrameHook([&pending, failing](const simchip::Frame& frame) {
            static const QByteArray programOrCompare("\x83\x86\x88\x89\x60\x61", 6);
            pending = pending
                      || (frame.in.size() >= 4 && programOrCompare.contains(char(frame.in[0]))
                          && (frame.in[1] << 8 | frame.in[2]) == failing);
        });
    }
    const DataFlashRun run { {}, [&] { return taken = pending; }, {} };
    DataFlashImage image;
    QVERIFY(AT45DB041D_LoadFile(QFile::encodeName(path).constData(), image));
    const bool ok = AT45DB041D_ProgramImage(image, unchecked ? DataFlashCheck::Unchecked : DataFlashCheck::Proven, run,
                                            fault.endsWith(QLatin1String("kept")) ? DataFlashLocked::Keep
                                                                                 : DataFlashLocked::Refuse);
    simchip::setFrameHook({});
    QVERIFY2(lastMessage.startsWith(message), qPrintable(lastMessage));
    QCOMPARE(ok, message.isEmpty());
    QCOMPARE(pending, stopAsked);
    QVERIFY2(!taken, "a failure while a stop is pending is reported as a stop");
    if (ok)
        QVERIFY(testing::bytes(simchip::contents()) == expected);
}

// The command stream of the fast path on a chip with real busy times: pages
// are programmed without erase, blank pages are only compared, every page is
// compared, and while the chip is busy it is sent nothing but status reads
// and access to the buffer it is not using.
void WriteFileTest::fastPathCommands()
{
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    config.pageProgramUs = 2000;
    config.compareUs = 200;
    QVERIFY(attach(config));
    QByteArray data = content(10 * 256);
    data.replace(4 * 256, 3 * 256, QByteArray(3 * 256, char(0xFF))); // pages 4 to 6 blank
    const QString path = writeInput(data);
    QVERIFY(AT45DB041D_ChipErase());
    simchip::setFrameLog(true);
    QVERIFY2(AT45DB041D_ProgramFile(QFile::encodeName(path).constData(), DataFlashCheck::Proven), qPrintable(lastMessage));
    simchip::setFrameLog(false);

    QList<int> programs, compared;
    int busyBuffer = -1; // the buffer of the last program or compare
    int overlapped = 0;
    for (const simchip::Frame& frame : simchip::frames()) {
        const std::uint8_t op = frame.in.at(0);
        const int page = frame.in.size() >= 3 ? frame.in[1] << 8 | frame.in[2] : -1;
        QVERIFY2(op != 0x83 && op != 0x86, "no program with built-in erase");
        if (op == 0x88 || op == 0x89)
            programs << page;
        if ((op == 0x60 || op == 0x61) && !compared.contains(page))
            compared << page;
        if (frame.whileBusy && op != 0xD7) {
            const int buffer = (op == 0x84 || op == 0xD4) ? 0 : (op == 0x87 || op == 0xD6) ? 1 : -1;
            QVERIFY2(buffer >= 0 && buffer != busyBuffer, qPrintable(QString::number(op, 16)));
            ++overlapped;
        }
        if (op == 0x88 || op == 0x60)
            busyBuffer = 0;
        else if (op == 0x89 || op == 0x61)
            busyBuffer = 1;
    }
    simchip::clearFrames();
    QCOMPARE(programs, QList<int>({ 0, 1, 2, 3, 7, 8, 9 }));
    std::sort(compared.begin(), compared.end());
    QCOMPARE(compared.size(), 2048); // the file's pages, then every page after it proven blank
    QCOMPARE(compared.front(), 0);
    QCOMPARE(compared.back(), 2047);
    QVERIFY2(overlapped >= 5, "buffers are filled while the chip programs");
    QCOMPARE(testing::bytes(simchip::contents()).left(data.size()), data);
}

// A stop request is taken between pages: the page in hand is finished and
// compared, and nothing after it is sent.
void WriteFileTest::fastPathStops()
{
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    QVERIFY(attach(config));
    const QByteArray data = content(20 * 256);
    const QString path = writeInput(data);
    QVERIFY(AT45DB041D_ChipErase());
    unsigned done = 0;
    const DataFlashRun run { [&](unsigned pages, unsigned) { done = pages; }, [&] { return done == 6; }, {} };
    QVERIFY(!AT45DB041D_ProgramFile(QFile::encodeName(path).constData(), DataFlashCheck::Proven, run));
    QCOMPARE(lastMessage, QStringLiteral("Stopped on request after page 5 was proven."));
    const QByteArray chip = testing::bytes(simchip::contents());
    QCOMPARE(chip.left(6 * 256), data.left(6 * 256));
    QCOMPARE(chip.mid(6 * 256, 256), QByteArray(256, char(0xFF)));
}

void WriteFileTest::readChip_data()
{
    QTest::addColumn<bool>("page256");
    QTest::addColumn<long>("stopAfter");
    QTest::addColumn<double>("noiseSo");
    QTest::addColumn<double>("noiseSi");
    QTest::addColumn<long>("strayWrite"); // the buffer 1 write that arrives as a program, one page bit off
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("covered"); // the protection register marks every sector
    QTest::newRow("256-byte pages") << true << -1L << 0.0 << 0.0 << -1L << QString() << true;
    QTest::newRow("264-byte pages") << false << -1L << 0.0 << 0.0 << -1L << QString() << true;
    // Reads that arrive with flipped bits are caught by the chip's compare
    // and read again.
    QTest::newRow("a noisy wire from the chip") << true << -1L << 1e-4 << 0.0 << -1L << QString() << true;
    // Buffer writes that noise turns into programs are refused by the chip,
    // whose sector protection is on for the read.
    QTest::newRow("noise on both wires") << true << -1L << 1e-4 << 1e-4 << -1L << QString() << true;
    // Its opcode and a page address bit flipped: a program of a page next
    // to the one the write was aimed at, refused.
    QTest::newRow("a buffer write turned into a program of another page") << true << -1L << 0.0 << 0.0 << 150L
                                                                          << QString() << true;
    QTest::newRow("a wire from the chip that flips every page")
        << true << -1L << 1e-2 << 0.0 << -1L
        << "Page 0 could not be read: what the chip sends back keeps changing on the way (its status and page reads "
           "disagree), so the wire from the chip is unreliable (check the cable, its length and the chip's supply)!"
        << true;
    // Silent a few pages in: never read as 0xFF filler.
    QTest::newRow("chip stops answering") << true << 30L << 0.0 << 0.0 << -1L << "The chip stopped answering while"
                                          << true;
    // Pages only read, each until two reads agree.
    QTest::newRow("noise on both wires, protection not covering the chip")
        << true << -1L << 1e-4 << 1e-4 << -1L << QString() << false;
}

void WriteFileTest::readChip()
{
    QFETCH(bool, page256);
    QFETCH(long, stopAfter);
    QFETCH(double, noiseSo);
    QFETCH(double, noiseSi);
    QFETCH(long, strayWrite);
    QFETCH(QString, message);
    QFETCH(bool, covered);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    config.stopAfterCommands = stopAfter;
    if (!covered)
        config.protection[7] = 0x00; // sector 6 unprotected
    config.noiseSo = noiseSo;
    config.noiseSi = noiseSi;
    config.mutation = { 0x84, strayWrite, 0x01, 0x000200 };
    // Programs take as long as on a board (typically 14 ms), so that a
    // buffer write that noise made a program is seen keeping the chip busy.
    config.pageEraseProgramUs = 14000;
    QVERIFY(attach(config));
    const QByteArray data = content(2048 * 264);
    for (unsigned page = 0; page < 2048; ++page) {
        const QByteArray bytes = data.mid(int(page) * 264, 264);
        simchip::setPage(page, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    const QByteArray before = testing::bytes(simchip::contents());
    std::vector<std::uint8_t> contents;
    const bool read = AT45DB041D_ReadChip(contents);
    QVERIFY2(read == message.isEmpty() && lastMessage.startsWith(message), qPrintable(lastMessage));
    QVERIFY(testing::bytes(simchip::contents()) == before); // a read changes nothing
    if (!message.isEmpty())
        return;
    QCOMPARE(contents.size(), std::size_t(page256 ? 524288 : 540672));
    QCOMPARE(testing::bytes(contents), before);
    QCOMPARE(testing::bytes(simchip::contents()), before);
    if (noiseSo > 0)
        QVERIFY(simchip::noiseFlips().so > 0);
}


void WriteFileTest::updateProgramsOnlyWhatDiffers_data()
{
    QTest::addColumn<QString>("chip");
    QTest::addColumn<QList<int>>("programmed");
    QTest::addColumn<QString>("message");
    QTest::newRow("unchanged image: no program, no erase") << "holds the image" << QList<int>() << QString();
    QTest::newRow("one changed page: that page alone") << "page 3 differs" << QList<int>({ 3 }) << QString();
    QTest::newRow("erased chip: every page") << "erased" << QList<int>({ 0, 1, 2, 3, 4, 5 }) << QString();
    QTest::newRow("a program that lands on a page after the image: restored")
        << "page 3 differs, its program lands on page 1027" << QList<int>({ 3, 3, 1027 }) << QString();
    // Page 3 ends right (as when it held its data and noise failed its
    // proofs), so nothing about it shows that its program went astray.
    QTest::newRow("a page that ends right, its one program on page 1027: restored")
        << "page 3 differs, its program lands on page 1027, page 3 right" << QList<int>({ 3, 1027 }) << QString();
    // Page 3 never takes its data; its second program lands on page 1027,
    // restored before the failure is told.
    QTest::newRow("a page that does not take its data, one program on page 1027: restored")
        << "page 3 differs, stuck, its second program lands on page 1027" << QList<int>()
        << "Page 3 does not match the file after programming: the flash did not take it";
    // Two reads of page 1027's copy agree on a flipped bit: the compare
    // finds the copy wrong before page 1027 is restored from it.
    QTest::newRow("a copy two reads agree on wrongly: read again")
        << "page 3 differs, its program lands on page 1027, copy read wrong" << QList<int>({ 3, 3, 1027 }) << QString();
    // Sector 0a (pages 0 to 7) locked down for good: update may go on only
    // where it need not change a page there; sectors after the image do not
    // matter.
    QTest::newRow("unchanged image, its sector locked down") << "holds the image, 0a locked" << QList<int>() << QString();
    QTest::newRow("a changed page in a sector locked down: nothing changed")
        << "page 3 differs, 0a locked" << QList<int>()
        << "Sectors 0a are locked down for good, and the file differs from what they hold";
    QTest::newRow("a changed page, a sector after the image locked down")
        << "page 3 differs, 7 locked" << QList<int>({ 3 }) << QString();
    // A buffer write turned into a program through buffer 2 (0x87 -> 0x85)
    // of the page one address bit away from where it was aimed.
    QTest::newRow("a buffer write turned into a program one bit away")
        << "page 3 differs, mutated 87:16:02:040000" << QList<int>() << QString();
    // The process suspended until that program is over: the chip is first
    // seen ready too late to show that it ran nothing.
    QTest::newRow("a buffer write turned into a program one bit away, the process suspended meanwhile")
        << "page 3 differs, suspended, mutated 87:16:02:040000" << QList<int>() << QString();
    // A first byte's correction turned into a program of page 0 (0x87 ->
    // 0x86); the compare after it is ignored, and the process is suspended
    // at the status read that finds the chip busy.
    QTest::newRow("a correction turned into a program of page 0, the process suspended at a busy status")
        << "page 3 differs, suspended at a busy status, mutated 87:20:01:000000" << QList<int>() << QString();
}

// update on a chip whose pages after the image hold a board's settings:
// only differing pages are programmed (with built-in erase), the chip ends
// holding the image with its last page zero-padded, and the pages after it
// keep what they held.
void WriteFileTest::updateProgramsOnlyWhatDiffers()
{
    QFETCH(QString, chip);
    QFETCH(QList<int>, programmed);
    QFETCH(QString, message);
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    if (chip.endsWith(QLatin1String(", 0a locked")))
        config.lockdown[0] = 0xC0;
    if (chip.endsWith(QLatin1String(", 7 locked")))
        config.lockdown[7] = 0xFF;
    if (chip.contains(QLatin1String(", stuck")))
        config.stuck = { 3, 40, 0xFF };
    const QStringList mutated = chip.section(QLatin1String("mutated "), 1).split(QLatin1Char(':'));
    const bool stray = mutated.size() == 4; // OPCODE:NTH:MASK:ADDRESSMASK
    if (stray) {
        config.mutation = { std::uint8_t(mutated[0].toUInt(nullptr, 16)), mutated[1].toLong(),
                            std::uint8_t(mutated[2].toUInt(nullptr, 16)), mutated[3].toUInt(nullptr, 16) };
        config.pageEraseProgramUs = 14000; // a program that noise made keeps the chip busy, as on a board
    }
    QVERIFY(attach(config));
    const QByteArray data = content(5 * 256 + 100); // six pages, the last one padded
    QByteArray expected = data + QByteArray(156, '\0');
    const QByteArray settings = content(2048 * 256).mid(6 * 256);
    QByteArray before = expected;
    if (chip.startsWith(QLatin1String("page 3 differs")))
        before[3 * 256 + 40] = char(~before[3 * 256 + 40]);
    if (chip == QLatin1String("erased"))
        before = QByteArray(6 * 256, char(0xFF));
    const QByteArray all = before + settings;
    for (unsigned page = 0; page < 2048; ++page) {
        const QByteArray bytes = all.mid(int(page) * 256, 256);
        simchip::setPage(page, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    if (chip.contains(QLatin1String(", suspended"))) { // control back only once the chip is idle again
        const std::uint8_t after = chip.contains(QLatin1String("at a busy status")) ? 0xD7 : 0x85;
        simchip::setFrameHook([after](const simchip::Frame& frame) {
            while (frame.in.at(0) == after && simchip::busy()) {
            }
        });
    }
    if (chip.contains(QLatin1String("page 1027"))) {
        // The first program of page 3 arrives with address bit 10 flipped:
        // page 3 keeps its old bytes and page 1027 takes the new ones.
        int programs = chip.contains(QLatin1String("second program")) ? -1 : 0;
        bool landed = false;
        int reads = 0;
        simchip::setFrameHook([&, old = simchip::page(3)](const simchip::Frame& frame) {
            // Page 1027 holds a flipped bit from its first read to its third.
            if (chip.endsWith(QLatin1String("copy read wrong")) && frame.in.at(0) == 0xD2
                && (frame.in.at(1) << 8 | frame.in.at(2)) == 1027 && (++reads == 1 || reads == 3)) {
                std::vector<std::uint8_t> held = simchip::page(1027);
                held[200] ^= 0x20;
                simchip::setPage(1027, held);
            }
            if (landed || frame.in.at(0) != 0x83 || ++programs < 1)
                return;
            landed = true;
            simchip::setPage(1027, simchip::page(3));
            if (!chip.endsWith(QLatin1String("page 3 right")))
                simchip::setPage(3, old);
        });
    }
    const QString path = writeInput(data);
    DataFlashImage image;
    QVERIFY(AT45DB041D_LoadFile(QFile::encodeName(path).constData(), image));
    simchip::setFrameLog(true);
    unsigned changed = 99;
    const bool ok = AT45DB041D_UpdateImage(image, {}, &changed);
    simchip::setFrameLog(false);
    simchip::setFrameHook({});
    QVERIFY2(ok == message.isEmpty() && lastMessage.startsWith(message), qPrintable(lastMessage));
    if (!ok)
        expected = before;
    QList<int> programs;
    for (const simchip::Frame& frame : simchip::frames()) {
        const std::uint8_t op = frame.in.at(0);
        QVERIFY2(op != 0xC7 && op != 0x88 && op != 0x89 && op != 0x82 && (op != 0x85 || stray),
                 qPrintable(QString::number(op, 16)));
        if (op == 0x83 || op == 0x86)
            programs << (frame.in[1] << 8 | frame.in[2]);
    }
    simchip::clearFrames();
    // The pages after the image keep what they held, however the job ended.
    const QByteArray after = testing::bytes(simchip::contents());
    QCOMPARE(after.mid(expected.size()), settings);
    if (stray || chip.contains(QLatin1String(", stuck"))) { // programs as the fault led
        QVERIFY(!ok || after == expected + settings);
        return;
    }
    QCOMPARE(programs, programmed);
    QCOMPARE(changed, unsigned(chip == QLatin1String("erased") ? 6 : programmed.isEmpty() ? 0 : 1));
    QCOMPARE(after, expected + settings);
}

// erase leaves every byte 0xFF, each page proven blank; a page that does
// not erase is named.
void WriteFileTest::eraseProvesBlank()
{
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    QVERIFY(attach(config));
    for (unsigned page : { 0u, 700u, 2047u })
        simchip::setPage(page, std::vector<std::uint8_t>(256, 0x5A));
    unsigned done = 0;
    QVERIFY2(AT45DB041D_EraseAndProve({ [&](unsigned pages, unsigned) { done = pages; }, {}, {} }), qPrintable(lastMessage));
    QCOMPARE(done, 2048u);
    QCOMPARE(testing::bytes(simchip::contents()), QByteArray(2048 * 256, char(0xFF)));

    config.stuck = { 9, 3, 0x01 };
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_EraseAndProve());
    QCOMPARE(lastMessage, QStringLiteral("Page 9 does not match the file after programming: the flash did not take it "
                                         "(a worn or damaged chip)!"));
}

// protect makes the chip refuse programs; unprotect lets them through; WP#
// held low and a locked sector each keep the chip protected and say why.
void WriteFileTest::sectorProtection()
{
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    QVERIFY(attach(config));
    const std::vector<std::uint8_t> page(256, 0x11);
    QVERIFY(AT45DB041D_SetSectorProtection(DataFlashProtection::On));
    QVERIFY(!AT45DB041D_ProgramPage(5, page.data(), true) || simchip::page(5) != page);
    QCOMPARE(simchip::page(5), std::vector<std::uint8_t>(256, 0xFF));
    QVERIFY(AT45DB041D_SetSectorProtection(DataFlashProtection::Off));
    QVERIFY(AT45DB041D_ProgramPage(5, page.data(), true));
    QCOMPARE(simchip::page(5), page);

    config.writeProtectLow = true;
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_SetSectorProtection(DataFlashProtection::Off));
    QVERIFY2(lastMessage.contains(QLatin1String("WP# pin is held low")), qPrintable(lastMessage));

    config.writeProtectLow = false;
    config.lockdown[3] = 0xFF; // sector 3
    config.uniqueId[0] = 0xAB;
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_SetSectorProtection(DataFlashProtection::Off));
    QVERIFY2(lastMessage.contains(QLatin1String("sectors 3 are locked down for good")), qPrintable(lastMessage));
    DataFlashSectors sectors;
    QVERIFY(AT45DB041D_ReadSectors(sectors));
    QCOMPARE(dataFlashSectorNames(sectors.protection), QStringLiteral("0a 0b 1 2 3 4 5 6 7"));
    QCOMPARE(dataFlashSectorNames(sectors.lockdown), QStringLiteral("3"));
    QCOMPARE(sectors.uniqueId[0], std::uint8_t(0xAB));
}

QTEST_GUILESS_MAIN(WriteFileTest)
#include "tst_writefile.moc"
