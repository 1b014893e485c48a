// The window when no port library can be found: this program does not link
// the simulated chip, and runs with nothing on the library path.
#include "mainwindow.h"

#include "platform.h"
#include "windowharness.h"

#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

class WindowWithoutLibraryTest : public QObject {
    Q_OBJECT
private slots:
    void loadFailsAndIsRetried();
};

void WindowWithoutLibraryTest::loadFailsAndIsRetried()
{
    QStandardPaths::setTestModeEnabled(true);
    windowharness::store().clear();
    windowharness::recordDialogs();
    MainWindow window;
    window.show();
    QCoreApplication::processEvents(); // first paint, before any run
    windowharness::StatusRecorder status;
    window.findChild<QLabel*>(QStringLiteral("labelStatus"))->installEventFilter(&status);
    const QString problem = QStringLiteral("Failed to load %1 !").arg(QString::fromLatin1(platformPortLibraryName()));

    for (int press = 0; press < 2; ++press) {
        status.shown.clear();
        windowharness::messages.clear();
        window.findChild<QPushButton*>(QStringLiteral("btnWrite"))->click();
        QVERIFY(status.shown.contains(QStringLiteral("Loading dll...")));
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("labelStatus"))->text(), QStringLiteral("Loading dll failed!"));
        QCOMPARE(window.findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), 0);
        QCOMPARE(windowharness::messages.size(), std::size_t(1));
        QCOMPARE(windowharness::messages[0].title, QStringLiteral("Problem"));
        QCOMPARE(windowharness::messages[0].text, problem);
        QVERIFY(!portDriverLoaded);
    }
}

QTEST_MAIN(WindowWithoutLibraryTest)
#include "tst_window_nolib.moc"
