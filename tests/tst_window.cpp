// The programming window against the simulated chip: the form, settings, the
// port address, file choice and the whole write sequence.
#include "mainwindow.h"

#include "at45db041d.h"
#include "dialogs.h"
#include "lpt.h"
#include "platform.h"
#include "simulated.h"
#include "windowharness.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void captureDebug(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtDebugMsg && text.startsWith(QLatin1String("Will write with params: ")))
        debugLines << text;
    else if (previousHandler)
        previousHandler(type, context, text);
}

} // namespace

using windowharness::fileDialogAnswer;
using windowharness::fileDialogRequest;
using windowharness::messages;
using windowharness::store;

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void form_data();
    void form();
    void windowProperties();
    void firstRunDefaults();
    void typedAddress_data();
    void typedAddress();
    void incompleteAddressIsNotStored();
    void storedBadAddress();
    void fileChoice_data();
    void fileChoice();
    void writeSucceeds_data();
    void writeSucceeds();
    void writeFails_data();
    void writeFails();
    void secondPressSkipsLoading();
    void closedPortDriver();
    void inputsDisabledDuringRun();
    void debugLine_data();
    void debugLine();
    void nonAsciiPath();
    void problemBox();

private:
    std::unique_ptr<MainWindow> openWindow();
    template <typename T> T* widget(const char* name) { return window->findChild<T*>(QLatin1String(name)); }
    QString inputFile(const QByteArray& data, const QString& name = QStringLiteral("boot.ldr"));
    void press();

    std::unique_ptr<MainWindow> window;
    windowharness::StatusRecorder status;
    QTemporaryDir dir;
};

void WindowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true); // keep the user's real settings out of reach
    previousHandler = qInstallMessageHandler(captureDebug);
    windowharness::recordDialogs();
    QVERIFY(dir.isValid());
}

void WindowTest::init()
{
    store().clear();
    messages.clear();
    debugLines.clear();
    fileDialogRequest.clear();
    fileDialogAnswer.clear();
    testing::quickPolls();
    QVERIFY(testing::attach(testing::fastChip()));
    portDriverLoaded = true;
    lptBase = 0;
}

void WindowTest::cleanup()
{
    simchip::setFrameHook(nullptr);
    window.reset();
    status.shown.clear();
}

std::unique_ptr<MainWindow> WindowTest::openWindow()
{
    auto opened = std::make_unique<MainWindow>();
    opened->show();
    opened->findChild<QLabel*>(QStringLiteral("labelStatus"))->installEventFilter(&status);
    QCoreApplication::processEvents();
    return opened;
}

QString WindowTest::inputFile(const QByteArray& data, const QString& name)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return QString();
    return path;
}

void WindowTest::press()
{
    status.shown.clear();
    widget<QPushButton>("btnWrite")->click();
}

void WindowTest::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::newRow("label") << "label" << "QLabel" << QRect(10, 10, 81, 16) << "LPT address: 0x";
    QTest::newRow("label_2") << "label_2" << "QLabel" << QRect(10, 40, 71, 16) << "Path to file:";
    QTest::newRow("lineEdit") << "lineEdit" << "QLineEdit" << QRect(92, 7, 113, 20) << "378";
    QTest::newRow("labelPath") << "labelPath" << "QLabel" << QRect(94, 40, 211, 16) << "C:/";
    QTest::newRow("btnPath") << "btnPath" << "QPushButton" << QRect(320, 35, 75, 23) << "Select";
    QTest::newRow("progressBar") << "progressBar" << "QProgressBar" << QRect(10, 100, 381, 23) << QString();
    QTest::newRow("btnWrite") << "btnWrite" << "QPushButton" << QRect(163, 130, 75, 23) << "Write";
    QTest::newRow("labelStatus") << "labelStatus" << "QLabel" << QRect(10, 80, 261, 16) << "status:";
}

void WindowTest::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    window = openWindow();
    QWidget* child = window->findChild<QWidget*>(name);
    QVERIFY(child);
    QCOMPARE(QString::fromLatin1(child->metaObject()->className()), className);
    QCOMPARE(child->parentWidget(), window->centralWidget());
    QCOMPARE(child->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(child))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QPushButton*>(child))
        QCOMPARE(button->text(), text);
    else if (auto* edit = qobject_cast<QLineEdit*>(child))
        QCOMPARE(edit->text(), text);
}

