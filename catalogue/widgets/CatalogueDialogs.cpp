#include "catalogue/widgets/CatalogueDialogs.h"

#include "catalogue/Catalogue.h"
#include "xml/XML.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>

QString AskCatalogueSaveFile(QWidget *parent, const QString &initialName, const QString &pairFilter)
{
    // No overwrite question: an existing file is replaced, as the operator chose it.
    return QFileDialog::getSaveFileName(parent, QString(), initialName, ToFileDialogFilter(pairFilter),
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

void InstallCatalogueDialogs(QWidget *parent)
{
    const QPointer<QWidget> owner(parent);
    CXMLWarningFunction previousWarning = SetXMLWarningFunction(
        [owner](const QString &text, const QString &caption) {
            QMessageBox::warning(owner.data(), caption, text);
        });
    if (previousWarning)
        SetXMLWarningFunction(std::move(previousWarning));

    CXMLSaveFileFunction previousSave = SetXMLSaveFileFunction(
        [owner](const QString &initialName, const QString &filter) {
            return AskCatalogueSaveFile(owner.data(), initialName, filter);
        });
    if (previousSave)
        SetXMLSaveFileFunction(std::move(previousSave));
}
