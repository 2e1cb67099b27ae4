#pragma once

#include <QString>
#include <QtGlobal>

class QPlainTextEdit;
class QWidget;

// The log view reached without its header: a file that also includes the protocol's host
// interface (the main window) cannot include both, since each names the log colours.
// The view these functions take is always one CreateLogView made.
QPlainTextEdit *CreateLogView(QWidget *parent);
void AppendToLogView(QPlainTextEdit *logView, const QString &text, quint32 colour);
void ClearLogView(QPlainTextEdit *logView);
