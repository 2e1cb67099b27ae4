#include "SettingsFuzzChecks.h"

#include "platform/AtomicIniFile.h"

#include <QStringList>

using platform::CAtomicIniFile;
using platform::IniNotes;
using platform::IniValues;

namespace {

constexpr int kFieldsPerValue = 3;

QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += c.unicode() >= 0x20 && c.unicode() < 0x7F ? QString(c) : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    return out;
}

// The first value that differs between the two, for the fault text.
QString difference(const IniValues &expected, const IniValues &got)
{
    for (auto section = expected.cbegin(); section != expected.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry) {
            const auto other = got.value(section.key());
            if (!other.contains(entry.key()) || other.value(entry.key()) != entry.value())
                return QStringLiteral("[%1] %2: \"%3\" read back as \"%4\"")
                    .arg(printable(section.key()), printable(entry.key()), printable(entry.value()),
                         other.contains(entry.key()) ? printable(other.value(entry.key())) : QStringLiteral("(absent)"));
        }
    }
    for (auto section = got.cbegin(); section != got.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry) {
            if (!expected.value(section.key()).contains(entry.key()))
                return QStringLiteral("[%1] %2 read back but never set").arg(printable(section.key()), printable(entry.key()));
        }
    }
    return QStringLiteral("section structure differs");
}

QString checkFile(const QByteArray &input)
{
    const IniValues first = CAtomicIniFile::parse(input);
    IniNotes dropped;
    const QByteArray text = CAtomicIniFile::serialise(first, &dropped);
    if (dropped.count > 0)
        return QStringLiteral("parsed but not written: ") + printable(dropped.first.value(0));
    IniNotes skipped;
    const IniValues second = CAtomicIniFile::parse(text, &skipped);
    if (skipped.count > 0)
        return QStringLiteral("written text has a line the parser skips: ") + skipped.first.value(0);
    if (second != first)
        return QStringLiteral("file round trip: ") + difference(first, second);
    if (CAtomicIniFile::serialise(second) != text)
        return QStringLiteral("second write gives other bytes");
    return QString();
}

QString checkValues(const QByteArray &input)
{
    const QString units(reinterpret_cast<const QChar *>(input.constData()), input.size() / 2);
    const QStringList fields = units.split(QChar(0));
    IniValues set;
    IniValues expected;
    int emptyKeys = 0;
    for (int i = 0; i + kFieldsPerValue <= fields.size(); i += kFieldsPerValue) {
        set[fields.at(i)][fields.at(i + 1)] = fields.at(i + 2);
        if (!fields.at(i + 1).isEmpty())
            expected[fields.at(i)][fields.at(i + 1)] = fields.at(i + 2);
    }
    for (const auto &section : set)
        emptyKeys += section.contains(QString()) ? 1 : 0;
    IniNotes dropped;
    const IniValues back = CAtomicIniFile::parse(CAtomicIniFile::serialise(set, &dropped));
    if (back != expected)
        return QStringLiteral("values round trip: ") + difference(expected, back);
    if (dropped.count != emptyKeys)
        return QStringLiteral("%1 values dropped, %2 with an empty key").arg(dropped.count).arg(emptyKeys);
    return QString();
}

} // namespace

QString CheckSettingsRoundTrip(const QByteArray &input)
{
    const QString fault = checkFile(input);
    return fault.isEmpty() ? checkValues(input) : fault;
}
