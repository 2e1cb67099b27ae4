#include "epc/TagJson.h"

#include "epc/EpcDecoder.h"

namespace {

// The fields EpcJson gives as numbers.
bool IsNumberField(const QString &name)
{
    return name == QLatin1String("filter") || name == QLatin1String("companyPrefixDigits");
}

} // namespace

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
        for (const auto &[name, value] : EpcNameValues(epc)) {
            if (!first)
                into += ',';
            first = false;
            AppendJsonString(into, name);
            into += ':';
            if (IsNumberField(name))
                into += QByteArray::number(value.toInt());
            else
                AppendJsonString(into, value);
        }
        into += '}';
    }
    into += ",\"tag\":";
    AppendJsonString(into, line);
}

void AppendJsonString(QByteArray &into, QStringView text)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    into += '"';
    qsizetype plainFrom = 0;
    auto flushPlain = [&](qsizetype to) {
        if (to > plainFrom)
            into += text.mid(plainFrom, to - plainFrom).toUtf8();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
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
