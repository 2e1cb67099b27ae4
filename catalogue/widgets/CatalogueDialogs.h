#pragma once

// The tool's answers to the catalogue library's two questions for a person: the
// parser's and writer's warnings as a modal message box, and the file to save to from
// the save-file dialog. User-interface thread only.

#include "xml/XML.h"

#include <QString>

class QWidget;

// The save-file dialog for SaveAs: `initialName` preselected, the pair filter shown in
// the dialog's own syntax, no overwrite question. "" when cancelled.
QString AskCatalogueSaveFile(QWidget *parent, const QString &initialName, const QString &pairFilter);

// The message box and the save-file dialog, both over `parent` (which may go away first;
// the dialogs then have no parent), in place of the functions `given` lacks; a function
// it has (a test's recorder) is kept.
XMLHooks CatalogueDialogs(QWidget *parent, XMLHooks given);
