#pragma once

// A reader played by a test's script on a pseudo-terminal that a port-map link names: each
// line it hears may be answered by pieces, each written a given time after that line came;
// an answer may instead hang the line up and come back at once on a new terminal under the
// same link, as a reader whose link dropped while it still owed an echo. Header-only: its
// users link rfid_readersim. Runs on the test's event loop.

#include "tools/reader-sim/PseudoTerminal.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <memory>

struct ScriptedAnswer
{
    QByteArray on;       // the line heard (without its CR LF)
    int afterMs = 0;
    QByteArray bytes;    // written then; empty: hang up and come back on a new terminal
    int link = 0;        // only on this terminal (1 the first, 2 after one hang-up); 0: any
};
using ReaderScript = QList<ScriptedAnswer>;

class CScriptedReaderLine : public QObject
{
public:
    // Each answer is given once, at its first line heard on its terminal.
    CScriptedReaderLine(const ReaderScript &script, const QString &linkPath)
        : m_script(script), m_given(script.size(), false), m_linkPath(linkPath)
    {
    }

    // Opens the first terminal and points the link at it; false when no terminal can be had.
    bool Open()
    {
        if (!m_line.Open())
            return false;
        ++m_link;
        QFile::remove(m_linkPath);
        if (!QFile::link(m_line.slavePath(), m_linkPath))
            return false;
        m_heard.clear();
        m_readable = std::make_unique<QSocketNotifier>(m_line.masterFd(), QSocketNotifier::Read);
        connect(m_readable.get(), &QSocketNotifier::activated, this, [this] { onReadable(); });
        return true;
    }
    bool Write(const QByteArray &bytes) { return m_line.WriteAll(bytes); }
    QStringList lines() const { return m_lines; }   // every line heard, on any terminal
    int link() const { return m_link; }

private:
    void onReadable()
    {
        bool hungUp = false;
        m_heard += m_line.ReadAvailable(hungUp);
        for (qsizetype end; (end = m_heard.indexOf("\r\n")) >= 0; m_heard.remove(0, end + 2)) {
            const QByteArray line = m_heard.left(end);
            m_lines << QString::fromLatin1(line);
            for (qsizetype i = 0; i < m_script.size(); ++i) {
                const ScriptedAnswer &answer = m_script[i];
                if (m_given[i] || answer.on != line || (answer.link != 0 && answer.link != m_link))
                    continue;
                m_given[i] = true;
                const int link = m_link;
                QTimer::singleShot(answer.afterMs, this, [this, link, bytes = answer.bytes] {
                    if (link != m_link)
                        return;   // written to a terminal that has gone
                    if (bytes.isEmpty())
                        hangUpAndReturn();
                    else
                        m_line.WriteAll(bytes);
                });
            }
        }
    }
    void hangUpAndReturn()
    {
        m_readable.reset();
        m_line.Close();
        if (!Open())
            qWarning("the scripted reader could not come back: %s", qPrintable(m_line.errorString()));
    }

    ReaderScript m_script;
    QList<bool> m_given;
    QString m_linkPath;
    CPseudoTerminal m_line;
    std::unique_ptr<QSocketNotifier> m_readable;
    QByteArray m_heard;
    QStringList m_lines;
    int m_link = 0;
};
