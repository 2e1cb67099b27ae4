#include "catalogue/Catalogue.h"

#include "xml/XML.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace {

constexpr char16_t PARAMETER_LETTER = u'p';
constexpr char16_t FIRST_PARAMETER_DIGIT = u'1';
constexpr char16_t LAST_PARAMETER_DIGIT = u'9';

constexpr char16_t PAIR_SEPARATOR = u'|';
const QString DIALOG_FILTER_SEPARATOR = QStringLiteral(";;");
// What the dialog lists when the pair filter names no file type: every file, said so, rather
// than a "Files of type" entry without text.
const QString EVERY_FILE_FILTER = QStringLiteral("All Files (*)");

} // namespace

QString CatalogueFilePath()
{
    const QString userCopy = UserCatalogueFilePath();
    // An unreadable copy (its mode changed by hand) is passed over rather than shown empty.
    if (!userCopy.isEmpty() && QFileInfo(userCopy).isFile() && QFileInfo(userCopy).isReadable())
        return userCopy;
    return QCoreApplication::applicationDirPath() + u'/' + CATALOGUE_FILE_NAME;
}

QString UserCatalogueFilePath()
{
    // Without a home folder there is no data folder either: never a path from the root.
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataFolder.isEmpty())
        return QString();
    return dataFolder + u'/' + CATALOGUE_USER_FOLDER + u'/' + CATALOGUE_FILE_NAME;
}

bool MakeUserCatalogueFolder()
{
    const QString path = UserCatalogueFilePath();
    return !path.isEmpty() && QDir().mkpath(QFileInfo(path).path());
}

bool IsParameterName(QStringView tagName)
{
    return tagName.size() >= 2 && tagName[0] == PARAMETER_LETTER && tagName[1] >= FIRST_PARAMETER_DIGIT
           && tagName[1] <= LAST_PARAMETER_DIGIT;
}

CataloguePictureKind CataloguePicture(const QString &name, const QString &instruction, bool isRoot)
{
    if (isRoot)
        return CataloguePictureKind::Gear;
    if (name.contains(CATALOGUE_SCAN_MARKER, Qt::CaseSensitive))
        return CataloguePictureKind::Barcode;
    if (name.contains(CATALOGUE_RFID_MARKER, Qt::CaseSensitive))
        return CataloguePictureKind::RfidTag;
    return instruction.isEmpty() ? CataloguePictureKind::Gear : CataloguePictureKind::Prompt;
}

bool LoadCatalogueDocument(CXML &document, const QString &path, const CXMLWarningFunction &warning)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    Load(document, file, QString(), warning);
    return true;
}

QString ComposeCommandLine(const CXML &entry)
{
    QString line = entry.GetAttribute(CATALOGUE_INSTRUCTION_ATTRIBUTE);
    if (line.isEmpty())
        return line;
    // Every child counts, whatever its tag: the reader's parameters are positional.
    for (const CXML *child : entry.children) {
        line.append(COMMAND_PARAMETER_SEPARATOR);
        line.append(child->GetAttribute(CATALOGUE_DEFAULT_ATTRIBUTE));
    }
    return line;
}

QString ToFileDialogFilter(const QString &pairFilter)
{
    const QStringList parts = pairFilter.split(PAIR_SEPARATOR);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        // The pair filter separates its patterns with ";", Qt with blanks.
        QStringList patterns = parts[i + 1].split(u';', Qt::SkipEmptyParts);
        for (QString &one : patterns)
            one = one.trimmed();
        const QString pattern = patterns.join(u' ');
        if (description.isEmpty() && pattern.isEmpty())
            continue;
        // Qt reads the patterns from the parentheses; a description that already names
        // exactly these patterns is kept as it is.
        if (description.endsWith(u'(' + pattern + u')'))
            filters.append(description);
        else
            filters.append(description + QStringLiteral(" (") + pattern + u')');
    }
    return filters.isEmpty() ? EVERY_FILE_FILTER : filters.join(DIALOG_FILTER_SEPARATOR);
}