void WindowTest::windowProperties()
{
    window = openWindow();
    QCOMPARE(window->windowTitle(), QStringLiteral("Pagekiln"));
    QCOMPARE(window->size(), QSize(400, 163));
    QCOMPARE(window->minimumSize(), QSize(400, 163)); // not resizable
    QCOMPARE(window->maximumSize(), QSize(400, 163));
    QCOMPARE(window->toolButtonStyle(), Qt::ToolButtonTextOnly);
    QVERIFY(!window->windowIcon().isNull());
    const QImage icon(QStringLiteral(":/chip.png"));
    QCOMPARE(icon.size(), QSize(128, 128));
    QVERIFY(icon.hasAlphaChannel());

    QVERIFY(widget<QLineEdit>("lineEdit")->inputMask().startsWith(QLatin1String("HHhhh")));
    QCOMPARE(widget<QLabel>("labelPath")->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QProgressBar* progress = widget<QProgressBar>("progressBar");
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 4);
    QCOMPARE(progress->value(), 0);

    const QMetaObject* meta = window->metaObject();
    QCOMPARE(QString::fromLatin1(meta->className()), QStringLiteral("MainWindow"));
    QStringList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        QCOMPARE(meta->method(i).access(), QMetaMethod::Private);
        slotNames << QString::fromLatin1(meta->method(i).methodSignature());
    }
    QCOMPARE(slotNames, QStringList({ "on_btnPath_clicked()", "on_lineEdit_editingFinished()", "on_btnWrite_clicked()" }));
}

void WindowTest::firstRunDefaults()
{
    window = openWindow();
    QCOMPARE(widget<QLineEdit>("lineEdit")->text(), QStringLiteral("378"));
    QCOMPARE(widget<QLabel>("labelPath")->text(), QStringLiteral("C:/"));
    QCOMPARE(int(lptBase), 0x378);
    QVERIFY(messages.empty());
}

void WindowTest::typedAddress_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("base");
    QTest::newRow("LPT2") << "3BC" << 0x3BC;
    QTest::newRow("PCI card") << "D100" << int(std::int16_t(0xD100));
    QTest::newRow("five digits keep the low 16 bits") << "FFFFF" << -1;
}

void WindowTest::typedAddress()
{
    QFETCH(QString, typed);
    QFETCH(int, base);
    window = openWindow();
    QLineEdit* edit = widget<QLineEdit>("lineEdit");
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, typed);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(int(lptBase), base);
    QCOMPARE(store().value(QStringLiteral("lpt_address")).toString(), typed);
    QCOMPARE(store().value(QStringLiteral("file_path")).toString(), QStringLiteral("C:/"));

    window.reset();
    lptBase = 0;
    window = openWindow(); // restored at the next start
    QCOMPARE(widget<QLineEdit>("lineEdit")->text(), typed);
    QCOMPARE(int(lptBase), base);
}

// One digit does not satisfy the mask: no editing-finished, nothing stored.
void WindowTest::incompleteAddressIsNotStored()
{
    window = openWindow();
    QLineEdit* edit = widget<QLineEdit>("lineEdit");
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("7zq"));
    QCOMPARE(edit->text(), QStringLiteral("7"));
    QTest::keyClick(edit, Qt::Key_Return);
    QVERIFY(!store().contains(QStringLiteral("lpt_address")));
    QCOMPARE(int(lptBase), 0x378);
}

void WindowTest::storedBadAddress()
{
    store().setValue(QStringLiteral("lpt_address"), QStringLiteral("zz"));
    window = openWindow();
    QCOMPARE(messages.size(), std::size_t(1));
    QCOMPARE(messages[0].icon, QMessageBox::Warning);
    QCOMPARE(messages[0].title, QStringLiteral("Problem"));
    QCOMPARE(messages[0].text,
             QStringLiteral("Failed to convert the LPT address from 'zz' to number!\nCommunication won't work!"));
    QVERIFY(!messages[0].parentVisible); // before the window is shown
    QCOMPARE(int(lptBase), 0);
}

