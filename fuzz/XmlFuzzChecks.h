#pragma once

// The checks shared by the libFuzzer targets and by the corpus replay test. Each
// returns "" when the input passes and a description of the fault otherwise.

#include <QByteArray>
#include <QString>

// The parser on the whole input at once: must end without a crash or hang.
QString CheckWholeBuffer(const QByteArray &data);
// The same input through a device whose short reads take their sizes from the
// input's own bytes: must give the same tree as the whole buffer.
QString CheckShortReads(const QByteArray &data);
// Parse, write, parse: the second tree must equal the first as the writer's
// rules leave it (values trimmed, texts through the reader's line-break rules).
// Trees whose names the writer cannot reproduce, and outputs longer than one
// read piece (where piece boundaries legitimately change texts), are skipped.
QString CheckRoundTrip(const QByteArray &data);

QString RunAllXmlChecks(const QByteArray &data);
