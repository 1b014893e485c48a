// The parallel-port SPI link: library loading, line patterns and the byte
// transfer, observed at the port through the simulated chip's port trace.
#include "lpt.h"
#include "simchip.h"
#include "simulated.h"

#include <QtTest>

class PortLinkTest : public QObject {
    Q_OBJECT
private slots:
    void loadDriver_data();
    void loadDriver();
    void closedDriverIsRefused();
    void transferByte_data();
    void transferByte();
    void statusPortFollowsBase_data();
    void statusPortFollowsBase();
    void linePatterns();
    void noChipReadsUndriven();
    void blockTransfers_data();
    void blockTransfers();
};

void PortLinkTest::loadDriver_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<bool>("explained");
    QTest::newRow("platform's port library") << QString() << true << false;
    QTest::newRow("missing library") << QStringLiteral("/nonexistent/libinpout32.so") << false << false;
    QTest::newRow("library without Out32") << QStringLiteral(INP32_ONLY_LIBRARY) << false << true;
}

void PortLinkTest::loadDriver()
{
    QFETCH(QString, library);
    QFETCH(bool, loads);
    QFETCH(bool, explained);
    QVERIFY(testing::attach(testing::fastChip()));
    const bool loaded = library.isEmpty() ? LPT_LoadDriver() : LPT_LoadDriverFrom(library.toLocal8Bit().constData());
    QCOMPARE(loaded, loads);
    QCOMPARE(!LPT_DriverProblem().empty(), explained);
    QVERIFY(LPT_PortProblem().empty()); // nothing to say without a library that knows its ports
    LPT_UnloadDriver();
}

// A library reporting its port driver closed (inpout32 without its kernel
// driver) is refused with advice the user can act on.
void PortLinkTest::closedDriverIsRefused()
{
    simchip::Config config = testing::fastChip();
    config.driverOpen = false;
    QVERIFY(!testing::attach(config));
    // The advice of this platform: on Linux the drivers and the lp group, not an administrator.
    QVERIFY(QString::fromStdString(LPT_DriverProblem()).contains(QLatin1String("the lp group")));
    config.driverOpen = true;
    QVERIFY(testing::attach(config));
    QVERIFY(LPT_DriverProblem().empty());
}

void PortLinkTest::transferByte_data()
{
    QTest::addColumn<int>("out");
    QTest::addColumn<int>("reply");
    QTest::newRow("zeros in, ones out") << 0x00 << 0xFF;
    QTest::newRow("ones in, zeros out") << 0xFF << 0x00;
    QTest::newRow("alternating") << 0xA5 << 0x5A;
    QTest::newRow("mixed") << 0x3C << 0x81;
}

// One byte is 24 data-register writes and 8 status reads, MSB first: data set
// up with the clock low, clock high, sample, clock low, chip held selected.
void PortLinkTest::transferByte()
{
    QFETCH(int, out);
    QFETCH(int, reply);
    simchip::Config config = testing::fastChip();
    config.id[0] = static_cast<std::uint8_t>(reply);
    QVERIFY(testing::attach(config));

    LPT_SetChipSelect(false);
    LPT_SpiTransferByte(0x9F); // ID read: the chip answers with id[0]
    simchip::setPortTrace(true);
    const std::uint8_t received = LPT_SpiTransferByte(static_cast<std::uint8_t>(out));
    simchip::setPortTrace(false);
    LPT_SetChipSelect(true);
    QCOMPARE(int(received), reply);

    const std::vector<simchip::PortAccess> trace = simchip::portTrace();
    QCOMPARE(trace.size(), std::size_t(32));
    for (int bit = 7; bit >= 0; --bit) {
        const std::size_t at = std::size_t(7 - bit) * 4;
        const std::uint8_t data = (out >> bit) & 1 ? 0x04 : 0x00;
        const simchip::PortAccess expected[4] = {
            { true, 0x378, data }, { true, 0x378, std::uint8_t(data | 0x02) },
            { false, 0x379, 0 }, { true, 0x378, data } };
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(trace[at + i].write, expected[i].write);
            QCOMPARE(trace[at + i].port, expected[i].port);
            if (expected[i].write)
                QCOMPARE(int(trace[at + i].value), int(expected[i].value));
        }
    }
    simchip::clearPortTrace();
}

void PortLinkTest::statusPortFollowsBase_data()
{
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("statusPort");
    QTest::newRow("LPT1") << 0x378 << 0x379;
    QTest::newRow("LPT2") << 0x3BC << 0x3BD;
    QTest::newRow("PCI card") << 0xD100 << 0xD101;
    QTest::newRow("wraps at 16 bits") << 0xFFFF << 0x0000;
}

