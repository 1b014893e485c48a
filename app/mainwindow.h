// Pagekiln's one window: port address, file choice, and the Write button that
// runs the whole programming sequence against the chip.
#pragma once

#include <QMainWindow>
#include <QString>

namespace Ui {
class MainWindow;
}
// The widgets of the form compiled from mainwindow.ui.
using MainWindowForm = Ui::MainWindow;

// Set once the port library has loaded; it is not loaded again after that.
extern bool portDriverLoaded;

// Where the settings live: organisation and application names of the store.
extern const char* const kSettingsOrganisation;
extern const char* const kSettingsApplication;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // A modal warning box titled "Problem" with one OK button.
    void showProblem(const QString& text);

private slots:
    void on_btnPath_clicked();
    void on_lineEdit_editingFinished();
    void on_btnWrite_clicked();

private:
    void loadSettings();
    void saveSettings();
    void applyLptAddress();

    void logWriteParameters() const;
    void showStatus(const QString& text);
    void reportFailure(const QString& status, const QString& problem);
    void refresh();
    void setInputsEnabled(bool enabled);

    MainWindowForm* form;
    QString lptAddress;
    QString filePath;
};
