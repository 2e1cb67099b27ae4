#pragma once

#include "protocol/ProtocolConstants.h"

#include <QString>
#include <QStringView>

class IReaderView;
class CTagList;

// Reads a signed decimal integer the way the C runtime's wide atoi does: leading white space
// skipped, an optional sign, digits up to the first non-digit; no digits give 0. Values out of
// range saturate at the int limits instead of overflowing.
int ReadIntegerLikeWtoi(QStringView text);

// The tool's own reactions to the reader: the trigger answers, the TX power query's answer,
// the slider's release. User-interface thread only; sends through the view's OnSend.
class CReaderControl
{
public:
    enum ScanMode { Inventory = 0, Scan = 1 };

    CReaderControl(IReaderView &view, CTagList &tagList);

    void HandleReaderEvent(const QString &line);   // a line beginning with "$" or holding "trigger="
    // A line beginning with "ok", the answer to `answered` when the dispatcher knows which
    // command's echo it follows (an echo that came late); "": the last command sent.
    void HandleOkResponse(const QString &line, const QString &answered = QString());
    void OnTxPowerReleased();

    int scanMode() const { return m_scanMode; }

private:
    void sendAsTyped(const QString &command);

    IReaderView &m_view;
    CTagList &m_tagList;
    int m_scanMode = Inventory;
};
