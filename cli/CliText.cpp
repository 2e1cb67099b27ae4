#include "cli/CliCommands.h"

#include "platform/CodePage.h"

#include <QString>

void AppendVisible(QByteArray &into, QStringView text)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    qsizetype plainFrom = 0;
    auto flushPlain = [&](qsizetype to) {
        if (to > plainFrom)
            into += text.mid(plainFrom, to - plainFrom).toUtf8();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        // C0 and C1 controls and DEL.
        if (u >= 0x20 && u != 0x7f && (u < 0x80 || u > 0x9f))
            continue;
        flushPlain(i);
        plainFrom = i + 1;
        switch (u) {
        case '\r': into += "\\r"; break;
        case '\n': into += "\\n"; break;
        case '\t': into += "\\t"; break;
        default:
            into += "\\x";
            into += DIGITS[(u >> 4) & 15];
            into += DIGITS[u & 15];
        }
    }
    flushPlain(text.size());
}

void AppendHex(QByteArray &into, CCodePageEncoder &encoder, QStringView text)
{
    into += encoder.encode(text.toString()).toHex(' ').toUpper();
}
