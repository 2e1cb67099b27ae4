#pragma once

#include "platform/ComPorts.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QList>

#include <functional>

// The port picker: a drop-down list of the machine's present COM ports, each shown under
// its friendly name with its port number as item data, plus "<None>" with data 0. The list
// is kept ordered by text, ignoring case. User-interface thread only.
class CComPortCombo : public QComboBox
{
    Q_OBJECT

public:
    // Fills the list with the present port devices; false when the walk could not be
    // completed (the list then holds what was found before).
    using PortSource = std::function<bool(QList<ComPortDevice> &ports)>;

    static constexpr char NONE_TEXT[] = "<None>";

    explicit CComPortCombo(QWidget *parent = nullptr);
    ~CComPortCombo() override;

    // Tests replace the machine's port list with their own.
    void SetPortSource(PortSource source);

    // Rebuilds the list and selects the entry of the port number (-1: the port selected
    // now). Returns 1 when the device walk completed, 0 otherwise.
    int FillPorts(int portToSelect);
    // The same from a port list walked elsewhere (on a thread that may wait on the file
    // system): `walked` says whether that walk completed.
    int FillPorts(int portToSelect, const QList<ComPortDevice> &devices, bool walked);

    // The port number of a port name "COM<n>" (leading digits after exactly "COM"), or 0.
    static int PortNumberFromName(const QString &portName);
    // The port name inside a friendly name "... (COM<n>)", or an empty string.
    static QString PortNameFromFriendlyName(const QString &friendlyName);

    // The text the closed box shows: the current name with its middle shortened to fit the
    // text field, never its "(COM<n>)" end, by which the operator picks a port.
    QString closedText() const;
    static QString ShortenKeepingPort(const QString &name, const QFontMetrics &metrics, int width);

    int showNoneItem = 1;
    int portToSelect = 0;
    QString noneText;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    struct Entry
    {
        QString text;
        int port = 0;
    };

    // Inserts in text order, ignoring case; an equal text goes after those already there.
    static int insertSorted(QList<Entry> &entries, const Entry &entry);

    PortSource m_portSource;
};
