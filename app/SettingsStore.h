#pragma once

#include "platform/AtomicIniFile.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// The per-user settings store: every read and write of a setting goes through here.
// Integers and strings by section and key, read from memory. A write that changes nothing
// (the same value again) does nothing; one that changes a value updates memory and hands
// the change to the store's writer thread, which replaces the whole file atomically and
// verified, so a crash, a kill, a full disk or a read-only folder leaves either the old or
// the new complete settings on disk. Changes that arrive while a write runs go together
// into the next one. A value whose write failed stays in memory and is written again with
// the next change. The destructor waits for the last write.
//
// Memory: the file's text is held once, as its bytes with an index (CIniDocument),
// shared by both threads; each keeps only its changes on top of it, and a write streams the
// text with the changes into the new file. A 100 MB file costs little more than 100 MB.
//
// Threads: the public methods belong to one thread (the window's), which never waits on the
// disk except in Flush and the destructor. The writer thread owns its view of the file (the
// document it last read plus the changes it wrote since) and re-reads the file only when it
// was replaced or changed since it last read or wrote it (another store, another instance of
// the tool, an editor), so that their keys are kept. The window's thread keeps the document
// read at start: values that others write meanwhile are kept in the file, not shown.
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

    // Writes return whether the value was taken (always, except for an empty key, which the
    // file cannot hold); whether it reached the disk is Flush's answer.
    int ReadInt(const QString &section, const QString &key, int defaultValue) const;
    bool WriteInt(const QString &section, const QString &key, int value);
    QString ReadString(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    bool WriteString(const QString &section, const QString &key, const QString &value);
    // Removes one value; used to drop stale history entries.
    bool DeleteValue(const QString &section, const QString &key);

    QString FileName() const;

    // Between BeginBatch and EndBatch writes only change the values in memory; EndBatch
    // hands them to the writer together, so a related group of values (the command history)
    // is never found half saved.
    void BeginBatch();
    void EndBatch();

    // Waits until every change made so far has been written; true when they are all on the
    // disk, false when the last write failed. For the end of the run and for tests.
    bool Flush();

private:
    using Changes = IniChanges;

    std::optional<QString> find(const QString &section, const QString &key) const;
    bool change(const QString &section, const QString &key, const std::optional<QString> &value);
    void submit();
    void writerLoop();
    bool writeOnce(const Changes &changes);

    CAtomicIniFile m_file;

    // window's thread
    std::shared_ptr<const CIniDocument> m_read;   // the file as read at start
    Changes m_changed;   // every change made since, on top of m_read
    Changes m_batch;     // changed while a batch is open
    int m_batchDepth = 0;

    // shared, under m_lock
    std::mutex m_lock;
    std::condition_variable m_wake;      // to the writer: changes pending or stop
    std::condition_variable m_written;   // to Flush: a write has ended
    Changes m_pending;
    quint64 m_submitted = 0;   // hand-overs so far
    quint64 m_finished = 0;    // hand-overs written (or failed)
    bool m_stop = false;
    std::atomic<bool> m_lastWriteFailed{false};

    // writer thread: the file holds m_disk with m_diskChanges made, as of m_diskStamp
    std::shared_ptr<const CIniDocument> m_disk;
    Changes m_diskChanges;
    FileStamp m_diskStamp;
    Changes m_unsaved;   // not yet known to be on the disk

    std::thread m_writer;   // last: starts once everything above exists
};

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
