#include "SettingsFuzzChecks.h"

#include "platform/AtomicIniFile.h"

#include <QStringList>

namespace {

constexpr int FIELDS_PER_VALUE = 3;

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
    const CIniDocument document(input);
    const IniValues first = document.values();
    // Every value is found by its names through the index.
    for (auto section = first.cbegin(); section != first.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry) {
            if (document.value(section.key(), entry.key()) != entry.value())
                return QStringLiteral("[%1] %2 not found by its name").arg(printable(section.key()), printable(entry.key()));
        }
    }
    IniNotes dropped;
    const QByteArray text = document.rendered({}, &dropped);
    if (dropped.count > 0)
        return QStringLiteral("parsed but not written: ") + printable(dropped.first.value(0));
    IniNotes skipped;
    const CIniDocument second(text, &skipped);
    if (skipped.count > 0)
        return QStringLiteral("written text has a line the parser skips: ") + skipped.first.value(0);
    if (second.values() != first)
        return QStringLiteral("file round trip: ") + difference(first, second.values());
    if (second.rendered({}) != text)
        return QStringLiteral("second write gives other bytes");
    // Each value set again: every line of the file rewritten.
    const IniValues again = CIniDocument(document.rendered(ChangesSetting(first), &dropped)).values();
    if (dropped.count > 0)
        return QStringLiteral("set again but not written: ") + printable(dropped.first.value(0));
    if (again != first)
        return QStringLiteral("values set again: ") + difference(first, again);
    return QString();
}

// The triples set on top of the input read as a file: they read back, and every other value
// of the file stays.
QString checkValues(const QByteArray &input)
{
    const QString units(reinterpret_cast<const QChar *>(input.constData()), input.size() / 2);
    const QStringList fields = units.split(QChar(0));
    const CIniDocument document(input);
    IniChanges changes;
    IniValues expected = document.values();
    int emptyKeys = 0;
    for (int i = 0; i + FIELDS_PER_VALUE <= fields.size(); i += FIELDS_PER_VALUE) {
        const auto key = qMakePair(fields.at(i), fields.at(i + 1));
        emptyKeys += key.second.isEmpty() && !changes.contains(key) ? 1 : 0;
        changes[key] = fields.at(i + 2);
        if (!key.second.isEmpty())
            expected[key.first][key.second] = fields.at(i + 2);
    }
    IniNotes dropped;
    const IniValues back = CIniDocument(document.rendered(changes, &dropped)).values();
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
