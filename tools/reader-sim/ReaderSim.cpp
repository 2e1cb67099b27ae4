#include "tools/reader-sim/ReaderSim.h"

#include "platform/ComPorts.h"
#include "protocol/ProtocolConstants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int FIRST_SIM_COM_NUMBER = 200;
constexpr int LAST_COM_NUMBER = 255;
constexpr int PIECE_INTERVAL_MS = 1;          // pieces of one write leave as separate reads
constexpr int TRIGGER_HOLD_MS = 800;          // how long a timed trigger pull is held
constexpr int MS_PER_SECOND = 1000;
constexpr char VERSION_ANSWER[] = "ver=RFID reader simulator 1.0";
constexpr char EPC_PREFIX[] = "E200";
constexpr int MAX_TAG_TICK_MS = 20;
// The GS1 tags: the sample company prefix 0614141 (7 digits: partition 5) and its trade item
// 812345; filter 1 (a point-of-sale item) and 2 (a shipping unit).
constexpr quint64 SAMPLE_COMPANY = 614141;
constexpr quint64 SAMPLE_ITEM = 812345;
constexpr int SAMPLE_PARTITION = 5;
constexpr int COMPANY_BITS = 24;
constexpr int SGTIN_HEADER = 0x30;
constexpr int SSCC_HEADER = 0x31;
constexpr int SGTIN_FILTER = 1;
constexpr int SSCC_FILTER = 2;
constexpr int SGTIN_ITEM_BITS = 20;
constexpr int SGTIN_SERIAL_BITS = 38;
constexpr int SSCC_SERIAL_BITS = 34;
constexpr int SSCC_RESERVED_BITS = 24;
// Serial numbers: the inventory round times this, plus the tag's place in it.
constexpr quint64 SERIALS_PER_ROUND = 100000;
constexpr quint64 SSCC_SERIAL_LIMIT = 10000000000ull;   // 10 digits

// Bits appended most significant first; hexadecimal digits out.
class CBitWriter
{
public:
    CBitWriter &add(quint64 value, int bits)
    {
        for (int i = bits - 1; i >= 0; --i)
            m_bits.append((value >> i) & 1 ? '1' : '0');
        return *this;
    }
    QByteArray hex() const
    {
        QByteArray out;
        for (qsizetype at = 0; at + 4 <= m_bits.size(); at += 4)
            out += QByteArray::number(m_bits.mid(at, 4).toInt(nullptr, 2), 16).toUpper();
        return out;
    }

private:
    QByteArray m_bits;
};

// Scan lines: bar codes and labels, some in Hangul so the code page matters.
const char16_t *const SCAN_LINES[] = {
    u"8801234567893",
    u"\uD55C\uAE00 \uC2A4\uCE94 \uC0C1\uD488",      // Hangul: "Hangul scan product"
    u"4006381333931",
    u"\uBC30\uC1A1 \uBC88\uD638 A-17",              // Hangul: "delivery number A-17"
};

// The answers' codes: "err=1" for a command it does not know, "err=2" for a value out of range.
constexpr int ERROR_UNKNOWN_COMMAND = 1;
constexpr int ERROR_BAD_VALUE = 2;

QByteArray okAnswer() { return QByteArray(READER_OK_PREFIX); }
QByteArray errorAnswer(int code) { return QByteArray(READER_ERROR_PREFIX) + QByteArray::number(code); }

// "$trigger=<value>,0" and its line end.
QByteArray triggerEvent(ReaderTriggerValue value)
{
    return QByteArray(READER_TRIGGER_EVENT) + QByteArray::number(int(value)) + READER_ARGUMENT_SEPARATOR + '0'
           + READER_LINE_END;
}

} // namespace

