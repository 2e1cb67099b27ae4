#pragma once

#include <QByteArray>
#include <QString>

// The EPC decoder fed any input three ways: as a tag line's text (Latin-1), as the
// hexadecimal digits of the input's bytes in either case (a line of any length, a PC word's
// length field included), and as bare EPC bits. Each decoding must give the same result
// twice and the same for both cases of the digits, and must be consistent with itself: a
// decoded EPC has its URIs, its fields in them and a GS1 key with a right check digit; an
// invalid one a reason and nothing decoded; a line that is no EPC nothing at all. An empty
// string means the check passed, else what went wrong.
QString CheckEpcDecoding(const QByteArray &input);
