#include "app/VersionCaption.h"

#include <QWidget>

namespace {

constexpr char CAPTION_FORMAT[] = "RFID Lorix v.%1.%2.%3.%4";
constexpr int FIELD_MASK = 0xFFFF;   // each field of the version is 16 bits wide

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
    return QString::fromLatin1(CAPTION_FORMAT)
        .arg(version->major & FIELD_MASK)
        .arg(version->minor & FIELD_MASK)
        .arg(version->patch & FIELD_MASK)
        .arg(version->tweak & FIELD_MASK);
}

void SetVersionCaption(QWidget *window)
{
    if (window)
        window->setWindowTitle(VersionCaption(CompiledVersion(), window->windowTitle()));
}
