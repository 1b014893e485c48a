// The AT45DB041D driver against the simulated chip: status decoding, the ID
// check, connection, page addressing, page size, erase and bounded polls.
#include "at45db041d.h"
#include "loaderfile.h"
#include "simulated.h"
#include "testdata.h"

#include <QtTest>

#include <chrono>

using testing::attach;
using testing::fastChip;

namespace {

// Frames the chip took since the log was cleared, whose first byte is opcode.
std::vector<simchip::Frame> framesWith(std::uint8_t opcode)
{
    std::vector<simchip::Frame> matching;
    for (const simchip::Frame& frame : simchip::frames())
        if (!frame.in.empty() && frame.in[0] == opcode)
            matching.push_back(frame);
    return matching;
}

std::vector<std::uint8_t> pattern(unsigned length, unsigned seed)
{
    std::vector<std::uint8_t> data(length);
    for (unsigned i = 0; i < length; ++i)
        data[i] = static_cast<std::uint8_t>((i * 7 + seed * 31 + (i >> 3)) & 0xFF);
    return data;
}

} // namespace

class DataFlashTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void readStatus_data();
    void readStatus();
    void readId_data();
    void readId();
    void connect_data();
    void connect();
    void pageAddress_data();
    void pageAddress();
    void bufferWriteAndProgramFrames_data();
    void bufferWriteAndProgramFrames();
    void setBinaryPageSize();
    void setBinaryPageSizeAlready256();
    void setBinaryPageSizeFailures();
    void chipEraseWaitsForTheChip();
    void pollsEnd_data();
    void pollsEnd();
    void loaderWalk_data();
    void loaderWalk();
    void everyChipProbedAndAddressed();
};

void DataFlashTest::init()
{
    AT45DB_UseChip(*findDataFlashChipNamed("AT45DB041D"));
    testing::quickPolls();
    lastMessage.clear();
}

void DataFlashTest::readStatus_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("page256");
    QTest::addColumn<bool>("protect");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("raw");
    QTest::newRow("no chip: 0xFF fails the density check") << false << false << false << false << false << -1;
    QTest::newRow("ready, 256-byte pages: 0x9D") << true << true << false << false << true << 0x9D;
    QTest::newRow("ready, 264-byte pages: 0x9C") << true << false << false << false << true << 0x9C;
    QTest::newRow("busy, protected: 0x1E") << true << false << true << true << true << 0x1E;
}

void DataFlashTest::readStatus()
{
    QFETCH(bool, present);
    QFETCH(bool, page256);
    QFETCH(bool, protect);
    QFETCH(bool, busy);
    QFETCH(bool, ok);
    QFETCH(int, raw);
    simchip::Config config = fastChip();
    config.present = present;
    config.pageSize256 = page256;
    config.protect = protect;
    config.configureUs = 60000000; // a minute: stays busy for the whole test
    QVERIFY(attach(config));
    if (busy) { // the page-size command keeps the chip busy and is not blocked by protection
        LPT_SetChipSelect(false);
        for (std::uint8_t b : { 0x3D, 0x2A, 0x80, 0xA6 })
            LPT_SpiTransferByte(b);
        LPT_SetChipSelect(true);
        QVERIFY(simchip::busy());
    }

    DataFlashStatus st;
    st.ready = st.comp = st.protect = st.pageSize256 = 1;
    std::uint8_t byte = 0x55;
    QCOMPARE(AT45DB041D_ReadStatus(st, &byte), ok);
    QCOMPARE(int(byte), ok ? raw : 0x55); // not written on failure
    QCOMPARE(st.ready, ok ? ((raw >> 7) & 1) : 0);
    QCOMPARE(st.comp, ok ? ((raw >> 6) & 1) : 0);
    QCOMPARE(st.protect, ok ? ((raw >> 1) & 1) : 0);
    QCOMPARE(st.pageSize256, ok ? (raw & 1) : 0);
    QCOMPARE(AT45DB041D_ReadStatus(st), ok); // raw may be null
}

void DataFlashTest::readId_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message");
    QTest::newRow("AT45DB041D") << QByteArray::fromHex("1F240000") << true << QString();
    QTest::newRow("another maker") << QByteArray::fromHex("1E240000") << false << "Manufacturer isn't AMTEL!";
    QTest::newRow("another device") << QByteArray::fromHex("1F250000") << false << "Wrong family/device code!";
    QTest::newRow("extended info") << QByteArray::fromHex("1F240001") << false
                                   << "AT45DB041D_ReadManufactDevID: the 2 last bytes are wrong!";
    QTest::newRow("another revision") << QByteArray::fromHex("1F240100") << false
                                      << "AT45DB041D_ReadManufactDevID: the 2 last bytes are wrong!";
}