void WindowTest::fileChoice_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("cancelled") << QString();
    QTest::newRow("chosen") << "/boards/bf537/boot.ldr";
}

void WindowTest::fileChoice()
{
    QFETCH(QString, answer);
    const QString previous = QStringLiteral("/boards/old/u-boot.bin");
    store().setValue(QStringLiteral("file_path"), previous);
    window = openWindow();
    fileDialogAnswer = answer;
    QTest::mouseClick(widget<QPushButton>("btnPath"), Qt::LeftButton);
    QCOMPARE(fileDialogRequest, QStringList({ "Select file", QString(),
                                              "Binary file (*.bin);;Loader file (*.ldr);;All files (*.*)" }));
    const QString expected = answer.isEmpty() ? previous : answer;
    QCOMPARE(widget<QLabel>("labelPath")->text(), expected);
    QCOMPARE(store().value(QStringLiteral("file_path")).toString(), expected);
    window.reset();
    window = openWindow();
    QCOMPARE(widget<QLabel>("labelPath")->text(), expected);
}

void WindowTest::writeSucceeds_data()
{
    QTest::addColumn<bool>("page256");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("replaced"); // the file is replaced on disk while the chip erases
    QTest::newRow("chip already in 256-byte pages") << true << 1000 << false;
    QTest::newRow("chip in 264-byte pages") << false << 1000 << false;
    // The page size in force decides what fits: 264-byte pages until the
    // board is power-cycled.
    QTest::newRow("too big for 256-byte pages, fits the 264-byte pages in force") << false << 2048 * 256 + 1 << false;
    // What was checked before the erase is what is written.
    QTest::newRow("file replaced during the erase") << true << 1000 << true;
}

void WindowTest::writeSucceeds()
{
    QFETCH(bool, page256);
    QFETCH(int, size);
    QFETCH(bool, replaced);
    simchip::Config config = testing::fastChip();
    config.pageSize256 = page256;
    QVERIFY(testing::attach(config));
    QByteArray data(size, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 37 + 5);
    const QString path = inputFile(data);
    store().setValue(QStringLiteral("file_path"), path);
    simchip::setPage(2040, std::vector<std::uint8_t>(264, 0x00)); // past the file: must be erased by the run
    if (replaced) {
        simchip::setFrameHook([this](const simchip::Frame& frame) {
            if (!frame.in.empty() && frame.in[0] == 0xC7)
                inputFile(QByteArray(3000, 'r'));
        });
    }
    window = openWindow();
    simchip::setFrameLog(true);
    press();
    simchip::setFrameLog(false);

    QCOMPARE(widget<QLabel>("labelStatus")->text(), QStringLiteral("Done."));
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 4);
    QCOMPARE(status.shown, QStringList({ "Starting the communication...", "Setting page size to 256B...",
                                         "Erasing chip...", "Writing data to flash...", "Done." }));
    const int length = page256 ? 256 : 264;
    const int padding = (size + length - 1) / length * length - size;
    const QByteArray chip = testing::bytes(simchip::contents());
    QCOMPARE(chip.left(data.size()), data);
    QCOMPARE(chip.mid(data.size(), padding), QByteArray(padding, '\0'));
    QCOMPARE(testing::bytes(simchip::page(2040)), QByteArray(length, char(0xFF)));

    bool configured = false;
    for (const simchip::Frame& frame : simchip::frames())
        configured = configured || testing::bytes(frame.in) == QByteArray::fromHex("3D2A80A6");
    simchip::clearFrames();
    QCOMPARE(configured, !page256);
    PlatformPortLock second = kNoPortLock;
    std::string why;
    QVERIFY(platformLockPort(0x378, second, why) == PortLockOutcome::heldElsewhere); // the window keeps its port
    if (page256) {
        QVERIFY(messages.empty());
    } else {
        QCOMPARE(messages.size(), std::size_t(1));
        QCOMPARE(messages[0].icon, QMessageBox::Information);
        QCOMPARE(messages[0].title, QStringLiteral("Notice"));
        QCOMPARE(messages[0].text,
                 QStringLiteral("The file was written in 264-byte pages. The chip is now set to 256-byte pages, "
                                "which takes effect after a power cycle: switch the board off and on, then press "
                                "Write again."));
    }
    QVERIFY(widget<QPushButton>("btnWrite")->isEnabled());
}

