#include "SettingsFuzzChecks.h"

#include "settings/IniText.h"

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

// The text with the changes made, read back.
IniValues appliedValues(const QByteArray &input, const IniChanges &changes)
{
    CIniText text(input);
    text.apply(changes);
    return CIniText(text.bytes()).values();
}

QString checkFile(const QByteArray &input)
{
    if (CIniText(input).bytes() != input)
        return QStringLiteral("written unchanged, the bytes differ");
    const IniValues first = CIniText(input).values();
    IniChanges all;
    for (auto section = first.cbegin(); section != first.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry)
            all[qMakePair(section.key(), entry.key())] = entry.value();
    }
    const IniValues again = appliedValues(input, all);
    if (again != first)
        return QStringLiteral("values set again: ") + difference(first, again);
    // Each value removed on its own: the others stay as they were.
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        IniValues expected = first;
        expected[it.key().first].remove(it.key().second);
        if (expected[it.key().first].isEmpty())
            expected.remove(it.key().first);
        const IniValues back = appliedValues(input, {{it.key(), std::nullopt}});
        if (back != expected)
            return QStringLiteral("value removed: ") + difference(expected, back);
    }
    return QString();
}

// The triples set on top of the input read as a file: they read back, and every other value
// of the file stays.
QString checkValues(const QByteArray &input)
{
    const QString units(reinterpret_cast<const QChar *>(input.constData()), input.size() / 2);
    const QStringList fields = units.split(QChar(0));
    IniChanges changes;
    IniValues expected = CIniText(input).values();
    for (int i = 0; i + FIELDS_PER_VALUE <= fields.size(); i += FIELDS_PER_VALUE) {
        const auto key = qMakePair(fields.at(i), fields.at(i + 1));
        changes[key] = fields.at(i + 2);
        if (!key.second.isEmpty())
            expected[key.first][key.second] = fields.at(i + 2);
    }
    const IniValues back = appliedValues(input, changes);
    return back == expected ? QString() : QStringLiteral("values round trip: ") + difference(expected, back);
}

} // namespace

QString CheckSettingsRoundTrip(const QByteArray &input)
{
    const QString fault = checkFile(input);
    return fault.isEmpty() ? checkValues(input) : fault;
}