void DataFlashTest::readId()
{
    QFETCH(QByteArray, id);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    simchip::Config config = fastChip();
    std::copy(id.begin(), id.end(), config.id);
    QVERIFY(attach(config));
    lastMessage = QStringLiteral("stale");
    std::uint8_t out[4] = { 0xAA, 0xAA, 0xAA, 0xAA };
    QCOMPARE(AT45DB041D_ReadManufactDevID(out), ok);
    QCOMPARE(lastMessage, message);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 4),
             ok ? id : QByteArray::fromHex("AAAAAAAA"));
    QCOMPARE(AT45DB041D_ReadManufactDevID(nullptr), ok);
}

void DataFlashTest::connect_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("portBase");
    QTest::addColumn<bool>("protect");
    QTest::addColumn<bool>("page256");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message");
    const QByteArray good = QByteArray::fromHex("1F240000");
    QTest::newRow("264-byte pages") << true << 0x378 << false << false << good << true << QString();
    QTest::newRow("256-byte pages") << true << 0x378 << false << true << good << true << QString();
    QTest::newRow("no chip") << false << 0x378 << false << false << good << false
                             << "Failed to read the status byte!";
    QTest::newRow("wrong port") << true << 0x3BC << false << false << good << false
                                << "Failed to read the status byte!";
    QTest::newRow("protected") << true << 0x378 << true << false << good << false
                               << "Warning! Sector protection is enabled, I can't do anything.";
    QTest::newRow("wrong ID") << true << 0x378 << false << false << QByteArray::fromHex("1F240001") << false
                              << "Failed on ReadManufactDevId.";
}

void DataFlashTest::connect()
{
    QFETCH(bool, present);
    QFETCH(int, portBase);
    QFETCH(bool, protect);
    QFETCH(bool, page256);
    QFETCH(QByteArray, id);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    simchip::Config config = fastChip();
    config.present = present;
    config.protect = protect;
    config.pageSize256 = page256;
    std::copy(id.begin(), id.end(), config.id);
    QVERIFY(attach(config));
    lptBase = static_cast<std::int16_t>(portBase);
    simchip::setPortTrace(true);
    lastMessage = QStringLiteral("stale");
    QCOMPARE(AT45DB041D_Connect(), ok);
    QCOMPARE(lastMessage, message);
    simchip::setPortTrace(false);
    const std::vector<simchip::PortAccess> trace = simchip::portTrace();
    QVERIFY(!trace.empty());
    QCOMPARE(int(trace.front().value), 0x81); // the start pattern comes first
    QCOMPARE(int(trace.back().value), 0x01);  // and the chip is released at the end
    simchip::clearPortTrace();
}

void DataFlashTest::pageAddress_data()
{
    QTest::addColumn<quint32>("page");
    QTest::addColumn<bool>("page256");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<int>("landsOn");
    QTest::newRow("page 5, 256") << 5u << true << QByteArray::fromHex("000500") << 5;
    QTest::newRow("page 5, 264") << 5u << false << QByteArray::fromHex("000A00") << 5;
    QTest::newRow("page 2047, 264") << 2047u << false << QByteArray::fromHex("0FFE00") << 2047;
    QTest::newRow("page 2047, 256") << 2047u << true << QByteArray::fromHex("07FF00") << 2047;
    QTest::newRow("page 2048 is page 0, 264") << 2048u << false << QByteArray::fromHex("000000") << 0;
    QTest::newRow("page 2049 is page 1, 256") << 2049u << true << QByteArray::fromHex("000100") << 1;
}

void DataFlashTest::pageAddress()
{
    QFETCH(quint32, page);
    QFETCH(bool, page256);
    QFETCH(QByteArray, address);
    QFETCH(int, landsOn);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    simchip::setFrameLog(true);
    const std::vector<std::uint8_t> data = pattern(dataFlashPageLength(page256), page);
    QVERIFY(AT45DB041D_ProgramPage(page, data.data(), page256));
    const std::vector<simchip::Frame> programs = framesWith(0x83);
    QCOMPARE(programs.size(), std::size_t(1));
    QCOMPARE(testing::bytes(programs[0].in), QByteArray(1, char(0x83)) + address);
    QCOMPARE(simchip::page(landsOn), data);

    simchip::clearFrames();
    std::uint8_t readBack[kDataFlashMaxPageLength] = {};
    AT45DB041D_MainMemoryPageRead(page, readBack, page256);
    QCOMPARE(testing::bytes(simchip::frames().at(0).in).left(4), QByteArray(1, char(0xD2)) + address);
    QVERIFY(std::equal(data.begin(), data.end(), readBack));
    simchip::setFrameLog(false);
    simchip::clearFrames();
}

