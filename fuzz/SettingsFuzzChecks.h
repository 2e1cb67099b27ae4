#pragma once

#include <QByteArray>
#include <QString>

// The settings file's round trip, shared by the libFuzzer target and the corpus replay test.
// The input is read twice:
//  - as a settings file: written again unchanged it gives the same bytes; every value set
//    again (each line rewritten) reads back the same, and so does every file that lost one
//    of its values, with the others kept;
//  - as values the tool sets: UTF-16 text cut at U+0000 into section, key, value triples,
//    set on top of the input read as a file; written and parsed, every value comes back
//    equal, except those with an empty key, which no line can hold, and the file's other
//    values stay.
// An empty string means the check passed, else what went wrong.
QString CheckSettingsRoundTrip(const QByteArray &input);
