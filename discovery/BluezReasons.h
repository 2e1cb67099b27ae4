#pragma once

#include <QString>

// BlueZ's reason for a refused or failed Bluetooth connection, in the operator's words: what
// it means and what to try. The raw text stays beside it, for a tooltip or a report.
struct BluezReason
{
    QString words;   // one or two sentences, ending in a full stop
    QString raw;     // as BlueZ (or the D-Bus link to it) gave it
};

// Turns BlueZ's raw reason into plain words. `raw` is what the connection or the device
// search reports: BlueZ's message with its D-Bus error name ("br-connection-page-timeout
// (org.bluez.Error.Failed)"), a bare error name ("org.bluez.Error.NotReady"), or one of the
// link's own texts for no bus, no BlueZ, no adapter or no answer. The most specific part
// decides: BlueZ's message before the error name, which for org.bluez.Error.Failed says
// little. A reason not known here still gets words, with the raw text in them. Pure: no
// D-Bus, any thread.
BluezReason ExplainBluezReason(const QString &raw);