void DataFlashTest::bufferWriteAndProgramFrames_data()
{
    QTest::addColumn<bool>("page256");
    QTest::newRow("264-byte pages") << false;
    QTest::newRow("256-byte pages") << true;
}

// The page goes to buffer 1 in one selection (opcode, three address bytes,
// one page of data), then a second selection of four bytes programs it; the
// buffer reads back what was written.
void DataFlashTest::bufferWriteAndProgramFrames()
{
    QFETCH(bool, page256);
    simchip::Config config = fastChip();
    config.pageSize256 = page256;
    QVERIFY(attach(config));
    const unsigned length = dataFlashPageLength(page256);
    const std::vector<std::uint8_t> data = pattern(length, 3);
    simchip::setFrameLog(true);
    QVERIFY(AT45DB041D_ProgramPage(9, data.data(), page256));
    simchip::setFrameLog(false);
    const std::vector<simchip::Frame> frames = simchip::frames();
    QVERIFY(frames.size() >= 3);
    QCOMPARE(frames[0].in.size(), std::size_t(4 + length));
    QCOMPARE(testing::bytes(frames[0].in).left(4), QByteArray::fromHex("84000000"));
    QCOMPARE(testing::bytes(frames[0].in).mid(4), testing::bytes(data));
    QCOMPARE(frames[1].in.size(), std::size_t(4));
    QCOMPARE(int(frames[1].in[0]), 0x83);
    for (std::size_t i = 2; i < frames.size(); ++i) // then status polls only
        QCOMPARE(int(frames[i].in[0]), 0xD7);
    for (const simchip::Frame& frame : frames)
        QCOMPARE(frame.extraBits, 0u);
    simchip::clearFrames();

    std::uint8_t buffer[kDataFlashMaxPageLength] = {};
    AT45DB041D_Buffer1Read(buffer, page256); // the buffer still holds the page
    QVERIFY(std::equal(data.begin(), data.end(), buffer));
}

void DataFlashTest::setBinaryPageSize()
{
    QVERIFY(attach(fastChip()));
    simchip::setFrameLog(true);
    QVERIFY(AT45DB041D_SetBinaryPageSize());
    QCOMPARE(lastMessage, QString());
    const std::vector<simchip::Frame> configure = framesWith(0x3D);
    QCOMPARE(configure.size(), std::size_t(1));
    QCOMPARE(testing::bytes(configure[0].in), QByteArray::fromHex("3D2A80A6"));
    simchip::setFrameLog(false);
    simchip::clearFrames();
    // One-time register: programmed now, in force after the next power-up.
    QVERIFY(simchip::pageSizeConfigured());
    DataFlashStatus st;
    QVERIFY(AT45DB041D_ReadStatus(st));
    QCOMPARE(st.pageSize256, 0);
    simchip::powerCycle();
    QVERIFY(AT45DB041D_ReadStatus(st));
    QCOMPARE(st.pageSize256, 1);
}

void DataFlashTest::setBinaryPageSizeAlready256()
{
    simchip::Config config = fastChip();
    config.pageSize256 = true;
    QVERIFY(attach(config));
    simchip::setFrameLog(true);
    QVERIFY(AT45DB041D_SetBinaryPageSize());
    QCOMPARE(lastMessage, QStringLiteral("Your page size is already 256 B..."));
    const std::vector<simchip::Frame> frames = simchip::frames();
    QCOMPARE(frames.size(), std::size_t(1)); // the status read alone
    QCOMPARE(testing::bytes(frames[0].in), QByteArray::fromHex("D7FFFF")); // two status bytes that agree
    simchip::setFrameLog(false);
    simchip::clearFrames();
}

void DataFlashTest::setBinaryPageSizeFailures()
{
    simchip::Config config = fastChip();
    config.present = false;
    QVERIFY(attach(config));
    QVERIFY(!AT45DB041D_SetBinaryPageSize());
    QCOMPARE(lastMessage, QStringLiteral("Failed to read the status byte!"));
}

