#include "protocol/TrafficLine.h"

QLatin1String TrafficMark(LogKind kind)
{
    switch (kind) {
    case LogKind::Sent:
        return QLatin1String("> ");
    case LogKind::Received:
        return QLatin1String("< ");
    case LogKind::Note:
        break;
    case LogKind::Error:
        return QLatin1String("! ");
    }
    return QLatin1String("# ");
}
