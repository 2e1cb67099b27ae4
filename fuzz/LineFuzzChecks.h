#pragma once

#include <QByteArray>
#include <QString>

// The received-line assembly (CResponseDispatcher) fed a byte stream in pieces whose sizes
// come from the input, against a plain splitter run over the whole stream at once: both
// must give the same lines, and the log must hold every received byte that is not a line
// break, except that a line longer than the bound is neither dispatched nor logged whole
// (its head and a mark saying how much was left out). The input is read as pieces: one length byte (1..64 after masking), then that many
// stream bytes. White space other than CR and LF is replaced by 'x' in the stream, since the
// assembly drops it at the start of a fresh line on purpose, which no splitter of the whole
// stream can know about. An empty string means the check passed, else what went wrong.
QString CheckLineAssembly(const QByteArray &input);
