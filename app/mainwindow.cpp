#include "mainwindow.h"

#include "ui_mainwindow.h"

#include "dialogs.h"
#include "frontend.h"
#include "writejob.h"
#include "lpt.h"
#include "platform.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

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

    // The address on show is the one driven: an entry the mask does not
    // accept yet ("3") is refused, not replaced by the stored address.
    if (!form->lineEdit->hasAcceptableInput()) {
        showProblem(QStringLiteral("The LPT address '%1' is incomplete: enter two to five hexadecimal digits "
                                   "(378 for LPT1). Nothing was sent to the port.")
                        .arg(form->lineEdit->text()));
        return;
    }
    // The file calls take the name in the system's file-name encoding (on
    // Windows the ANSI code page): a name it cannot carry would fail with a
    // misleading text, or, mapped to a look-alike, open another file.
    const QByteArray path = QFile::encodeName(filePath);
    if (QFile::decodeName(path) != filePath) {
        showProblem(QStringLiteral("The file's name cannot be written in this system's code page: %1\nRename the "
                                   "file, or move it to a folder whose name can, then select it again. Nothing was "
                                   "sent to the port.")
                        .arg(filePath));
        return;
    }

    applyLptAddress();
    // Where the system lists its parallel ports (Windows), an address that
    // is none of them is asked about before anything is sent to it.
    QString notAPort;
    if (!frontend::isListedParallelPort(lptBase, notAPort)
        && !dialogs::question(this, QStringLiteral("Question"),
                              notAPort + QStringLiteral("\nWrite to this address anyway? Whatever is there receives "
                                                        "the chip's commands.")))
        return;
    form->progressBar->setValue(0);
    QCoreApplication::processEvents();
    logWriteParameters();

    // The job's stages shown on the status line and the progress bar, with a
    // pause after the file is read and after the erase.
    class WindowReport : public frontend::WriteJobReport {
        using Stage = frontend::WriteStage;

    public:
        explicit WindowReport(MainWindow* window)
            : window(window)
        {
        }
        void starting(Stage stage, const frontend::WriteJobState&) override
        {
            if (const char* text = statusText(stage))
                window->showStatus(QString::fromLatin1(text));
        }
        void finished(Stage stage, const frontend::WriteJobState&) override
        {
            switch (stage) {
            case Stage::LoadLibrary:
                break;
            case Stage::Connect:
            case Stage::PageSize:
                window->form->progressBar->setValue(stage == Stage::Connect ? 1 : 2);
                window->refresh();
                break;
            case Stage::ReadFile:
                platformSleepMs(kStagePauseMs);
                break;
            case Stage::Erase:
                window->form->progressBar->setValue(3);
                window->refresh();
                platformSleepMs(kStagePauseMs);
                break;
            case Stage::Program:
                window->form->labelStatus->setText(QStringLiteral("Done."));
                window->form->progressBar->setValue(4);
                window->repaint();
                window->update();
                break;
            }
        }
        void failed(Stage stage, const QStringList& problem, const frontend::WriteJobState&) override
        {
            window->reportFailure(QString::fromLatin1(failureText(stage)), problem.join(QLatin1Char('\n')));
        }

    private:
        static const char* statusText(Stage stage)
        {
            switch (stage) {
            case Stage::LoadLibrary: return "Loading dll...";
            case Stage::Connect: return "Starting the communication...";
            case Stage::PageSize: return "Setting page size to 256B...";
            case Stage::ReadFile: return nullptr;
            case Stage::Erase: return "Erasing chip...";
            case Stage::Program: return "Writing data to flash...";
            }
            return nullptr;
        }
        static const char* failureText(Stage stage)
        {
            switch (stage) {
            case Stage::LoadLibrary: return "Loading dll failed!";
            case Stage::Connect: return "Failed to start communication!";
            case Stage::PageSize: return "Setting page size to 256B failed!";
            case Stage::ReadFile: return "Writing data failed!";
            case Stage::Erase: return "Erasing chip failed!";
            case Stage::Program: return "Writing data failed!";
            }
            return "";
        }
        MainWindow* window;
    } report(this);

    // The page size is set before the file is read, and the file is checked
    // for the page size then in force: a chip whose switch waits for a power
    // cycle is written in 264-byte pages, and the user told afterwards. The
    // name goes in the platform's file-name encoding, so that paths keep
    // their characters.
    frontend::WriteJob job;
    job.path = path;
    job.fileRead = frontend::WriteJob::FileRead::AfterPageSize;
    job.reach = frontend::WriteJob::Reach::Connect;
    job.pendingPageSize = frontend::WriteJob::PendingPageSize::WriteAnyway;
    job.programming = frontend::WriteJob::Programming::WriteAndVerify;
    frontend::WriteJobState state;
    frontend::WriteStage stage;
    if (frontend::runWriteJob(job, report, state, stage) == frontend::WriteOutcome::Done && state.in264BytePages) {
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
