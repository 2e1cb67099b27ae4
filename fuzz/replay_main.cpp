// Replays every file of the given folders through one fuzz check, built with the normal
// compiler so that ctest keeps the corpus and the found regressions passing. The build
// names the check: REPLAY_CHECK_HEADER declares REPLAY_CHECK, a function from an input's
// bytes to a fault text ("" when the input passes).
#include REPLAY_CHECK_HEADER

#include <QDir>
#include <QFile>
#include <QTextStream>

int main(int argc, char **argv)
{
    QTextStream err(stderr);
    int files = 0;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir dir(QString::fromLocal8Bit(argv[i]));
        for (const QFileInfo &info : dir.entryInfoList(QDir::Files, QDir::Name)) {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                err << "cannot read " << info.filePath() << "\n";
                ++failures;
                continue;
            }
            ++files;
            const QString fault = REPLAY_CHECK(file.readAll());
            if (!fault.isEmpty()) {
                err << info.fileName() << ": " << fault << "\n";
                ++failures;
            }
        }
    }
    err << files << " files, " << failures << " failures\n";
    return failures == 0 && files > 0 ? 0 : 1;
}
