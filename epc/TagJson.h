#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringView>

// A tag line in JSON output: "tag", and for an EPC also "decoded" (what the tag monitor's
// Decoded column shows) and "epc" (the decoded fields, EpcJson's). Any other line (a
// barcode, text) is the tag alone.
QJsonObject TagJson(const QString &line);

// The same fields written straight into an object being written, each after a comma, for
// output at tens of thousands of lines a second: no QJsonObject per line.
void AppendTagJsonFields(QByteArray &into, QStringView line);

// A JSON string: quotes, backslashes and control characters escaped, UTF-8.
void AppendJsonString(QByteArray &into, QStringView text);