void WindowTest::writeFails_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("protect");
    QTest::addColumn<bool>("page256");
    QTest::addColumn<long>("stopAfter");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<int>("progress");
    QTest::addColumn<QString>("problem");
    const QString noFile = QStringLiteral("Failed to get the file size or file does not exist!");
    QTest::newRow("no chip") << false << false << false << -1L << "" << "Failed to start communication!" << 0
                             << "Failed to read the status byte!";
    QTest::newRow("protected chip") << true << true << false << -1L << "" << "Failed to start communication!" << 0
                                    << "Warning! Sector protection is enabled, I can't do anything.";
    QTest::newRow("port in use by another program") << true << false << false << -1L << "port in use"
                                                    << "Failed to start communication!" << 0
                                                    << "Port 278 is in use by another Pagekiln program.";
    QTest::newRow("incomplete address entry") << true << false << false << -1L << "incomplete address" << "status:"
                                              << 0
                                              << "The LPT address '3' is incomplete: enter two to five hexadecimal "
                                                 "digits (378 for LPT1). Nothing was sent to the port.";
    QTest::newRow("chip vanishes after the page size change") << true << false << false << 4L << ""
                                                              << "Setting page size to 256B failed!" << 1
                                                              << "The chip stopped answering after the page size change!";
    // connect 2 frames, page size 3, file check 1, lockdown 5, erase command
    // and the status read that sees it run 2: silent during the erase
    QTest::newRow("chip vanishes while erasing") << true << false << false << 13L << "" << "Erasing chip failed!" << 2
                                                 << "The chip stopped answering while erasing!";
    // connect 2, page size 1, file check 1, lockdown 5, erase 3, status 1,
    // two pages of 3, then page 2's buffer write and program
    QTest::newRow("chip vanishes while writing") << true << false << true << 21L << "" << "Writing data failed!" << 3
                                                 << "The chip stopped answering while programming page 2!";
    // A file that cannot be written is found before the chip is erased.
    QTest::newRow("file deleted after selection") << true << false << false << -1L << "deleted"
                                                  << "Writing data failed!" << 2 << noFile;
    QTest::newRow("empty file") << true << false << false << -1L << "empty" << "Writing data failed!" << 2 << noFile;
    QTest::newRow("a folder") << true << false << false << -1L << "folder" << "Writing data failed!" << 2 << noFile;
    QTest::newRow("a named pipe") << true << false << false << -1L << "pipe" << "Writing data failed!" << 2 << noFile;
    QTest::newRow("unreadable file") << true << false << false << -1L << "unreadable" << "Writing data failed!" << 2
                                     << noFile;
    QTest::newRow("one byte too big for 256-byte pages") << true << false << true << -1L << "too big"
                                                         << "Writing data failed!" << 2
                                                         << "The file is too large for the chip: 524289 bytes, at "
                                                            "most 524288 fit!";
    QTest::newRow("one byte too big for the 264-byte pages in force") << true << false << false << -1L << "too big"
                                                                      << "Writing data failed!" << 2
                                                                      << "The file is too large for the chip: "
                                                                         "540673 bytes, at most 540672 fit!";
    // Read back after writing: what did not land is not called done.
    QTest::newRow("bit flipped on the data line") << true << false << true << -1L << "noise" << "Writing data failed!"
                                                  << 3
                                                  << "Verification failed: page 2 does not hold what the file has "
                                                     "there!";
    QTest::newRow("cell stuck at 0") << true << false << true << -1L << "stuck" << "Writing data failed!" << 3
                                     << "Verification failed: page 1 does not hold what the file has there!";
    // The pages after the file are proven erased before "Done.".
    QTest::newRow("a page after the file that does not erase")
        << true << false << false << -1L << "stuck after" << "Writing data failed!" << 3
        << "Page 600 does not match the file after programming: the flash did not take it (a worn or damaged chip)! "
           "The chip holds the file, proven, in pages 0 to 4; page 600 after it is not erased; run write again.";
    // Found before the erase: the board keeps its old image.
    QTest::newRow("a sector after the file locked down")
        << true << false << false << -1L << "locked after" << "Erasing chip failed!" << 2
        << "Sectors 3 after the file are locked down for good: the erase cannot clear them, so they would keep the "
           "old data they hold; nothing on the chip was changed. Accept them as they are (pagekiln-cli write "
           "--keep-locked), or use another chip!";
}

