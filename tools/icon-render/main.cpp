// Writes the application icon for the desktop's icon theme:
//   icon-render <folder> <size>...   gives <folder>/<size>x<size>/apps/rfid-lorix.png for each
//                                    size and <folder>/scalable/apps/rfid-lorix.svg
#include "res/AppIcon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: icon-render <folder> <size>...\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        if (size <= 0)
            return 2;
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        if (!QDir().mkpath(folder) || !DrawApplicationIcon(size).save(folder + QStringLiteral("/rfid-lorix.png"))) {
            std::fprintf(stderr, "icon-render: cannot write %s\n", qPrintable(folder));
            return 1;
        }
    }
    const QString scalable = root + QStringLiteral("/scalable/apps");
    QFile svg(scalable + QStringLiteral("/rfid-lorix.svg"));
    const QByteArray document = ApplicationIconSvg();
    if (!QDir().mkpath(scalable) || !svg.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || svg.write(document) != document.size() || !svg.flush()) {
        std::fprintf(stderr, "icon-render: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    return 0;
}