CReaderSim::CReaderSim(const SimOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_encoder(options.codeSet), m_random(options.seed),
      m_txPower(options.txPower)
{
    m_pieceTimer.setInterval(PIECE_INTERVAL_MS);
    connect(&m_pieceTimer, &QTimer::timeout, this, &CReaderSim::writeNextPiece);
    // The tags due go at each tick, by the time since the inventory began: any rate is kept
    // on average, whatever the timer's grain. A tick at most every millisecond (a thousand
    // tags a tick at a million a second), at least every MAX_TAG_TICK_MS.
    if (m_options.tagRate > 0)
        m_tagTimer.setInterval(qBound(1, MS_PER_SECOND / m_options.tagRate, MAX_TAG_TICK_MS));
    m_tagTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_tagTimer, &QTimer::timeout, this, &CReaderSim::sendNextTag);
    connect(&m_eventTimer, &QTimer::timeout, this, &CReaderSim::onEventTimer);
    m_hangUpTimer.setSingleShot(true);
    connect(&m_hangUpTimer, &QTimer::timeout, this, &CReaderSim::HangUp);
    m_returnTimer.setSingleShot(true);
    connect(&m_returnTimer, &QTimer::timeout, this, [this] {
        QString error;
        if (!openLine(error) || !registerLink(error))
            emit finished();
    });
}

CReaderSim::~CReaderSim() { Stop(); }

QString CReaderSim::linkPath(int number) const
{
    const QString folder = m_options.portsFolder.isEmpty() ? DefaultPortsFolder()
                                                           : m_options.portsFolder;
    return folder + QStringLiteral("/COM%1").arg(number);
}

bool CReaderSim::openRecord(QString &error)
{
    if (m_options.recordPath.isEmpty() || m_record.isOpen())
        return true;
    m_record.setFileName(m_options.recordPath);
    if (!m_record.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = QStringLiteral("cannot write %1").arg(m_options.recordPath);
        return false;
    }
    return true;
}

bool CReaderSim::Start(QString &error)
{
    if (!openRecord(error))
        return false;
    if (!(m_options.socket ? openListener(error) : openLine(error)) || !registerLink(error))
        return false;
    if (m_options.eventPeriodMs > 0)
        m_eventTimer.start(m_options.eventPeriodMs);
    return true;
}

bool CReaderSim::openLine(QString &error)
{
    if (!m_pty.Open()) {
        error = m_pty.errorString();
        return false;
    }
    watchLine(m_pty.masterFd());
    return true;
}

void CReaderSim::watchLine(int fd)
{
    m_lineIn.clear();
    m_lastWasCr = false;
    m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &CReaderSim::onReadable);
    if (m_options.hangUpAfterMs > 0)
        m_hangUpTimer.start(m_options.hangUpAfterMs);
}

bool CReaderSim::ServeSocket(int fd)
{
    // The reader answers from the event loop: it must never wait in a read.
    const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    QString error;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || !openRecord(error)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    closeLine();
    m_socketFd = fd;
    watchLine(fd);
    return true;
}

