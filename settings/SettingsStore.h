#pragma once

#include "platform/SettingsLocation.h"
#include "platform/WorkQueue.h"
#include "settings/IniText.h"

#include <atomic>
#include <functional>
#include <memory>

// The per-user settings store: integers and strings by section and key, read from memory.
// A change is saved on the store's work queue: the file as it is then (another instance's
// keys kept) with every value not yet known to be on the disk, through the one atomic write,
// so a kill or a full disk leaves the old or the new file. A new file is 0600. The same value
// again saves nothing; a failed save keeps the values, and the next change carries them. A
// file over MAX_SETTINGS_FILE_BYTES is no file of this tool: renamed beside itself, once, and
// the new file holds every value the store holds. Temporaries that a save killed midway left
// beside the file are removed at start.
//
// Threads: all calls and the report on the thread that made the store (the window's), which
// waits on the disk only in the constructor (one read), Flush and the destructor (last save).
class CSettingsStore
{
public:
    enum class Access { ReadWrite, ReadOnly };   // ReadOnly: for a front end that never writes
    // After each save, on the owner's thread: "" or why it failed; where a file too large went.
    using SaveReport = std::function<void(const QString &error, const QString &movedAsideTo)>;

    CSettingsStore() : CSettingsStore(SettingsFilePath()) {}   // the user's file
    explicit CSettingsStore(const QString &iniFilePath, Access access = Access::ReadWrite);
    ~CSettingsStore();
    CSettingsStore(const CSettingsStore &) = delete;
    CSettingsStore &operator=(const CSettingsStore &) = delete;

    // Writes return false only for an empty key; whether the disk has it, Flush or the report tell.
    int ReadInt(const QString &section, const QString &key, int defaultValue) const;
    bool WriteInt(const QString &section, const QString &key, int value) { return change(section, key, QString::number(value)); }
    QString ReadString(const QString &section, const QString &key, const QString &defaultValue = QString()) const
    {
        return m_values.value(section).value(key, defaultValue);
    }
    bool WriteString(const QString &section, const QString &key, const QString &value) { return change(section, key, value); }
    bool DeleteValue(const QString &section, const QString &key) { return change(section, key, std::nullopt); }

    QString FileName() const { return m_path; }
    // Where the file found too large at start went ("" when it was not).
    QString MovedAsideTo() const { return m_movedAside; }
    // Why the file could not be read at start (a folder in its place, no permission); ""
    // when it was read or is not there. The defaults are used then.
    QString ReadError() const { return m_readError; }
    void SetSaveReport(SaveReport report) { m_report = std::move(report); }

    // Writes between these two are saved together: a group (the history) is never half saved.
    void BeginBatch() { ++m_batchDepth; }
    void EndBatch() { m_batchDepth = qMax(0, m_batchDepth - 1); submitUnlessBatch(); }
    // Waits for every save handed over; true when the last one succeeded (tests, the end).
    bool Flush() { m_queue.WaitIdle(); return !m_saveFailed->load(); }

private:
    bool change(const QString &section, const QString &key, const std::optional<QString> &value);
    void submitUnlessBatch();

    QString m_path;
    Access m_access;
    QString m_movedAside;
    QString m_readError;
    IniValues m_values;     // as read, with every change since
    IniChanges m_unsaved;   // changes not yet known to be on the disk
    bool m_batchChanged = false;
    int m_batchDepth = 0;
    bool m_lastFailed = false;
    SaveReport m_report;
    std::shared_ptr<std::atomic<bool>> m_saveFailed;   // by the jobs, for Flush
    CWorkQueue m_queue;   // last: its jobs end before the rest goes
};

// Beyond this size a settings file was not written by this tool (it holds some 25 values).
inline constexpr qint64 MAX_SETTINGS_FILE_BYTES = 1 << 20;

// Section "Config": names and first-run defaults.
inline constexpr char CONFIG_SECTION[] = "Config";
inline constexpr char CONFIG_COM_PORT[] = "ComPort1";
inline constexpr char CONFIG_ENABLE_ASCII[] = "EnableASCII";
inline constexpr char CONFIG_AUTO_START[] = "AutoStart";
inline constexpr char CONFIG_ENABLE_WEDGE[] = "EnableWedge";
inline constexpr char CONFIG_READ_MODE[] = "ReadMode";
inline constexpr char CONFIG_LOG_TIME_STAMPS[] = "LogTimeStamps";   // the log's time stamps, 1 shown
// The desktop portal's token for typing into a Wayland session; absent until it is granted.
inline constexpr char CONFIG_PORTAL_RESTORE_TOKEN[] = "PortalRestoreToken";
// The tag monitor window's place and size (QWidget::saveGeometry, in Base64); absent at first.
inline constexpr char CONFIG_MONITOR_GEOMETRY[] = "MonitorGeometry";
inline constexpr int CONFIG_COM_PORT_DEFAULT = -1;     // -1: keep whatever the picker holds
inline constexpr int CONFIG_ENABLE_ASCII_DEFAULT = 0;
inline constexpr int CONFIG_AUTO_START_DEFAULT = 0;
inline constexpr int CONFIG_ENABLE_WEDGE_DEFAULT = 0;
inline constexpr int CONFIG_READ_MODE_DEFAULT = 0;
inline constexpr int CONFIG_LOG_TIME_STAMPS_DEFAULT = 0;   // the designed log has none
// Section "Bluetooth Ports": the COM numbers of the Bluetooth serial devices reached through
// BlueZ, one key "COM<n>" per number with the device's address ("00:12:6F:0A:1B:2C").
inline constexpr char CONFIG_BLUETOOTH_PORTS_SECTION[] = "Bluetooth Ports";
inline int ReadConfig(const CSettingsStore &store, const char *key, int defaultValue)
{
    return store.ReadInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(key), defaultValue);
}
inline void WriteConfig(CSettingsStore &store, const char *key, int value)
{
    store.WriteInt(QString::fromLatin1(CONFIG_SECTION), QString::fromLatin1(key), value);
}

// "ReadMode" against the two radio buttons: the stored value is the check state of
// "RFID Multi Mode"; "RFID Single Mode" is checked exactly when it is 0.
struct ReadModeChecks { int multiMode = 0; int singleMode = 1; };
inline ReadModeChecks ReadModeToChecks(int readMode) { return {readMode != 0 ? 1 : 0, readMode == 0 ? 1 : 0}; }
inline int ReadModeFromMultiCheck(bool multiModeChecked) { return multiModeChecked ? 1 : 0; }

// The port number stored in "ComPort1": the picker's item data cut to its low 16 bits.
inline int PortNumberFromItemData(qint64 itemData) { return int(itemData & 0xFFFF); }
