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

XMLHooks CatalogueDialogs(QWidget *parent, XMLHooks given)
{
    const QPointer<QWidget> owner(parent);
    if (!given.warning) {
        given.warning = [owner](const QString &text, const QString &caption) {
            QMessageBox::warning(owner.data(), caption, text);
        };
    }
    if (!given.saveFile) {
        given.saveFile = [owner](const QString &initialName, const QString &filter) {
            return AskCatalogueSaveFile(owner.data(), initialName, filter);
        };
    }
    return given;
}
