#pragma once

#include "app/ColourRef.h"
// LOG_COLOUR_SENT and LOG_COLOUR_RECEIVED are the protocol's, which picks the colour of
// each piece it logs.
#include "protocol/ProtocolHost.h"

#include <QPlainTextEdit>

// The traffic log: a read-only text view that is only ever appended to at its end or
// emptied. Each append sets the colour alone; CR LF pairs (and a lone CR or LF) become line
// breaks. The log keeps at least the newest kKeepLines lines: once it holds kKeepLines +
// kTrimLines lines the oldest kTrimLines go in one deletion, so memory stays bounded and an
// append costs the same however long the shift. User-interface thread only.
class CLogView : public QPlainTextEdit
{
    Q_OBJECT

public:
    static constexpr int kKeepLines = 100000;
    static constexpr int kTrimLines = 10000;

    explicit CLogView(QWidget *parent = nullptr);

    // Appends the text at the end in the colour. While the log has the keyboard focus the
    // view stays where the operator put it; otherwise the last line ends at the bottom.
    void AppendLog(const QString &text, ColourRef colour);
    // Deletes all text; the log stays read-only.
    void Clear();

    // The line (block) number of the first and the last line in view.
    int FirstVisibleLine() const;
    int LastVisibleLine() const;

private:
    static QString toLineBreaks(const QString &text);
    // Removes the oldest lines once the log is over its bound; returns how many went.
    int trimOldLines();
};
