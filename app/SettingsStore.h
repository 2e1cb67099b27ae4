#pragma once

#include "platform/AtomicIniFile.h"

#include <QMap>
#include <QPair>
#include <QString>

#include <optional>

// The per-user settings store: every read and write of a setting goes through here.
// Integers and strings by section and key. Each write replaces the whole file atomically and
// verified, so a crash, a kill, a full disk or a read-only folder leaves either the old or
// the new complete settings on disk. Values are read from memory: a value set earlier in the
// run reads back even when its write to the disk failed, and such a value is written again
// with the next write. User-interface thread only.
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

    // Between BeginBatch and EndBatch writes only change the values in memory; EndBatch
    // writes them all as one replacement of the file, so a related group of values (the
    // command history) is never found half saved. Returns the write's success.
    void BeginBatch();
    bool EndBatch();

private:
    // Writes the values onto what the file holds now (another store object may have written
    // other keys since), keeping this store's changes that are not on the disk yet.
    bool commit();
    std::optional<QString> find(const QString &section, const QString &key) const;
    void change(const QString &section, const QString &key, const std::optional<QString> &value);

    platform::CAtomicIniFile m_file;
    platform::IniValues m_values;
    // Changes not yet known to be on the disk: key -> new text, or nullopt for a removal.
    QMap<QPair<QString, QString>, std::optional<QString>> m_unsaved;
    int m_batchDepth = 0;
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
