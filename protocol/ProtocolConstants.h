#pragma once

// The reader's command language as both ends speak it: the tool (protocol/, app/) and the
// simulated reader (tools/reader-sim) take these from here, so the two cannot drift apart.
// Plain constants only: the simulated reader includes this without linking the protocol.

// Every line either end sends ends in CR LF; the reader doubles the CR now and then.
inline constexpr char READER_LINE_END[] = "\r\n";
inline constexpr char READER_DOUBLED_CARRIAGE_RETURN[] = "\r\r\n";
// The reader's prompt, after each answer and alone after a wake-up; it ends no line.
inline constexpr char READER_PROMPT[] = "$>";

// How a received line begins (or what it holds), in the order the tool classifies them.
inline constexpr char READER_EVENT_PREFIX[] = "$";
inline constexpr char READER_TRIGGER_MARK[] = "trigger=";
inline constexpr char READER_OK_PREFIX[] = "ok";
inline constexpr char READER_END_PREFIX[] = "end=";
inline constexpr char READER_ERROR_PREFIX[] = "err=";

// The trigger event: "$trigger=<value>,<detail>".
inline constexpr char READER_TRIGGER_EVENT[] = "$trigger=";
inline constexpr char READER_ARGUMENT_SEPARATOR = ',';
enum ReaderTriggerValue { TriggerRelease = 0, InventoryStart = 1, ScanStop = 2, ScanStart = 3 };

// The transmit power the reader accepts, and so the TX power slider's range.
inline constexpr int TX_POWER_MIN = -30;
inline constexpr int TX_POWER_MAX = 0;

// The commands the tool sends by itself (the automatic connection's wake-up lines go
// through SendCommand directly; the others through the command box and OnSend).
inline constexpr char COMMAND_WAKE_UP[] = "\r\n\r\n\r\n";
inline constexpr char COMMAND_GET_TX_POWER[] = "g,txp";
inline constexpr char COMMAND_SET_TX_POWER_PREFIX[] = "txp,";
inline constexpr char COMMAND_SET_TX_POWER[] = "txp,%1";
inline constexpr char COMMAND_STOP[] = "s";
inline constexpr char COMMAND_INVENTORY_MULTI[] = "i,0,0,0";
inline constexpr char COMMAND_INVENTORY_SINGLE[] = "i,1,0,0";
inline constexpr char COMMAND_SCAN_START[] = "sc.start";
inline constexpr char COMMAND_SCAN_STOP[] = "sc.stop";
