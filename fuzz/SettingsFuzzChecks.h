#pragma once

#include <QByteArray>
#include <QString>

// The settings file's round trip, shared by the libFuzzer target and the corpus replay test.
// The input is read twice:
//  - as a settings file: parse, write, parse must give the same values, nothing of what
//    the parse kept may be left out by the write, and writing again gives the same bytes;
//    every value set again (each line rewritten) reads back the same;
//  - as values the tool sets: UTF-16 text cut at U+0000 into section, key, value triples,
//    set on top of the input read as a file; written and parsed, every value comes back
//    equal, except those with an empty key, which the write leaves out with a note, and the
//    file's other values stay.
// An empty string means the check passed, else what went wrong.
QString CheckSettingsRoundTrip(const QByteArray &input);
