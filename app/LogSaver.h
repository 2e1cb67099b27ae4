#pragma once

#include "platform/WorkQueue.h"

#include <QObject>
#include <QString>

// Writes the log's text to files on a thread of its own, one save after another, so that
// the window's thread never waits on the disk: each file is replaced atomically
// (WriteFileAtomically) with the text as UTF-8. Qt Core only.
//
// Threads: Save and the destructor belong to the owner's thread, which is also where Saved
// is delivered (queued). The writer thread (a CWorkQueue's) starts with the first save and
// only reads the copies handed to it. The destructor waits for the saves already handed
// over; their results are then no longer reported.
class CLogSaver : public QObject
{
    Q_OBJECT

public:
    explicit CLogSaver(QObject *parent = nullptr);
    ~CLogSaver() override;

    // Hands the text over to be written to `path`; returns at once.
    void Save(const QString &path, const QString &text);

signals:
    // One save ended: error is "" when the file holds the text, otherwise why it failed (the
    // path then holds what it held before).
    void Saved(const QString &path, const QString &error);

private:
    CWorkQueue m_writer;
};
