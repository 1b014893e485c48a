// The Linux port library's lookup of a parallel port by base address, on a
// made-up /proc and /dev, and the texts it gives the user.
#include "parport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

class ParportTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void listsThePortsTheKernelKnows();
    void findsPortByBase_data();
    void findsPortByBase();
    void noPortAtTellsWhatThereIs();
    void usability_data();
    void usability();
    void openErrorsSayWhatToDo_data();
    void openErrorsSayWhatToDo();

private:
    QString proc() const { return dir.filePath(QStringLiteral("proc")); }
    void addPort(const QString& name, const QByteArray& baseAddr);
    QTemporaryDir dir;
};

void ParportTest::addPort(const QString& name, const QByteArray& baseAddr)
{
    const QString folder = proc() + QStringLiteral("/sys/dev/parport/") + name;
    QVERIFY(QDir().mkpath(folder));
    if (baseAddr.isNull())
        return;
    QFile file(folder + QStringLiteral("/base-addr"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(baseAddr);
}

void ParportTest::initTestCase()
{
    QVERIFY(dir.isValid());
    addPort(QStringLiteral("parport1"), "53504\t0\n"); // a PCI card at D100
    addPort(QStringLiteral("parport0"), "888\t1912\n"); // LPT1 at 378, ECP registers at 778
    addPort(QStringLiteral("default"), QByteArray());
    addPort(QStringLiteral("parport3"), "not a number\n");
    addPort(QStringLiteral("parportx"), "956\t0\n");
}

void ParportTest::listsThePortsTheKernelKnows()
{
    const std::vector<parport::Port> ports = parport::listPorts(proc().toStdString());
    QCOMPARE(ports.size(), std::size_t(2));
    QCOMPARE(ports[0].number, 0);
    QCOMPARE(ports[0].base, 0x378u);
    QCOMPARE(ports[1].number, 1);
    QCOMPARE(ports[1].base, 0xD100u);
    QVERIFY(parport::listPorts(dir.filePath(QStringLiteral("nowhere")).toStdString()).empty());
}

void ParportTest::findsPortByBase_data()
{
    QTest::addColumn<uint>("base");
    QTest::addColumn<int>("number");
    QTest::newRow("LPT1") << 0x378u << 0;
    QTest::newRow("PCI card") << 0xD100u << 1;
    QTest::newRow("absent LPT2") << 0x3BCu << -1;
    QTest::newRow("ECP registers are not a base") << 0x778u << -1;
}

void ParportTest::findsPortByBase()
{
    QFETCH(uint, base);
    QFETCH(int, number);
    const std::vector<parport::Port> ports = parport::listPorts(proc().toStdString());
    const parport::Port* port = parport::findPort(ports, base);
    QCOMPARE(port ? port->number : -1, number);
    if (port)
        QCOMPARE(QString::fromStdString(parport::devicePath("/dev", *port)), QStringLiteral("/dev/parport%1").arg(number));
}

void ParportTest::noPortAtTellsWhatThereIs()
{
    const std::vector<parport::Port> ports = parport::listPorts(proc().toStdString());
    QCOMPARE(QString::fromStdString(parport::noPortAtText(0x3BC, ports)),
             QStringLiteral("No parallel port at address 0x3BC. This PC has: 0x378 (parport0) 0xD100 (parport1)."));
    QCOMPARE(parport::noPortAtText(0x3BC, {}), parport::noPortsText());
}

void ParportTest::usability_data()
{
    QTest::addColumn<bool>("withPorts");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("problemMentions");
    QTest::newRow("no ports") << false << QStringList() << false << "No parallel port found";
    QTest::newRow("no ppdev devices") << true << QStringList() << false << "sudo modprobe ppdev";
    QTest::newRow("second port's device") << true << QStringList { "parport1" } << true << QString();
}

void ParportTest::usability()
{
    QFETCH(bool, withPorts);
    QFETCH(QStringList, devices);
    QFETCH(bool, usable);
    QFETCH(QString, problemMentions);
    QTemporaryDir dev;
    for (const QString& device : devices) {
        QFile file(dev.filePath(device));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const std::string procRoot = withPorts ? proc().toStdString() : dev.path().toStdString();
    std::string problem;
    QCOMPARE(parport::anyPortUsable(procRoot, dev.path().toStdString(), problem), usable);
    if (!usable)
        QVERIFY2(QString::fromStdString(problem).contains(problemMentions), problem.c_str());
}

void ParportTest::openErrorsSayWhatToDo_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("advice");
    QTest::newRow("permission") << EACCES << "Add your user to the lp group";
    QTest::newRow("no device") << ENOENT << "sudo modprobe ppdev";
    QTest::newRow("busy") << EBUSY << "/dev/parport0: ";
}

void ParportTest::openErrorsSayWhatToDo()
{
    QFETCH(int, error);
    QFETCH(QString, advice);
    const QString text = QString::fromStdString(parport::openErrorText("/dev/parport0", error));
    QVERIFY2(text.startsWith(QLatin1String("Cannot open /dev/parport0")), qPrintable(text));
    QVERIFY2(text.contains(advice), qPrintable(text));
}

QTEST_GUILESS_MAIN(ParportTest)
#include "tst_parport.moc"
