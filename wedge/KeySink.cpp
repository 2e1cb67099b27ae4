#include "wedge/KeySink.h"

#include "wedge/KeySinkPortal.h"
#include "wedge/KeySinkUinput.h"
#include "wedge/KeySinkX11.h"

#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

const char *environmentValue(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

constexpr char CHOICE_PREFIX[] = "Key Emulator Mode ";
constexpr char NO_PORTAL[] = "Wayland session without the desktop portal's remote desktop";

} // namespace

void CNullKeySink::SendKey(std::uint8_t, std::uint8_t, KeyDirection)
{
}

bool IsWaylandSession(const char *xdgSessionType, const char *waylandDisplay)
{
    return (xdgSessionType && std::strcmp(xdgSessionType, "wayland") == 0) || (waylandDisplay && *waylandDisplay);
}

KeySinkChoice ChooseKeySink(const KeySinkAvailability &available)
{
    KeySinkChoice choice;
    const QString prefix = QString::fromLatin1(CHOICE_PREFIX);
    if (available.waylandSession) {
        if (available.portal) {
            choice.kind = KeySinkKind::Portal;
            choice.why = prefix + QStringLiteral("types through the desktop portal's remote desktop (Wayland session); "
                                                 "the desktop asks for permission at every start, or once where its "
                                                 "portal hands out a restore token to keep it");
        } else if (available.uinput) {
            choice.kind = KeySinkKind::Uinput;
            choice.why = prefix + QStringLiteral("types through /dev/uinput (%1)").arg(QLatin1String(NO_PORTAL));
        } else if (available.xDisplay) {
            choice.kind = KeySinkKind::X11;
            choice.why = prefix + QStringLiteral("types through XTest (%1 or a writable /dev/uinput): "
                                                 "only X11 applications receive the tags").arg(QLatin1String(NO_PORTAL));
        } else {
            choice.why = prefix + QStringLiteral("cannot type: %1, a writable /dev/uinput or an X display")
                                      .arg(QLatin1String(NO_PORTAL));
        }
        return choice;
    }
    if (available.xDisplay) {
        choice.kind = KeySinkKind::X11;
        choice.why = prefix + QStringLiteral("types through XTest (X11 session)");
    } else if (available.uinput) {
        choice.kind = KeySinkKind::Uinput;
        choice.why = prefix + QStringLiteral("types through /dev/uinput (no X display)");
    } else {
        choice.why = prefix + QStringLiteral("cannot type: no X display and no writable /dev/uinput");
    }
    return choice;
}

KeySinkChoice OpenSessionKeySink(const KeySinkSetup &setup)
{
    KeySinkAvailability available;
    available.waylandSession = IsWaylandSession(environmentValue("XDG_SESSION_TYPE"), environmentValue("WAYLAND_DISPLAY"));
    const char *display = environmentValue("DISPLAY");
    available.xDisplay = display != nullptr;
    available.uinput = ::access(UINPUT_PATH, W_OK) == 0;
    // Asked only where it is preferred: outside Wayland sessions nothing waits for the bus.
    available.portal = available.waylandSession && CKeySinkPortal::IsOffered(setup.sessionBusAddress);

    KeySinkChoice choice = ChooseKeySink(available);
    switch (choice.kind) {
    case KeySinkKind::Portal:
        choice.sink = CKeySinkPortal::Open(setup);
        break;
    case KeySinkKind::Uinput:
        choice.sink = CKeySinkUinput::Open();
        break;
    case KeySinkKind::X11:
        choice.sink = std::make_shared<CKeySinkX11>(display);
        break;
    case KeySinkKind::Null:
        break;
    }
    if (!choice.sink) {
        // Nothing can type, or the device went between the look and the opening: a sink
        // that types nothing and says why as its failure, so that typing stops loudly.
        QString why = choice.why.mid(int(std::strlen(CHOICE_PREFIX)));
        if (choice.kind != KeySinkKind::Null)
            why += QStringLiteral(", but it could not be opened");
        else
            why.remove(QStringLiteral("cannot type: "));
        choice.kind = KeySinkKind::Null;
        choice.sink = std::make_shared<CNullKeySink>(QStringLiteral("nothing can type here (%1)").arg(why));
        choice.why.clear();
    }
    return choice;
}

std::shared_ptr<IKeySink> CreateKeySink(KeySinkKind *kind)
{
    const KeySinkChoice choice = OpenSessionKeySink(KeySinkSetup());
    if (kind)
        *kind = choice.kind;
    return choice.sink;
}
