#include "dialogs.h"

#include <QFileDialog>

namespace dialogs {
namespace {
OpenFileHandler openFileHandler;
MessageHandler messageHandler;
}

void setOpenFileHandler(OpenFileHandler handler)
{
    openFileHandler = std::move(handler);
}

void setMessageHandler(MessageHandler handler)
{
    messageHandler = std::move(handler);
}

QString getOpenFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    if (openFileHandler)
        return openFileHandler(parent, caption, directory, filter);
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

void message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (messageHandler) {
        messageHandler(parent, icon, title, text);
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace dialogs
