#pragma once

#include "platform/WorkQueue.h"
#include "settings/IniText.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// The per-user settings store: integers and strings by section and key, read from memory.
// A write that changes a value updates memory and hands every value not yet known to be on
// the disk to the store's work queue, which reads the file as it is now (another instance's
// keys are kept), changes those lines and replaces the file through WriteFileAtomically: a
// kill or a full disk leaves the old or the new file, never a cut one. A new file is 0600,
// an existing one keeps its mode, a symbolic link keeps pointing at the file written. The
// same value again writes nothing. A failed save keeps the values in memory; the next change
// carries them again. A file larger than MAX_SETTINGS_FILE_BYTES is no file of this tool:
// it is renamed beside itself, once, and a new one started.
//
// Threads: the public methods and the report belong to the thread that made the store (the
// window's), which never waits on the disk except in the constructor (one read at start),
// Flush and the destructor. The destructor lets the last save end.
class CSettingsStore
{
public:
    enum class Access { ReadWrite, ReadOnly };   // ReadOnly: for a front end that never writes
    // After each save, on the owner's thread: the system's reason when it failed ("" when
    // saved), and where a file too large was moved, if it was.
    using SaveReport = std::function<void(const QString &error, const QString &movedAsideTo)>;

    CSettingsStore();   // the user's file
    explicit CSettingsStore(const QString &iniFilePath, Access access = Access::ReadWrite);
    ~CSettingsStore();
    CSettingsStore(const CSettingsStore &) = delete;
    CSettingsStore &operator=(const CSettingsStore &) = delete;

    // Writes return whether the value was taken (false only for an empty key); whether it
    // reached the disk is Flush's answer, and the report's.
    int ReadInt(const QString &section, const QString &key, int defaultValue) const;
    bool WriteInt(const QString &section, const QString &key, int value);
    QString ReadString(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    bool WriteString(const QString &section, const QString &key, const QString &value);
    bool DeleteValue(const QString &section, const QString &key);

    QString FileName() const { return m_path; }
    // Where the file found too large at start went ("" when it was not).
    QString MovedAsideTo() const { return m_movedAside; }
    void SetSaveReport(SaveReport report) { m_report = std::move(report); }

    // Between BeginBatch and EndBatch writes change only memory; EndBatch saves them together,
    // so a group of values (the command history) is never found half saved.
    void BeginBatch() { ++m_batchDepth; }
    void EndBatch();
    // Waits for every save handed over; true when the last one succeeded. For the end of the
    // run and for tests.
    bool Flush();

private:
    bool change(const QString &section, const QString &key, const std::optional<QString> &value);
    void submit();

    QString m_path;
    Access m_access;
    QString m_movedAside;
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
// The tool's own: the log's time stamps (1 shown), from the window's context menu.
inline constexpr char CONFIG_LOG_TIME_STAMPS[] = "LogTimeStamps";
// The desktop portal's restore token for typing into a Wayland session (a string; absent
// until the desktop first grants the permission).
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

int ReadConfig(const CSettingsStore &store, const char *key, int defaultValue);
void WriteConfig(CSettingsStore &store, const char *key, int value);

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