void DataFlashTest::chipEraseWaitsForTheChip()
{
    simchip::Config config = fastChip();
    config.chipEraseUs = 20000; // busy for a while: the poll must wait it out
    QVERIFY(attach(config));
    dataflashTiming.chipErase = { 1, 10000 };
    simchip::setPage(0, pattern(264, 1));
    simchip::setPage(2047, pattern(264, 2));
    lastMessage = QStringLiteral("stale");
    // A stop asked during the erase is acknowledged while the chip still
    // erases, once; the erase runs to its end.
    std::vector<bool> acknowledgedWhileBusy;
    DataFlashRun run;
    run.stopRequested = [] { return true; };
    run.stopDeferred = [&](unsigned) { acknowledgedWhileBusy.push_back(simchip::busy()); };
    QVERIFY(AT45DB041D_ChipErase(run));
    QCOMPARE(lastMessage, QString());
    QCOMPARE(acknowledgedWhileBusy, std::vector<bool> { true });
    QVERIFY(!simchip::busy());
    const std::vector<std::uint8_t> all = simchip::contents();
    QVERIFY(std::all_of(all.begin(), all.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

void DataFlashTest::pollsEnd_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("vanishes");
    QTest::addColumn<QString>("message");
    QTest::newRow("page size: chip vanishes") << "page size" << true
                                              << "The chip stopped answering after the page size change!";
    QTest::newRow("page size: chip stays busy") << "page size" << false
                                                << "Timed out waiting for the chip after the page size change!";
    QTest::newRow("erase: chip vanishes") << "erase" << true << "The chip stopped answering while erasing!";
    QTest::newRow("erase: chip stays busy") << "erase" << false << "Timed out waiting for the chip to finish erasing!";
    QTest::newRow("program: chip vanishes") << "program" << true
                                            << "The chip stopped answering while programming page 7!";
    QTest::newRow("program: chip stays busy") << "program" << false
                                              << "Timed out waiting for the chip to program page 7!";
    // Twenty unanswered reads back to back last well under the 30 ms that
    // mean a chip is gone.
    QTest::newRow("program: chip silent for 20 reads") << "program" << true << QString();
    // The process stopped for longer than the bound right after a busy read:
    // the chip, ready by then, is read once more and not failed.
    QTest::newRow("program: a stall past the bound after a busy read") << "program, stalled" << false << QString();
}

// A chip that stays busy runs into the poll's bound; one that vanishes (its
// status reads lose the density code) ends the wait long before the bound,
// which here is generous, and one that comes back after a short silence is
// waited for.
void DataFlashTest::pollsEnd()
{
    QFETCH(QString, operation);
    QFETCH(bool, vanishes);
    QFETCH(QString, message);
    simchip::Config config = fastChip();
    const long aMinute = 60000000;
    if (vanishes) // silent after the command (and, for a program, its buffer write)
        config.stopAfterCommands = operation == QLatin1String("erase") ? 1 : 2;
    const bool stalled = operation.endsWith(QLatin1String("stalled"));
    if (stalled)
        config.pageEraseProgramUs = 20000;
    else if (message.isEmpty())
        config.silentFrames = 20;
    else
        config.configureUs = config.chipEraseUs = config.pageEraseProgramUs = aMinute;
    QVERIFY(attach(config));
    const DataFlashPoll poll { 0, vanishes ? 5000u : 50u };
    dataflashTiming = { poll, poll, poll };
    const std::vector<std::uint8_t> data = pattern(264, 0);
    if (stalled) {
        // The driver gets control back after the first busy status read only
        // once the poll's bound and the program are both over.
        simchip::setFrameHook([&, stalledOnce = false](const simchip::Frame& frame) mutable {
            if (stalledOnce || frame.in.at(0) != 0xD7 || !frame.whileBusy)
                return;
            stalledOnce = true;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(poll.limitMs + 10);
            while (simchip::busy() || std::chrono::steady_clock::now() < until) {
            }
        });
    }
    simchip::setFrameLog(true);
    bool ok = true;
    if (operation == QLatin1String("page size"))
        ok = AT45DB041D_SetBinaryPageSize();
    else if (operation == QLatin1String("erase"))
        ok = AT45DB041D_ChipErase();
    else
        ok = AT45DB041D_ProgramPage(7, data.data(), false);
    simchip::setFrameLog(false);
    simchip::setFrameHook({});
    QCOMPARE(lastMessage, message);
    QCOMPARE(ok, message.isEmpty());
    // A chip that does not answer is only polled, never sent a command again.
    for (const simchip::Frame& frame : simchip::frames())
        QVERIFY(frame.answered || (!frame.in.empty() && frame.in[0] == 0xD7));
    simchip::clearFrames();
}

void DataFlashTest::loaderWalk_data()
{
    using namespace loaderfile;
    using testing::header16;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<unsigned>("defects");
    QTest::addColumn<bool>("final");
    QTest::addColumn<int>("needed"); // -1: the bytes' length and one header more
    const QByteArray first = header16(0x5001, 0xFFA00000, 0, 0);
    const QByteArray last = header16(0x8001, 0xFFA00000, 4, 0) + "boot";
    QTest::newRow("S-record") << QByteArray("S00600004844521B\nS9030000FC\n") << int(Kind::SRecord) << 0 << 0u
                              << false << 0;
    QTest::newRow("text") << QByteArray("boot.ldr\n") << int(Kind::Text) << 0 << 0u << false << 0;
    QTest::newRow("UTF-8 text") << QByteArray("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n") << int(Kind::Text) << 0 << 0u
                                << false << 0;
    QTest::newRow("a lone UTF-8 lead byte is no text") << QByteArray("boot\xC3") << int(Kind::Raw) << 0 << 0u << false
                                                       << 0;
    QTest::newRow("erased bytes are no BF53x file") << QByteArray(64, char(0xFF)) << int(Kind::Raw) << 0 << 0u << false
                                                    << 0;
    QTest::newRow("FIRST with FILL") << header16(0x4101, 0xFFA00000, 8, 0) + last << int(Kind::Loader) << 2
                                     << unsigned(kFirstWithFill) << true << 0;
    QTest::newRow("count not a multiple of 4") << first + header16(0x0001, 0xFFA00000, 6, 0) + "abcdef" + last
                                               << int(Kind::Loader) << 3 << unsigned(kMisaligned) << true << 0;
    const QByteArray unsigned16 = header16(0x0001, 0xFFA00000, 4, 0).replace(3, 1, "\xAC");
    QTest::newRow("no signature: the walk ends") << first + unsigned16 + last << int(Kind::Loader) << 2
                                                 << unsigned(kBadSignature | kBadChecksum) << false << 0;
    QTest::newRow("no FINAL block") << first + header16(0x0001, 0xFFA00000, 4, 0) + "boot" << int(Kind::Loader) << 2
                                    << 0u << false << -1;
    // A chip's first pages: the walk says how far it must read.
    QTest::newRow("a header cut short: needed whole") << first + last.left(7) << int(Kind::Loader) << 2
                                                      << unsigned(kPastEnd) << false << 32;
    QTest::newRow("a payload cut short: needed whole") << first + last.left(17) << int(Kind::Loader) << 2
                                                       << unsigned(kPastEnd) << false << 36;
}

// The walk through a loader file's headers, on bytes made from the
// published layout.
void DataFlashTest::loaderWalk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, kind);
    QFETCH(int, blocks);
    QFETCH(unsigned, defects);
    QFETCH(bool, final);
    QFETCH(int, needed);
    const loaderfile::Walk walk =
        loaderfile::walk(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    QCOMPARE(int(walk.kind), kind);
    QCOMPARE(int(walk.blocks.size()), blocks);
    QCOMPARE(walk.defects(), defects);
    QCOMPARE(walk.final, final);
    QCOMPARE(walk.defective(), kind == int(loaderfile::Kind::Loader) && (defects != 0 || !final));
    QCOMPARE(qlonglong(walk.needed), needed < 0 ? qlonglong(bytes.size() + 16) : qlonglong(needed));
    if (final)
        QCOMPARE(qlonglong(walk.imageLength), qlonglong(bytes.size()));
}

// Every row of the chip table is found by its ID and cross-checked with its
// status; its last page, in both page sizes where the chip has them in force,
// is reached through the chip's own address bits.
void DataFlashTest::everyChipProbedAndAddressed()
{
    for (std::size_t i = 0; i < kDataFlashChipCount; ++i) {
        const DataFlashChip& row = kDataFlashChips[i];
        for (const bool binary : { false, true }) {
            simchip::Config config = fastChip();
            config.chip = &row;
            std::copy(row.id, row.id + row.idLength, config.id);
            config.idLength = row.idLength;
            config.pageSize256 = binary;
            QVERIFY(attach(config));
            DataFlashInfo info;
            QVERIFY2(AT45DB_Probe(info), qPrintable(lastMessage));
            QCOMPARE(info.chip, &row);
            testing::quickPolls();
            const unsigned last = row.pages - 1;
            const std::vector<std::uint8_t> data(pageLengthOf(row, binary), std::uint8_t(i + binary));
            QVERIFY2(AT45DB041D_ProgramPage(last, data.data(), binary), qPrintable(lastMessage));
            QCOMPARE(simchip::page(last), data);
        }
    }
}

QTEST_GUILESS_MAIN(DataFlashTest)
#include "tst_dataflash.moc"