void WindowTest::writeFails()
{
    QFETCH(bool, present);
    QFETCH(bool, protect);
    QFETCH(bool, page256);
    QFETCH(long, stopAfter);
    QFETCH(QString, fault);
    QFETCH(QString, statusText);
    QFETCH(int, progress);
    QFETCH(QString, problem);
    simchip::Config config = testing::fastChip();
    config.present = present;
    config.protect = protect;
    config.pageSize256 = page256;
    config.stopAfterCommands = stopAfter;
    if (fault == QLatin1String("noise"))
        config.noise = { 2, 7, 0x10, 1 }; // page 2's buffer write
    else if (fault == QLatin1String("stuck"))
        config.stuck = { 1, 3, 0x08 };    // 'x' is 0x78: bit 3 set
    else if (fault == QLatin1String("stuck after"))
        config.stuck = { 600, 0, 0x01 };
    else if (fault == QLatin1String("locked after"))
        config.lockdown[3] = 0xFF;        // pages 768 to 1023
    // Another program holds port 278, the one the window is set to.
    struct HeldPort {
        PlatformPortLock lock = kNoPortLock;
        ~HeldPort() { platformUnlockPort(lock); }
    } otherProgram;
    if (fault == QLatin1String("port in use")) {
        config.base = 0x278;
        store().setValue(QStringLiteral("lpt_address"), QStringLiteral("278"));
        std::string why;
        QVERIFY(platformLockPort(0x278, otherProgram.lock, why) == PortLockOutcome::taken);
    }
    QVERIFY(testing::attach(config));
    const int size = fault == QLatin1String("too big") ? 2048 * (page256 ? 256 : 264) + 1 : 5 * 264;
    QString path = inputFile(QByteArray(size, 'x'));
    if (fault == QLatin1String("deleted"))
        QVERIFY(QFile::remove(path));
    else if (fault == QLatin1String("empty"))
        path = inputFile(QByteArray());
    else if (fault == QLatin1String("folder"))
        path = dir.path();
    else if (fault == QLatin1String("pipe")) {
        path = dir.filePath(QStringLiteral("pipe.ldr"));
        QFile::remove(path);
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (fault == QLatin1String("unreadable")) {
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("this user reads files whatever their permissions (root)");
    }
    store().setValue(QStringLiteral("file_path"), path);
    // The board's old image, which a run that fails before the erase keeps.
    const std::vector<std::uint8_t> oldImage(264, 0x42);
    simchip::setPage(0, oldImage);
    simchip::setPage(600, oldImage);
    window = openWindow();
    if (fault == QLatin1String("incomplete address")) // the stored 378 is not what the field shows
        widget<QLineEdit>("lineEdit")->setText(QStringLiteral("3"));
    press();
    QCOMPARE(widget<QLabel>("labelStatus")->text(), statusText);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), progress);
    QCOMPARE(messages.size(), std::size_t(1));
    QCOMPARE(messages[0].icon, QMessageBox::Warning);
    QCOMPARE(messages[0].title, QStringLiteral("Problem"));
    QCOMPARE(messages[0].text, problem);
    const bool eraseStarted = progress >= 3 || (statusText == QLatin1String("Erasing chip failed!") && stopAfter >= 0);
    if (present && !eraseStarted) {
        QCOMPARE(simchip::physicalPage(0), oldImage);
        QCOMPARE(simchip::physicalPage(600), oldImage);
    }
    if (fault == QLatin1String("port in use") || fault == QLatin1String("incomplete address"))
        QCOMPARE(simchip::portAccesses(), std::uint64_t(0)); // the port was not touched
    for (const char* input : { "btnWrite", "btnPath", "lineEdit" })
        QVERIFY2(widget<QWidget>(input)->isEnabled(), input);
}

