#include "epc/TagJson.h"

#include "epc/EpcDecoder.h"

#include <type_traits>

QJsonObject TagJson(const QString &line)
{
    QJsonObject object{{QStringLiteral("tag"), line}};
    const DecodedEpc epc = DecodeEpcLine(line);
    if (epc.status != EpcStatus::NotEpc) {
        object.insert(QStringLiteral("decoded"), epc.Summary());
        object.insert(QStringLiteral("epc"), EpcJson(epc));
    }
    return object;
}

void AppendTagJsonFields(QByteArray &into, QStringView line)
{
    const DecodedEpc epc = DecodeEpcLine(line);
    if (epc.status != EpcStatus::NotEpc) {
        into += ",\"decoded\":";
        AppendJsonString(into, epc.Summary());
        into += ",\"epc\":{";
        bool first = true;
        ForEachEpcNameValue(epc, [&](QLatin1String name, QAnyStringView value, bool number) {
            if (!first)
                into += ',';
            first = false;
            // The names are the decoder's own words: nothing in them to escape.
            into += '"';
            into.append(name.data(), name.size());
            into += "\":";
            value.visit([&](auto view) {
                if constexpr (std::is_same_v<decltype(view), QStringView>) {
                    if (number)
                        into += view.toLatin1();
                    else
                        AppendJsonString(into, view);
                } else {
                    // The decoder's own words and digits, Latin-1: nothing in them to escape.
                    if (!number)
                        into += '"';
                    into.append(view.data(), view.size());
                    if (!number)
                        into += '"';
                }
            });
        });
        into += '}';
    }
    into += ",\"tag\":";
    AppendJsonString(into, line);
}

void AppendJsonString(QByteArray &into, QStringView text)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    // Printable ASCII, nearly every line a reader sends, is copied a byte a character into
    // room made once; the rest, from the first character that needs more, below.
    const qsizetype start = into.size();
    into.resize(start + text.size() + 2);
    char *out = into.data() + start;
    *out++ = '"';
    qsizetype i = 0;
    for (; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x20 || u >= 0x80 || u == '"' || u == '\\')
            break;
        *out++ = char(u);
    }
    if (i == text.size()) {
        *out = '"';
        return;
    }
    into.truncate(start + 1 + i);
    qsizetype plainFrom = i;
    auto flushPlain = [&](qsizetype to) {
        if (to > plainFrom)
            into += text.mid(plainFrom, to - plainFrom).toUtf8();
    };
    for (; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u >= 0x20 && u != '"' && u != '\\')
            continue;
        flushPlain(i);
        plainFrom = i + 1;
        if (u == '"' || u == '\\') {
            into += '\\';
            into += char(u);
        } else {
            into += "\\u00";
            into += DIGITS[u >> 4];
            into += DIGITS[u & 15];
        }
    }
    flushPlain(text.size());
    into += '"';
}
