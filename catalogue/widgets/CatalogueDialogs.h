#pragma once

// The tool's answers to the catalogue library's two questions for a person: the
// parser's and writer's warnings as a modal message box, and the file to save to from
// the save-file dialog. User-interface thread only.

#include <QString>

class QWidget;

// The save-file dialog for SaveAs: `initialName` preselected, the pair filter shown in
// the dialog's own syntax, no overwrite question. "" when cancelled.
QString AskCatalogueSaveFile(QWidget *parent, const QString &initialName, const QString &pairFilter);

// Installs the message box and the save-file dialog, both over `parent` (which may go
// away first; the dialogs then have no parent). A function that is already installed (a
// test's recorder) is kept.
void InstallCatalogueDialogs(QWidget *parent);