void PortLinkTest::statusPortFollowsBase()
{
    QFETCH(int, base);
    QFETCH(int, statusPort);
    simchip::Config config = testing::fastChip();
    config.base = static_cast<std::uint16_t>(base);
    QVERIFY(testing::attach(config));
    simchip::setPortTrace(true);
    LPT_SetChipSelect(false);
    LPT_SpiTransferByte(0xD7);
    const std::uint8_t status = LPT_SpiTransferByte(0xFF);
    LPT_SetChipSelect(true);
    simchip::setPortTrace(false);
    QCOMPARE(int(status), 0x9C); // ready, 4-Mbit density, 264-byte pages
    for (const simchip::PortAccess& access : simchip::portTrace())
        QCOMPARE(int(access.port), access.write ? base : statusPort);
    simchip::clearPortTrace();
}

void PortLinkTest::linePatterns()
{
    QVERIFY(testing::attach(testing::fastChip()));
    simchip::setPortTrace(true);
    LPT_WriteStartPattern();
    LPT_SetChipSelect(true);
    LPT_SetChipSelect(false);
    simchip::setPortTrace(false);
    const std::vector<simchip::PortAccess> trace = simchip::portTrace();
    QCOMPARE(trace.size(), std::size_t(3));
    QCOMPARE(int(trace[0].value), 0x81); // D7 and CS# high
    QCOMPARE(int(trace[1].value), 0x01); // released, D7 cleared
    QCOMPARE(int(trace[2].value), 0x00); // selected
    simchip::clearPortTrace();
    LPT_SetChipSelect(true);
}

void PortLinkTest::noChipReadsUndriven()
{
    simchip::Config config = testing::fastChip();
    config.present = false;
    QVERIFY(testing::attach(config));
    LPT_SetChipSelect(false);
    QCOMPARE(int(LPT_SpiTransferByte(0xD7)), 0xFF);
    QCOMPARE(int(LPT_SpiTransferByte(0xFF)), 0xFF);
    LPT_SetChipSelect(true);
}

void PortLinkTest::blockTransfers_data()
{
    QTest::addColumn<bool>("page256");
    QTest::newRow("256-byte buffer") << true;
    QTest::newRow("264-byte buffer") << false;
}

// Every byte value through the block transfers: into buffer 1 in one frame,
// back out in another. Two data-register writes per bit out, two writes and
// one status read per bit in; SI never changes on a rising clock edge, and
// chip select is released with the clock low.
void PortLinkTest::blockTransfers()
{
    QFETCH(bool, page256);
    simchip::Config config = testing::fastChip();
    config.pageSize256 = page256;
    QVERIFY(testing::attach(config));
    const std::size_t length = page256 ? 256 : 264;
    std::vector<std::uint8_t> write = { 0x84, 0x00, 0x00, 0x00 };
    for (std::size_t i = 0; i < length; ++i)
        write.push_back(static_cast<std::uint8_t>(i * 167 + 13)); // 167 is odd: all 256 values
    const std::uint8_t read[5] = { 0xD4, 0x00, 0x00, 0x00, 0x00 };
    std::vector<std::uint8_t> back(length, 0);

    simchip::setPortTrace(true);
    LPT_SetChipSelect(false);
    LPT_SpiWriteBytes(write.data(), write.size());
    LPT_SetChipSelect(true);
    const std::size_t writeAccesses = simchip::portTrace().size();
    LPT_SetChipSelect(false);
    LPT_SpiWriteBytes(read, sizeof read);
    LPT_SpiReadBytes(back.data(), back.size());
    LPT_SetChipSelect(true);
    simchip::setPortTrace(false);

    QCOMPARE(testing::bytes(back), testing::bytes(write).mid(4));
    const std::vector<simchip::PortAccess> trace = simchip::portTrace();
    QCOMPARE(writeAccesses, 2 + write.size() * 16);
    QCOMPARE(trace.size() - writeAccesses, 2 + sizeof read * 16 + length * 24);
    std::size_t statusReads = 0;
    std::uint8_t lines = 0x01;
    for (const simchip::PortAccess& access : trace) {
        if (!access.write) {
            ++statusReads;
            QCOMPARE(int(access.port), 0x379);
            continue;
        }
        QCOMPARE(int(access.port), 0x378);
        const bool rising = !(lines & 0x02) && (access.value & 0x02);
        if (rising)
            QCOMPARE(access.value & 0x05, lines & 0x05); // SI and CS# steady through the edge
        if ((access.value & 0x01) != (lines & 0x01))
            QCOMPARE(access.value & 0x02, 0); // chip select changes with the clock low
        lines = access.value;
    }
    QCOMPARE(statusReads, length * 8);
    simchip::clearPortTrace();
}

QTEST_GUILESS_MAIN(PortLinkTest)
#include "tst_portlink.moc"
