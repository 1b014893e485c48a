// The window's modal questions and messages, behind one seam: by default the
// toolkit's file dialog and message boxes; tests install handlers that answer
// at once and record what was asked.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace dialogs {

using OpenFileHandler = std::function<QString(QWidget* parent, const QString& caption,
                                              const QString& directory, const QString& filter)>;
using MessageHandler = std::function<void(QWidget* parent, QMessageBox::Icon icon,
                                          const QString& title, const QString& text)>;
using QuestionHandler = std::function<bool(QWidget* parent, const QString& title, const QString& text)>;

// An empty handler restores the toolkit's dialog.
void setOpenFileHandler(OpenFileHandler handler);
void setMessageHandler(MessageHandler handler);
void setQuestionHandler(QuestionHandler handler);

// The open-file dialog; an empty path when the user cancels.
QString getOpenFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);

// A modal box with one OK button; returns when the user closes it.
void message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

// A modal question with Yes and No (the default); true for Yes.
bool question(QWidget* parent, const QString& title, const QString& text);

} // namespace dialogs
