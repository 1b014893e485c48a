#include "dialogs.h"

#include <QFileDialog>

namespace dialogs {
namespace {
OpenFileHandler openFileHandler;
MessageHandler messageHandler;
QuestionHandler questionHandler;
}

void setOpenFileHandler(OpenFileHandler handler)
{
    openFileHandler = std::move(handler);
}

void setMessageHandler(MessageHandler handler)
{
    messageHandler = std::move(handler);
}

void setQuestionHandler(QuestionHandler handler)
{
    questionHandler = std::move(handler);
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

bool question(QWidget* parent, const QString& title, const QString& text)
{
    if (questionHandler)
        return questionHandler(parent, title, text);
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

} // namespace dialogs