// The socket lives in the port map folder, under a name the port list does not read.
bool CReaderSim::openListener(QString &error)
{
    const QString folder = QFileInfo(linkPath(1)).absolutePath();
    QDir().mkpath(folder);
    m_socketPath = folder + QStringLiteral("/reader-sim-%1.socket").arg(::getpid());
    const QByteArray path = QFile::encodeName(m_socketPath);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        error = QStringLiteral("the socket path %1 is too long").arg(m_socketPath);
        return false;
    }
    std::copy(path.cbegin(), path.cend(), address.sun_path);
    QFile::remove(m_socketPath);
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0 || ::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listenFd, 1) != 0) {
        error = QStringLiteral("cannot listen on %1: %2").arg(m_socketPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_listenNotifier = std::make_unique<QSocketNotifier>(m_listenFd, QSocketNotifier::Read);
    connect(m_listenNotifier.get(), &QSocketNotifier::activated, this, &CReaderSim::onConnection);
    return true;
}

// A reader serves one host: a second connection while one is served is refused.
void CReaderSim::onConnection()
{
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    if (lineOpen())
        ::close(fd);
    else
        ServeSocket(fd);
}

void CReaderSim::writeLine(const QByteArray &bytes)
{
    if (m_socketFd >= 0)
        WriteAllToStream(m_socketFd, bytes);
    else
        m_pty.WriteAll(bytes);
}

void CReaderSim::closeLine()
{
    m_readNotifier.reset();
    if (m_socketFd >= 0)
        ::close(m_socketFd);
    m_socketFd = -1;
    m_pty.Close();
}

bool CReaderSim::registerLink(QString &error)
{
    QDir().mkpath(QFileInfo(linkPath(1)).absolutePath());
    const int first = m_comNumber ? m_comNumber
                                  : (m_options.comNumber ? m_options.comNumber : FIRST_SIM_COM_NUMBER);
    const int last = (m_comNumber || m_options.comNumber) ? first : LAST_COM_NUMBER;
    for (int n = first; n <= last; ++n) {
        const QString path = linkPath(n);
        const QFileInfo info(path);
        // A link of our own (coming back) or a dangling one left by a crash is taken over.
        if (info.isSymLink() && (n == m_comNumber || !info.exists()))
            QFile::remove(path);
        if (QFile::link(slavePath(), path)) {
            m_comNumber = n;
            m_linkOwned = true;
            emit ready(n, slavePath());
            return true;
        }
    }
    error = first == last ? QStringLiteral("COM%1 is taken").arg(first)
                          : QStringLiteral("no free COM number from %1 to %2").arg(first).arg(last);
    return false;
}

void CReaderSim::removeLink()
{
    if (m_linkOwned)
        QFile::remove(linkPath(m_comNumber));
    m_linkOwned = false;
}

void CReaderSim::Stop()
{
    m_eventTimer.stop();
    m_returnTimer.stop();
    m_hangUpTimer.stop();
    m_tagTimer.stop();
    m_pieceTimer.stop();
    closeLine();
    m_listenNotifier.reset();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        QFile::remove(m_socketPath);
    }
    m_listenFd = -1;
    removeLink();
}

void CReaderSim::HangUp()
{
    m_hangUpTimer.stop();
    m_tagTimer.stop();
    m_pieceTimer.stop();
    m_outQueue.clear();
    const bool socket = m_socketFd >= 0;
    closeLine();
    if (socket)
        return;   // the next connection is the reader switched on again
    if (m_options.returnAfterMs >= 0) {
        m_returnTimer.start(m_options.returnAfterMs);   // the link stays: same COM number
        return;
    }
    removeLink();
    emit finished();
}

void CReaderSim::onReadable()
{
    bool hungUp = false;
    const QByteArray bytes = m_socketFd >= 0 ? ReadAvailableFromStream(m_socketFd, hungUp)
                                             : m_pty.ReadAvailable(hungUp);
    for (const char c : bytes) {
        if (c == '\n' && m_lastWasCr) {
            m_lastWasCr = false;
            continue;
        }
        m_lastWasCr = c == '\r';
        if (c == '\r' || c == '\n') {
            handleLine(m_lineIn);
            m_lineIn.clear();
        } else {
            m_lineIn.append(c);
        }
    }
    // A socket's peer has closed it for good; a terminal's master stays to be written to.
    if (hungUp && m_socketFd >= 0) {
        // Called from the notifier's own signal: it may not be deleted under it.
        m_readNotifier->setEnabled(false);
        m_readNotifier.release()->deleteLater();
        closeLine();
    }
    else if (hungUp)
        m_readNotifier->setEnabled(false);
}

void CReaderSim::handleLine(const QByteArray &line)
{
    if (m_record.isOpen()) {
        m_record.write(line + '\n');
        m_record.flush();
    }
    if (m_options.mute)
        return;
    if (line.isEmpty()) {           // a wake-up: just the prompt
        send(READER_PROMPT);
        return;
    }
    if (m_tagsWanted > 0)           // any command ends a running inventory
        finishInventory();
    send(line + READER_LINE_END);          // the echo
    if (!m_options.noiseLine.isEmpty())
        send(m_options.noiseLine + READER_LINE_END);
    answer(QString::fromLatin1(line));
}

