#include "platform/KeySink.h"

#include "platform/KeySinkUinput.h"
#include "platform/KeySinkX11.h"

#include <cstdlib>

void CNullKeySink::SendKey(std::uint8_t, std::uint8_t, KeyDirection)
{
}

std::shared_ptr<IKeySink> CreateKeySink(KeySinkKind *kind)
{
    KeySinkKind chosen = KeySinkKind::Null;
    std::shared_ptr<IKeySink> sink;

    const char *display = std::getenv("DISPLAY");
    if (display && *display) {
        sink = std::make_shared<CKeySinkX11>(display);
        chosen = KeySinkKind::X11;
    } else if (auto uinput = CKeySinkUinput::Open()) {
        sink = std::move(uinput);
        chosen = KeySinkKind::Uinput;
    } else {
        sink = std::make_shared<CNullKeySink>();
    }
    if (kind)
        *kind = chosen;
    return sink;
}
