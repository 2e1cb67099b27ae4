#pragma once

// The command catalogue as the tool reads it, without any widget: where the file lies,
// which elements are parameters, which picture an entry gets, and how a command line is
// composed from an entry and its parameters. Qt Core only; user-interface thread.

#include "xml/XML.h"

#include <QString>
#include <QStringView>

// The catalogue file's name in the executable's folder.
inline const QString CATALOGUE_FILE_NAME = QStringLiteral("Ondo214.xml");

// Attributes of the catalogue schema.
inline const QString CATALOGUE_NAME_ATTRIBUTE = QStringLiteral("name");
inline const QString CATALOGUE_INSTRUCTION_ATTRIBUTE = QStringLiteral("instruction");
inline const QString CATALOGUE_DEFAULT_ATTRIBUTE = QStringLiteral("Default");

// Markers in an entry's name that choose its picture (case-sensitive, anywhere in the
// name; the scan marker is tested first).
inline const QString CATALOGUE_SCAN_MARKER = QStringLiteral("Scan");
inline const QString CATALOGUE_RFID_MARKER = QStringLiteral("RFID");

// Separator between the instruction and each parameter value of a command line.
inline constexpr char16_t COMMAND_PARAMETER_SEPARATOR = u',';

// Filters of the two save buttons: "Save Data (xml)" and the hidden "Save As...".
inline const QString CATALOGUE_SAVE_FILTER =
    QStringLiteral("XML Files (*.xml)| *.xml| All Files (*.*)| *.*||");
inline const QString CATALOGUE_SAVE_AS_FILTER;

// The user's own copy of the catalogue, CATALOGUE_FILE_NAME in the folder
// CATALOGUE_USER_FOLDER of the user's data folder ($XDG_DATA_HOME, as a rule
// ~/.local/share). An installed tool's own copy lies in a folder the user cannot write, so
// edits are saved here and read back from here. "" when the user has no data folder.
inline const QString CATALOGUE_USER_FOLDER = QStringLiteral("rfid-lorix");
QString UserCatalogueFilePath();
// Creates the folder of UserCatalogueFilePath() when it is missing; false when it cannot.
bool MakeUserCatalogueFolder();

// The catalogue file the window reads unless its environment names another: the user's
// copy when there is one, or else CATALOGUE_FILE_NAME in the executable's folder.
QString CatalogueFilePath();

// A parameter element: its tag name begins with "p" and a digit 1 to 9 (only the first
// two characters count, so "p10" and "p1x" are parameters too).
bool IsParameterName(QStringView tagName);

// The pictures an entry can get; the command tree shows each as a cell of its picture strip.
enum class CataloguePictureKind { RfidTag, Barcode, Gear, Prompt };

// The picture of an entry: the gear for the root, then by name "Scan" before "RFID",
// then the gear for a group and the prompt for a command.
CataloguePictureKind CataloguePicture(const QString &name, const QString &instruction, bool isRoot);

// Reads the file into `document` with the parser (any root name). False, with the
// document untouched, when the file cannot be opened; the parser's own result is not
// looked at: whatever was parsed is shown. The parser's warnings go to `warning`.
bool LoadCatalogueDocument(CXML &document, const QString &path, const CXMLWarningFunction &warning = {});

// The instruction, then a separator and the "Default" of every child in document order
// (a child without one adds the separator alone). "" for a group (no instruction).
QString ComposeCommandLine(const CXML &entry);

// The parameter-pair filter ("description|pattern|...||") in the file dialog's own
// syntax ("description (patterns);;..."). The patterns stay as the pair gives them. A
// filter without any pair gives "All Files (*)".
QString ToFileDialogFilter(const QString &pairFilter);
