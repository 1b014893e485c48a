// What the window tests share: the settings store, dialogs that answer at once
// and record what they were asked, and a recorder of the status line.
#pragma once

#include "dialogs.h"
#include "mainwindow.h"

#include <QEvent>
#include <QLabel>
#include <QSettings>
#include <QStringList>

#include <vector>

namespace windowharness {

struct Message {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    bool parentVisible;
};

inline std::vector<Message> messages;
inline QString fileDialogAnswer;
inline QStringList fileDialogRequest;

// Replaces the message boxes and the file dialog with recorders.
inline void recordDialogs()
{
    dialogs::setMessageHandler([](QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
        messages.push_back({ icon, title, text, parent && parent->isVisible() });
    });
    dialogs::setOpenFileHandler([](QWidget*, const QString& caption, const QString& directory, const QString& filter) {
        fileDialogRequest = QStringList { caption, directory, filter };
        return fileDialogAnswer;
    });
}

inline QSettings store()
{
    return QSettings(QString::fromLatin1(kSettingsOrganisation), QString::fromLatin1(kSettingsApplication));
}

// Records every text the status line shows, as it is painted.
class StatusRecorder : public QObject {
public:
    QStringList shown;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            const QString text = static_cast<QLabel*>(watched)->text();
            if (shown.isEmpty() || shown.last() != text)
                shown << text;
        }
        return false;
    }
};

} // namespace windowharness