void CReaderSim::answer(const QString &command)
{
    if (command == QLatin1String("ver")) {
        send(QByteArray(VERSION_ANSWER) + READER_LINE_END);
    } else if (command == QLatin1String(COMMAND_GET_TX_POWER)) {
        send(okAnswer() + READER_ARGUMENT_SEPARATOR + QByteArray::number(m_txPower) + READER_LINE_END);
    } else if (command.startsWith(QLatin1String(COMMAND_SET_TX_POWER_PREFIX))) {
        bool ok = false;
        const int power = command.mid(sizeof COMMAND_SET_TX_POWER_PREFIX - 1).toInt(&ok);
        if (ok && power >= TX_POWER_MIN && power <= TX_POWER_MAX) {
            m_txPower = power;
            send(okAnswer() + READER_LINE_END);
        } else {
            send(errorAnswer(ERROR_BAD_VALUE) + READER_LINE_END);
        }
    } else if (command == QLatin1String(COMMAND_INVENTORY_MULTI) || command == QLatin1String(COMMAND_INVENTORY_SINGLE)) {
        startInventory(command == QLatin1String(COMMAND_INVENTORY_MULTI) ? m_options.tagCount : 1);
        return;                     // the prompt follows the last tag
    } else if (command == QLatin1String(COMMAND_STOP) || command == QLatin1String(COMMAND_SCAN_STOP)) {
        send(okAnswer() + READER_LINE_END);
    } else if (command == QLatin1String(COMMAND_SCAN_START)) {
        send(okAnswer() + READER_LINE_END);
        sendScanLines();
    } else {
        send(errorAnswer(ERROR_UNKNOWN_COMMAND) + READER_LINE_END);
    }
    send(READER_PROMPT);
}

QByteArray CReaderSim::gs1TagFor(int index) const
{
    const quint64 serial = quint64(m_inventoryRound) * SERIALS_PER_ROUND + quint64(index) % SERIALS_PER_ROUND;
    CBitWriter bits;
    if (m_options.epcScheme == QLatin1String("sscc"))
        return bits.add(SSCC_HEADER, 8).add(SSCC_FILTER, 3).add(SAMPLE_PARTITION, 3).add(SAMPLE_COMPANY, COMPANY_BITS)
            .add(serial % SSCC_SERIAL_LIMIT, SSCC_SERIAL_BITS).add(0, SSCC_RESERVED_BITS).hex();
    return bits.add(SGTIN_HEADER, 8).add(SGTIN_FILTER, 3).add(SAMPLE_PARTITION, 3).add(SAMPLE_COMPANY, COMPANY_BITS)
        .add(SAMPLE_ITEM, SGTIN_ITEM_BITS).add(serial, SGTIN_SERIAL_BITS).hex();
}

void CReaderSim::startInventory(int count)
{
    ++m_inventoryRound;
    m_tagsWanted = qMax(0, count);
    m_tagsSent = 0;
    if (m_options.tagRate > 0 && m_tagsWanted > 0) {
        m_inventoryClock.start();
        m_tagTimer.start();
        return;
    }
    QByteArray all;
    all.reserve(qsizetype(m_tagsWanted) * (m_options.tagDigits + 4));
    for (int i = 0; i < m_tagsWanted; ++i)
        appendTag(all, i);
    send(all);
    m_tagsSent = m_tagsWanted;
    finishInventory();
}

void CReaderSim::sendNextTag()
{
    const qint64 due = std::min<qint64>(m_tagsWanted, m_inventoryClock.nsecsElapsed() / 1000 * m_options.tagRate / 1000000);
    if (due > m_tagsSent) {
        QByteArray batch;
        batch.reserve(qsizetype(due - m_tagsSent) * (m_options.tagDigits + 4));
        for (; m_tagsSent < due; ++m_tagsSent)
            appendTag(batch, m_tagsSent);
        send(batch);
    }
    if (m_tagsSent >= m_tagsWanted)
        finishInventory();
}

