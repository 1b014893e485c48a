// Programming whole files into the simulated chip: layout and padding in both
// page sizes, capacity, unusable files, and chips that fail part-way.
#include "at45db041d.h"
#include "simulated.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using testing::attach;
using testing::fastChip;

namespace {

QByteArray content(qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = 0x12345678u ^ quint32(size);
    for (char& c : data) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return data;
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
    void fileShrinksWhileWriting();
    void verifyFindsDifferences_data();
    void verifyFindsDifferences();

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
    QTest::addColumn<bool>("page256");
    QTest::addColumn<qint64>("size");
    for (bool page256 : { true, false }) {
        const qint64 capacity = 2048 * (page256 ? 256 : 264);
        const char* mode = page256 ? "256" : "264";
        QTest::addRow("%s: one byte", mode) << page256 << qint64(1);
        QTest::addRow("%s: 512 bytes", mode) << page256 << qint64(512);
        QTest::addRow("%s: one page and a byte", mode) << page256 << qint64(page256 ? 257 : 265);
        QTest::addRow("%s: exactly full", mode) << page256 << capacity;
    }
}

// The file lands byte for byte from page 0; the last page is padded with
// zeros and the rest of the chip is untouched.
void WriteFileTest::writesFile()
{
    QFETCH(bool, page256);
    QFETCH(qint64, size);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    const QByteArray data = content(size);
    const QString path = writeInput(data);
    QVERIFY(!path.isEmpty());

    lastMessage = QStringLiteral("stale");
    QVERIFY2(AT45DB041D_WriteFile(QFile::encodeName(path).constData()), qPrintable(lastMessage));
    QCOMPARE(lastMessage, QString());
    QVERIFY2(AT45DB041D_VerifyFile(QFile::encodeName(path).constData()), qPrintable(lastMessage));

    const QByteArray chip = testing::bytes(simchip::contents());
    const int length = page256 ? 256 : 264;
    const int pages = int((size + length - 1) / length);
    QCOMPARE(chip.left(int(size)), data);
    QCOMPARE(chip.mid(int(size), pages * length - int(size)), QByteArray(pages * length - int(size), '\0'));
    QCOMPARE(chip.mid(pages * length), QByteArray(chip.size() - pages * length, char(0xFF)));
}

void WriteFileTest::tooLarge_data()
{
    QTest::addColumn<bool>("page256");
    QTest::newRow("256-byte pages") << true;
    QTest::newRow("264-byte pages") << false;
}

void WriteFileTest::tooLarge()
{
    QFETCH(bool, page256);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    const qint64 capacity = 2048 * (page256 ? 256 : 264);
    const QString path = writeInput(content(capacity + 1));
    const QString expected = QStringLiteral("The file is too large for the chip: %1 bytes, at most %2 fit!")
                                 .arg(capacity + 1)
                                 .arg(capacity);
    simchip::setFrameLog(true);
    QVERIFY(!AT45DB041D_CheckFile(QFile::encodeName(path).constData()));
    QCOMPARE(lastMessage, expected);
    QVERIFY(!AT45DB041D_WriteFile(QFile::encodeName(path).constData()));
    simchip::setFrameLog(false);
    QCOMPARE(lastMessage, expected);
    QCOMPARE(simchip::frames().size(), std::size_t(2)); // a status read each, nothing programmed
    simchip::clearFrames();
    QVERIFY(AT45DB041D_CheckFile(QFile::encodeName(writeInput(content(capacity))).constData()));
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
    QTest::addColumn<bool>("passesCheck"); // an empty file may be written: it only erases the chip
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("empty") << "empty" << true;
    QTest::newRow("a folder") << "folder" << false;
}

void WriteFileTest::unusableInput()
{
    QFETCH(QString, kind);
    QFETCH(bool, passesCheck);
    QVERIFY(attach(fastChip()));
    QString path = dir.filePath(QStringLiteral("nothing-here.bin"));
    if (kind == QLatin1String("empty"))
        path = writeInput(QByteArray());
    else if (kind == QLatin1String("folder"))
        path = dir.path();
    QCOMPARE(AT45DB041D_CheckFile(QFile::encodeName(path).constData()), passesCheck);
    QCOMPARE(lastMessage, passesCheck ? QString() : QStringLiteral("Failed to get the file size or file does not exist!"));
    simchip::setFrameLog(true);
    QVERIFY(!AT45DB041D_WriteFile(QFile::encodeName(path).constData()));
    simchip::setFrameLog(false);
    QCOMPARE(lastMessage, QStringLiteral("Failed to get the file size or file does not exist!"));
    QCOMPARE(simchip::frames().size(), std::size_t(1));
    simchip::clearFrames();
    std::uint64_t size = 77;
    QVERIFY(!GetFileSizeByName(QFile::encodeName(path).constData(), size));
    QCOMPARE(size, std::uint64_t(77));
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

// A file that yields fewer bytes than its size promised is not padded out
// with zeros and reported as written.
void WriteFileTest::fileShrinksWhileWriting()
{
    QVERIFY(attach(fastChip()));
    // Larger than the C library's read buffer, so later pages come from the file.
    const QString path = writeInput(content(64 * 264));
    simchip::setFrameHook([&path](const simchip::Frame& frame) {
        if (!frame.in.empty() && frame.in[0] == 0x83)
            QFile::resize(path, 300);
    });
    const bool written = AT45DB041D_WriteFile(QFile::encodeName(path).constData());
    simchip::setFrameHook(nullptr);
    QVERIFY(!written);
    QCOMPARE(lastMessage, QStringLiteral("Failed to read the input file!"));
}

void WriteFileTest::verifyFindsDifferences_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("page");
    QTest::newRow("cell stuck at 0") << "stuck" << 4;
    QTest::newRow("bit flipped on the data line") << "noise" << 2;
    QTest::newRow("file changed after writing") << "file" << 6;
    QTest::newRow("last page's padding overwritten") << "padding" << 9;
}

// What the chip holds is read back page by page; the first page that differs
// from the file is named.
void WriteFileTest::verifyFindsDifferences()
{
    QFETCH(QString, fault);
    QFETCH(int, page);
    simchip::Config config = fastChip();
    QByteArray data = content(9 * 264 + 100);
    data[4 * 264 + 10] = char(0x5A);
    if (fault == QLatin1String("stuck"))
        config.stuck = { 4, 10, 0x10 };
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
    }
    QVERIFY(!AT45DB041D_VerifyFile(name.constData()));
    QCOMPARE(lastMessage,
             QStringLiteral("Verification failed: page %1 does not hold what the file has there!").arg(page));
}

QTEST_GUILESS_MAIN(WriteFileTest)
#include "tst_writefile.moc"
