// ports: the ports the window's picker offers.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {

// The paired Bluetooth devices: BlueZ answers at once or not at all.
constexpr int BLUEZ_QUERY_TIMEOUT_MS = 3000;
constexpr char BY_ID_FOLDER[] = "dev/serial/by-id";
// How far up from a tty's device in sysfs its USB device may lie (interface, device).
constexpr int USB_LEVELS = 4;

// The /dev/serial/by-id link that names the device at `path` ("" when none does).
QString ByIdPath(const QString &sysRoot, const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir folder(QDir(sysRoot).filePath(QLatin1String(BY_ID_FOLDER)));
    for (const QFileInfo &link : folder.entryInfoList(QDir::System | QDir::Files))
        if (!target.isEmpty() && link.canonicalFilePath() == target)
            return QLatin1Char('/') + QLatin1String(BY_ID_FOLDER) + QLatin1Char('/') + link.fileName();
    return QString();
}

// The USB vendor and product ids of a tty's device, read up its sysfs path ("" when it is no
// USB device).
void UsbIds(const QString &sysRoot, const QString &path, QString &vendor, QString &product)
{
    const QString name = QFileInfo(QFileInfo(path).canonicalFilePath()).fileName();
    if (name.isEmpty())
        return;
    QDir device(QFileInfo(QDir(sysRoot).filePath(QStringLiteral("sys/class/tty/%1/device").arg(name))).canonicalFilePath());
    for (int level = 0; level < USB_LEVELS && !device.path().isEmpty(); ++level, device.cdUp()) {
        QFile idVendor(device.filePath(QStringLiteral("idVendor"))), idProduct(device.filePath(QStringLiteral("idProduct")));
        if (idVendor.open(QIODevice::ReadOnly) && idProduct.open(QIODevice::ReadOnly)) {
            vendor = QString::fromLatin1(idVendor.read(16).trimmed());
            product = QString::fromLatin1(idProduct.read(16).trimmed());
            return;
        }
    }
}

// The device nodes some process holds open, as far as this user may look into /proc (all of
// them for root, its own otherwise). Opening the port to try would toggle its lines, or
// connect a Bluetooth link. A process that holds a pseudo-terminal's master is its far end
// (a simulated reader), not a user of its slave.
QSet<QString> OpenDevices()
{
    QSet<QString> open;
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString process = processes.next();
        if (!processes.fileName().front().isDigit())
            continue;
        const QDir fds(process + QLatin1String("/fd"));
        QSet<QString> held, farEnds;
        for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
            if (target == QLatin1String("/dev/ptmx") || target == QLatin1String("/dev/pts/ptmx")) {
                QFile info(process + QLatin1String("/fdinfo/") + fd);
                if (info.open(QIODevice::ReadOnly))
                    for (const QByteArray &line : info.readAll().split('\n'))
                        if (line.startsWith("tty-index:"))
                            farEnds.insert(QStringLiteral("/dev/pts/") + QString::fromLatin1(line.mid(10).trimmed()));
            } else if (target.startsWith(QLatin1String("/dev/"))) {
                held.insert(target);
            }
        }
        open += held - farEnds;
    }
    return open;
}

} // namespace

int RunPorts(CCliSession &session)
{
    CReaderEngine::Environment env = session.environment(false);
    env.queryBluetooth = true;
    CCliReader reader(0, QString(), env);
    bool answered = false;
    QObject::connect(&reader.engine(), &CReaderEngine::bluetoothQueryFinished, &session, [&answered] { answered = true; });
    session.waitFor([&] { return answered; }, BLUEZ_QUERY_TIMEOUT_MS);

    QList<ComPortDevice> found;
    if (!reader.engine().ListPorts(found))
        session.err(QStringLiteral("the port list is not complete: /dev or sysfs could not be read"));
    const QString folder = env.ports.portsFolder.isEmpty() ? DefaultPortsFolder() : env.ports.portsFolder;
    const bool json = session.options().json;
    const QSet<QString> inUse = json ? OpenDevices() : QSet<QString>();
    for (const ComPortDevice &port : found) {
        QString kind = QStringLiteral("serial");
        if (QFileInfo(folder + QStringLiteral("/COM%1").arg(port.number)).isSymLink())
            kind = QStringLiteral("mapped");
        else if (port.devicePath.isEmpty())
            kind = QStringLiteral("bluetooth-paired");
        else if (port.devicePath.startsWith(QLatin1String("/dev/rfcomm")))
            kind = QStringLiteral("bluetooth-bound");
        if (!json) {
            session.out(QStringLiteral("%1\t%2\t%3\t%4\n")
                            .arg(port.portName, kind, port.devicePath.isEmpty() ? QStringLiteral("-") : port.devicePath,
                                 port.friendlyName));
            continue;
        }
        QJsonObject object{{QStringLiteral("port"), port.portName},
                           {QStringLiteral("number"), port.number},
                           {QStringLiteral("kind"), kind},
                           {QStringLiteral("path"), port.devicePath},
                           {QStringLiteral("name"), port.friendlyName}};
        if (!port.devicePath.isEmpty()) {
            const QString byId = ByIdPath(env.ports.sysRoot, port.devicePath);
            if (!byId.isEmpty())
                object.insert(QStringLiteral("byId"), byId);
            QString vendor, product;
            UsbIds(env.ports.sysRoot, port.devicePath, vendor, product);
            if (!vendor.isEmpty()) {
                object.insert(QStringLiteral("usbVendor"), vendor);
                object.insert(QStringLiteral("usbProduct"), product);
            }
            object.insert(QStringLiteral("inUse"), inUse.contains(QFileInfo(port.devicePath).canonicalFilePath()));
        }
        session.out(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    }
    return EXIT_OK;
}
