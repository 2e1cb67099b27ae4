#pragma once

#include <QString>
#include <QStringView>

class IProtocolHost;
class CTagList;

// The transmit power the reader accepts, and so the TX power slider's range.
inline constexpr int TX_POWER_MIN = -30;
inline constexpr int TX_POWER_MAX = 0;

// The commands the tool sends by itself (the automatic connection's wake-up lines go
// through SendCommand directly; the others through the command box and OnSend).
inline constexpr char COMMAND_WAKE_UP[] = "\r\n\r\n\r\n";
inline constexpr char COMMAND_GET_TX_POWER[] = "g,txp";
inline constexpr char COMMAND_SET_TX_POWER[] = "txp,%1";
inline constexpr char COMMAND_STOP[] = "s";
inline constexpr char COMMAND_INVENTORY_MULTI[] = "i,0,0,0";
inline constexpr char COMMAND_INVENTORY_SINGLE[] = "i,1,0,0";
inline constexpr char COMMAND_SCAN_START[] = "sc.start";
inline constexpr char COMMAND_SCAN_STOP[] = "sc.stop";

// Reads a signed decimal integer the way the C runtime's wide atoi does: leading white space
// skipped, an optional sign, digits up to the first non-digit; no digits give 0. Values out of
// range saturate at the int limits instead of overflowing.
int ReadIntegerLikeWtoi(QStringView text);

// The tool's own reactions to the reader: the trigger answers, the TX power query's answer,
// the slider's release. User-interface thread only; sends through the host's OnSend.
class CReaderControl
{
public:
    enum ScanMode { Inventory = 0, Scan = 1 };

    CReaderControl(IProtocolHost &host, CTagList &tagList);

    void HandleReaderEvent(const QString &line);   // a line beginning with "$" or holding "trigger="
    void HandleOkResponse(const QString &line);    // a line beginning with "ok"
    void OnTxPowerReleased();

    int scanMode() const { return m_scanMode; }

private:
    void sendAsTyped(const QString &command);

    IProtocolHost &m_host;
    CTagList &m_tagList;
    int m_scanMode = Inventory;
};
