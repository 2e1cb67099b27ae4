#include "app/LogSaver.h"

#include "platform/AtomicFile.h"

CLogSaver::CLogSaver(QObject *parent)
    : QObject(parent)
{
}

// The queue is joined before QObject goes: a result posted meanwhile is dropped with the object.
CLogSaver::~CLogSaver() = default;

void CLogSaver::Save(const QString &path, const QString &text)
{
    m_writer.Run([this, path, text]() -> CWorkQueue::Apply {
        const QString error = WriteFileAtomically(path, text.toUtf8());
        return [this, path, error] { emit Saved(path, error); };
    });
}
