#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "at45db041d.h"
#include "dialogs.h"
#include "frontend.h"
#include "lpt.h"
#include "platform.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

bool portDriverLoaded = false;
const char* const kSettingsOrganisation = frontend::kSettingsOrganisation;
const char* const kSettingsApplication = frontend::kSettingsApplication;

namespace {

using frontend::kAddressKey;
using frontend::kDefaultAddress;
const char* const kPathKey = "file_path";
const char* const kDefaultPath = "C:/";

// Pause after the page-size change and after the erase, before the next stage.
constexpr unsigned kStagePauseMs = 300;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , form(new MainWindowForm)
{
    form->setupUi(this);
    form->lineEdit->setInputMask(QStringLiteral("HHhhh")); // two to five hexadecimal digits
    form->progressBar->setRange(0, 4);
    form->progressBar->setValue(0);
    loadSettings();
    setFixedSize(geometry().width(), geometry().height());
}

MainWindow::~MainWindow()
{
    delete form;
}

void MainWindow::showProblem(const QString& text)
{
    dialogs::message(this, QMessageBox::Warning, QStringLiteral("Problem"), text);
}

void MainWindow::loadSettings()
{
    QSettings settings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication));
    lptAddress = settings.value(QString::fromLatin1(kAddressKey), QString::fromLatin1(kDefaultAddress)).toString();
    filePath = settings.value(QString::fromLatin1(kPathKey), QString::fromLatin1(kDefaultPath)).toString();
    form->lineEdit->setText(lptAddress);
    form->labelPath->setText(filePath);
    applyLptAddress();
}

void MainWindow::saveSettings()
{
    QSettings settings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication));
    settings.setValue(QString::fromLatin1(kAddressKey), lptAddress);
    settings.setValue(QString::fromLatin1(kPathKey), filePath);
    applyLptAddress();
    settings.sync();
}

void MainWindow::applyLptAddress()
{
    if (!frontend::parsePortAddress(lptAddress, lptBase))
        showProblem(QStringLiteral("Failed to convert the LPT address from '%1' to number!\nCommunication won't work!")
                        .arg(lptAddress));
}

void MainWindow::on_lineEdit_editingFinished()
{
    lptAddress = form->lineEdit->text();
    std::int16_t base = 0;
    if (frontend::parsePortAddress(lptAddress, base))
        saveSettings();
}

void MainWindow::on_btnPath_clicked()
{
    const QString path = dialogs::getOpenFileName(this, QStringLiteral("Select file"), QString(),
                                                  QStringLiteral("Binary file (*.bin);;Loader file (*.ldr);;All files (*.*)"));
    if (path.isEmpty())
        return;
    filePath = path;
    form->labelPath->setText(filePath);
    saveSettings();
}

void MainWindow::on_btnWrite_clicked()
{
    // The event processing at each stage change could deliver another press
    // and start a second command stream in the middle of this one: keep the
    // inputs disabled until the run is over, whichever way it ends.
    struct InputsDisabled {
        MainWindow* window;
        ~InputsDisabled() { window->setInputsEnabled(true); }
    } const inputsDisabled { this };
    setInputsEnabled(false);

    applyLptAddress();
    form->progressBar->setValue(0);
    QCoreApplication::processEvents();
    logWriteParameters();

    if (!portDriverLoaded) {
        showStatus(QStringLiteral("Loading dll..."));
        QString problem;
        if (!frontend::loadPortLibrary(problem)) {
            reportFailure(QStringLiteral("Loading dll failed!"), problem);
            return;
        }
        portDriverLoaded = true;
    }

    showStatus(QStringLiteral("Starting the communication..."));
    QString portInUse;
    if (!frontend::lockPort(portInUse)) {
        reportFailure(QStringLiteral("Failed to start communication!"), portInUse);
        return;
    }
    if (!AT45DB041D_Connect()) {
        reportFailure(QStringLiteral("Failed to start communication!"), frontend::connectionProblem());
        return;
    }
    form->progressBar->setValue(1);
    refresh();

    showStatus(QStringLiteral("Setting page size to 256B..."));
    if (!AT45DB041D_SetBinaryPageSize()) {
        reportFailure(QStringLiteral("Setting page size to 256B failed!"), lastMessage);
        return;
    }
    form->progressBar->setValue(2);
    refresh();
    // Nothing is erased until the file is known to be writable and is read
    // whole: a run that cannot finish leaves the board's old image in place,
    // and the file changing on disk during the erase cannot change what is
    // written. The name goes in the platform's file-name encoding, so that
    // paths keep their characters.
    DataFlashImage image;
    if (!AT45DB041D_LoadFile(QFile::encodeName(filePath).constData(), image)) {
        reportFailure(QStringLiteral("Writing data failed!"), lastMessage);
        return;
    }
    platformSleepMs(kStagePauseMs);

    showStatus(QStringLiteral("Erasing chip..."));
    if (!AT45DB041D_ChipErase()) {
        reportFailure(QStringLiteral("Erasing chip failed!"), lastMessage);
        return;
    }
    form->progressBar->setValue(3);
    refresh();
    platformSleepMs(kStagePauseMs);

    showStatus(QStringLiteral("Writing data to flash..."));
    // Done only once the chip has been read back and holds the file, with
    // the zero padding written after it.
    if (!AT45DB041D_WriteImage(image) || !AT45DB041D_VerifyImage(image, DataFlashPadding::Zeros)) {
        reportFailure(QStringLiteral("Writing data failed!"), lastMessage);
        return;
    }
    form->labelStatus->setText(QStringLiteral("Done."));
    form->progressBar->setValue(4);
    repaint();
    update();

    if (writtenIn264BytePages()) {
        dialogs::message(this, QMessageBox::Information, QStringLiteral("Notice"),
                         QStringLiteral("The file was written in 264-byte pages. The chip is now set to 256-byte "
                                        "pages, which takes effect after a power cycle: switch the board off and "
                                        "on, then press Write again."));
    }
}

// The one debug line of a run. Items are separated by single spaces with one
// after the last, the two values in double quotes, and a negative port base
// in base 16 as its 64-bit two's complement; nospace() keeps the stream from
// trimming that trailing space.
void MainWindow::logWriteParameters() const
{
    const QString base = QString::number(static_cast<qulonglong>(static_cast<qint64>(lptBase)), 16);
    const QString line = QStringLiteral("Will write with params:  \"%1\"  and  \"%2\" ").arg(base, filePath);
    qDebug().noquote().nospace() << line;
}

// Puts a stage's text on the status line and lets it repaint.
void MainWindow::showStatus(const QString& text)
{
    form->labelStatus->setText(text);
    QCoreApplication::processEvents();
}

// Leaves the failure on the status line; the warning box repaints the window.
void MainWindow::reportFailure(const QString& status, const QString& problem)
{
    form->labelStatus->setText(status);
    showProblem(problem);
}

void MainWindow::refresh()
{
    repaint();
    update();
    QCoreApplication::processEvents();
}

void MainWindow::setInputsEnabled(bool enabled)
{
    form->btnWrite->setEnabled(enabled);
    form->btnPath->setEnabled(enabled);
    form->lineEdit->setEnabled(enabled);
}

// After a write: the chip still reads 264-byte pages when its page-size
// change waits for a power cycle, so the file went in 264-byte pages.
bool MainWindow::writtenIn264BytePages() const
{
    DataFlashStatus st;
    return AT45DB041D_ReadStatus(st) && !st.pageSize256;
}