// A tag's line: its EPC and the line end. A plain EPC (E200, zeros, the serial number) is
// distinct within a round and from round to round, so every trigger brings new tags; it is
// written in place (a million a second leaves no room for a string per tag).
void CReaderSim::appendTag(QByteArray &out, int index)
{
    if (!m_options.epcs.isEmpty()) {
        out += m_options.epcs.at(m_nextEpc++ % m_options.epcs.size()).toLatin1();
        out += READER_LINE_END;
        return;
    }
    if (!m_options.epcScheme.isEmpty()) {
        out += gs1TagFor(index);
        out += READER_LINE_END;
        return;
    }
    char serial[16];
    int serialDigits = 0;
    for (quint64 v = quint64(m_inventoryRound) << 32 | quint32(index); v != 0 || serialDigits == 0; v >>= 4)
        serial[serialDigits++] = "0123456789ABCDEF"[v & 0xF];
    const int prefix = int(sizeof(EPC_PREFIX)) - 1;
    const int zeros = qMax(0, m_options.tagDigits - prefix - serialDigits);
    out.append(EPC_PREFIX, prefix);
    out.append(zeros, '0');
    while (serialDigits > 0)
        out.append(serial[--serialDigits]);
    out += READER_LINE_END;
}

void CReaderSim::finishInventory()
{
    m_tagTimer.stop();
    send(QByteArray(READER_END_PREFIX) + QByteArray::number(m_tagsSent) + READER_LINE_END + READER_PROMPT);
    m_tagsWanted = 0;
}

void CReaderSim::sendScanLines()
{
    for (const char16_t *line : SCAN_LINES)
        sendText(QString::fromUtf16(line) + QLatin1String(READER_LINE_END));
}

void CReaderSim::sendText(const QString &text) { send(m_encoder.encode(text)); }

void CReaderSim::send(const QByteArray &bytes)
{
    if (!lineOpen())
        return;
    if (m_options.maxPiece <= 0) {
        writeLine(bytes);
        return;
    }
    m_outQueue += bytes;
    if (!m_pieceTimer.isActive())
        m_pieceTimer.start();
}

void CReaderSim::writeNextPiece()
{
    const int size = qMin(int(m_outQueue.size()), 1 + int(m_random.bounded(quint32(m_options.maxPiece))));
    if (size > 0) {
        writeLine(m_outQueue.left(size));
        m_outQueue.remove(0, size);
    }
    if (m_outQueue.isEmpty())
        m_pieceTimer.stop();
}

void CReaderSim::PullTrigger() { send(triggerEvent(InventoryStart)); }
void CReaderSim::ReleaseTrigger() { send(triggerEvent(TriggerRelease)); }
void CReaderSim::StartScanTrigger() { send(triggerEvent(ScanStart)); }
void CReaderSim::StopScanTrigger() { send(triggerEvent(ScanStop)); }

void CReaderSim::ReportOnline() { send(QByteArray(READER_EVENT_PREFIX) + "online=1" + READER_LINE_END); }

void CReaderSim::ReportBattery()
{
    m_battery = m_battery > 5 ? m_battery - 1 : 100;
    send(QByteArray(READER_EVENT_PREFIX) + "batt=" + QByteArray::number(m_battery) + READER_LINE_END);
}

void CReaderSim::onEventTimer()
{
    if (!m_onlineReported)
        ReportOnline();
    m_onlineReported = true;
    ReportBattery();
    PullTrigger();
    QTimer::singleShot(TRIGGER_HOLD_MS, this, &CReaderSim::ReleaseTrigger);
}

QStringList RecordedLines(const QString &recordPath)
{
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
