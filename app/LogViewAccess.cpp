#include "app/LogViewAccess.h"

#include "app/LogView.h"

QPlainTextEdit *CreateLogView(QWidget *parent)
{
    return new CLogView(parent);
}

void AppendToLogView(QPlainTextEdit *logView, const QString &text, quint32 colour)
{
    static_cast<CLogView *>(logView)->AppendLog(text, colour);
}

void ClearLogView(QPlainTextEdit *logView)
{
    static_cast<CLogView *>(logView)->Clear();
}
