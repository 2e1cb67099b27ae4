#pragma once

#include <QString>
#include <optional>

class QWidget;

// The tool's file version, four 16-bit fields: major.minor.patch.tweak.
struct FileVersion
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    int tweak = 0;
};

// The version compiled into this build, or nothing when the build defines none.
std::optional<FileVersion> CompiledVersion();

// "RFID Lorix v.%d.%d.%d.%d" filled from the version; without a version the template's
// own title stays.
QString VersionCaption(const std::optional<FileVersion> &version, const QString &templateTitle);

// Sets the window's caption from the compiled-in version, keeping its title when there is none.
void SetVersionCaption(QWidget *window);
