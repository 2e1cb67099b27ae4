#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The per-user settings store: every read and write of a setting goes through here, so that
// the way values reach the disk can change in one place. Integers and strings by section and
// key; each write is flushed at once, so a crash loses nothing that was set.
// User-interface thread only.
class CSettingsStore
{
public:
    // The user's store (INI file in the user's configuration folder).
    CSettingsStore();
    // A store in a given INI file (tests, tools).
    explicit CSettingsStore(const QString &iniFilePath);
    ~CSettingsStore();

    CSettingsStore(const CSettingsStore &) = delete;
    CSettingsStore &operator=(const CSettingsStore &) = delete;

    int ReadInt(const QString &section, const QString &key, int defaultValue) const;
    bool WriteInt(const QString &section, const QString &key, int value);
    QString ReadString(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    bool WriteString(const QString &section, const QString &key, const QString &value);
    // Removes one value; used to drop stale history entries.
    bool DeleteValue(const QString &section, const QString &key);

    QString FileName() const;

private:
    static QString path(const QString &section, const QString &key);
    bool flush();

    std::unique_ptr<QSettings> m_settings;
};

// Section "Config": names and first-run defaults.
namespace config {

inline constexpr char kSection[] = "Config";
inline constexpr char kComPort[] = "ComPort1";
inline constexpr char kEnableAscii[] = "EnableASCII";
inline constexpr char kAutoStart[] = "AutoStart";
inline constexpr char kEnableWedge[] = "EnableWedge";
inline constexpr char kReadMode[] = "ReadMode";

inline constexpr int kComPortDefault = -1;     // -1: keep whatever the picker holds
inline constexpr int kEnableAsciiDefault = 0;
inline constexpr int kAutoStartDefault = 0;
inline constexpr int kEnableWedgeDefault = 0;
inline constexpr int kReadModeDefault = 0;

int ReadConfig(const CSettingsStore &store, const char *key, int defaultValue);
void WriteConfig(CSettingsStore &store, const char *key, int value);

} // namespace config

// "ReadMode" against the two radio buttons: the stored value is the check state of
// "RFID Multi Mode"; "RFID Single Mode" is checked exactly when it is 0.
struct ReadModeChecks
{
    int multiMode = 0;
    int singleMode = 1;
};

ReadModeChecks ReadModeToChecks(int readMode);
int ReadModeFromMultiCheck(bool multiModeChecked);

// The port number stored in "ComPort1": the picker's item data cut to its low 16 bits.
int PortNumberFromItemData(qint64 itemData);