void WindowTest::secondPressSkipsLoading()
{
    portDriverLoaded = false;
    store().setValue(QStringLiteral("file_path"), inputFile("abc"));
    window = openWindow();
    press();
    QCOMPARE(status.shown.value(0), QStringLiteral("Loading dll..."));
    QCOMPARE(status.shown.last(), QStringLiteral("Done."));
    QVERIFY(portDriverLoaded);
    press();
    QVERIFY(!status.shown.contains(QStringLiteral("Loading dll...")));
    QCOMPARE(status.shown.last(), QStringLiteral("Done."));
}

void WindowTest::closedPortDriver()
{
    portDriverLoaded = false;
    simchip::Config config = testing::fastChip();
    config.driverOpen = false;
    simchip::reset(config);
    window = openWindow();
    press();
    QCOMPARE(widget<QLabel>("labelStatus")->text(), QStringLiteral("Loading dll failed!"));
    QCOMPARE(messages.size(), std::size_t(1));
    QCOMPARE(messages[0].text, QStringLiteral("Failed to load libinpout32.so !\n"
                                              "The port driver could not be opened: load the parallel-port drivers "
                                              "(sudo modprobe parport_pc ppdev) and make sure your user is in the lp "
                                              "group (sudo usermod -aG lp $USER, then log out and in again)."));
    QVERIFY(!portDriverLoaded);
}

// While the chip works, Write, Select and the address entry are disabled, so
// a press delivered by the event processing cannot start a nested run.
void WindowTest::inputsDisabledDuringRun()
{
    store().setValue(QStringLiteral("file_path"), inputFile(QByteArray(600, 'y')));
    window = openWindow();
    int frames = 0, enabledDuringRun = 0, connects = 0;
    simchip::setFrameHook([&](const simchip::Frame& frame) {
        ++frames;
        if (!frame.in.empty() && frame.in[0] == 0x9F)
            ++connects;
        for (const char* input : { "btnWrite", "btnPath", "lineEdit" })
            enabledDuringRun += widget<QWidget>(input)->isEnabled() ? 1 : 0;
        widget<QPushButton>("btnWrite")->click();
    });
    press();
    simchip::setFrameHook(nullptr);
    QCOMPARE(widget<QLabel>("labelStatus")->text(), QStringLiteral("Done."));
    QVERIFY(frames > 10);
    QCOMPARE(enabledDuringRun, 0);
    QCOMPARE(connects, 1);
    for (const char* input : { "btnWrite", "btnPath", "lineEdit" })
        QVERIFY2(widget<QWidget>(input)->isEnabled(), input);
}

void WindowTest::debugLine_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("shown");
    QTest::newRow("LPT1") << "378" << "378";
    QTest::newRow("base -1") << "FFFFF" << "ffffffffffffffff";
}

void WindowTest::debugLine()
{
    QFETCH(QString, address);
    QFETCH(QString, shown);
    store().setValue(QStringLiteral("lpt_address"), address);
    store().setValue(QStringLiteral("file_path"), QStringLiteral("C:/boot.ldr"));
    window = openWindow();
    press();
    QCOMPARE(debugLines, QStringList(QStringLiteral("Will write with params:  \"%1\"  and  \"C:/boot.ldr\" ").arg(shown)));
}

// A path with letters outside Latin-1 and ASCII is found.
void WindowTest::nonAsciiPath()
{
    const QString folder = dir.filePath(QStringLiteral("Überträger ψ"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray data("boot image bytes");
    QFile file(folder + QStringLiteral("/boot.ldr"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();
    store().setValue(QStringLiteral("file_path"), file.fileName());
    window = openWindow();
    press();
    QCOMPARE(widget<QLabel>("labelStatus")->text(), QStringLiteral("Done."));
    QCOMPARE(testing::bytes(simchip::contents()).left(data.size()), data);
}

// The real warning box: modal, titled "Problem", one OK button.
void WindowTest::problemBox()
{
    window = openWindow();
    dialogs::setMessageHandler(nullptr);
    QString title, text;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, this, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            buttons = box->standardButtons();
            parent = box->parentWidget();
            box->accept();
        }
    });
    window->showProblem(QStringLiteral("Something to act on."));
    windowharness::recordDialogs();
    QCOMPARE(title, QStringLiteral("Problem"));
    QCOMPARE(text, QStringLiteral("Something to act on."));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(parent, window.get());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
