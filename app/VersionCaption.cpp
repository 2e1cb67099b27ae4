#include "app/VersionCaption.h"

#include <QWidget>

namespace {

constexpr char kCaptionFormat[] = "RFID Lorix v.%1.%2.%3.%4";
constexpr int kFieldMask = 0xFFFF;   // each field of the version is 16 bits wide

} // namespace

std::optional<FileVersion> CompiledVersion()
{
#if defined(RFID_VERSION_MAJOR) && defined(RFID_VERSION_MINOR) && defined(RFID_VERSION_PATCH) \
    && defined(RFID_VERSION_TWEAK)
    return FileVersion{RFID_VERSION_MAJOR, RFID_VERSION_MINOR, RFID_VERSION_PATCH, RFID_VERSION_TWEAK};
#else
    return std::nullopt;
#endif
}

QString VersionCaption(const std::optional<FileVersion> &version, const QString &templateTitle)
{
    if (!version)
        return templateTitle;
    return QString::fromLatin1(kCaptionFormat)
        .arg(version->major & kFieldMask)
        .arg(version->minor & kFieldMask)
        .arg(version->patch & kFieldMask)
        .arg(version->tweak & kFieldMask);
}

void SetVersionCaption(QWidget *window)
{
    if (window)
        window->setWindowTitle(VersionCaption(CompiledVersion(), window->windowTitle()));
}
