#include "catalogue/widgets/PropertiesPanel.h"

#include "catalogue/Catalogue.h"
#include "xml/XML.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridItemEdit.h"

namespace {

// The grid's row identifiers restart here at every selection.
constexpr int FIRST_ROW_ID = 1;

CPropGridItem *addStaticRow(CPropGrid &grid, CPropGridItem *parent, const QString &label,
                            const QString &value, const QString &info)
{
    auto *row = new CPropGridItemStatic;
    // Nothing edits these rows, so Enter on them sends the composed command as on any
    // row that cannot be edited.
    row->SetFlag(PGIF_READONLY, true);
    row->SetLabel(label);
    row->SetValue(value);
    row->SetInfo(info);
    return grid.AddItem(row, parent);
}

// The catalogue's text keeps the indentation and line breaks of its file around and
// inside it; the panel shows it as one run of words. The element keeps its text as read,
// so that Save writes the file unchanged.
QString shownDescription(const QString &text)
{
    return text.simplified();
}

} // namespace

bool ShowCatalogueEntry(CPropGrid &grid, CXML *entry, QList<CXML *> &propertyRowElements,
                        QString &commandText)
{
    if (entry == nullptr)
        return false;
    propertyRowElements.clear();
    propertyRowElements.squeeze();

    grid.RemoveItem(nullptr);
    grid.SetNextItemId(FIRST_ROW_ID);

    auto *top = new CPropGridItem;
    top->SetLabel(PANEL_TOP_LABEL);
    top->SetInfo(PANEL_TOP_INFO);
    top->SetExpanded(true);
    grid.AddItem(top);

    commandText.clear();
    addStaticRow(grid, top, PANEL_NAME_LABEL, entry->GetAttribute(CATALOGUE_NAME_ATTRIBUTE), shownDescription(entry->text));
    CPropGridItem *last = addStaticRow(grid, top, PANEL_COMMAND_LABEL,
                                       entry->GetAttribute(CATALOGUE_INSTRUCTION_ATTRIBUTE), shownDescription(entry->text));
    propertyRowElements.append(entry);
    commandText = entry->GetAttribute(CATALOGUE_INSTRUCTION_ATTRIBUTE);
    if (commandText.isEmpty()) {
        grid.RefreshAll();
        return false;
    }

    CPropGridItem *expandRow = top;
    if (!entry->children.isEmpty()) {
        expandRow = addStaticRow(grid, top, PANEL_PARAMETERS_LABEL, QString(), shownDescription(entry->text));
        for (CXML *child : entry->children) {
            auto *row = new CPropGridItemEdit;
            propertyRowElements.append(child);
            row->userData = quint32(propertyRowElements.size() - 1);
            row->SetLabel(child->GetAttribute(CATALOGUE_NAME_ATTRIBUTE));
            row->SetValue(child->GetAttribute(CATALOGUE_DEFAULT_ATTRIBUTE));
            row->SetInfo(shownDescription(child->text));
            last = grid.AddItem(row, expandRow);
        }
        commandText = ComposeCommandLine(*entry);
    }
    expandRow->SetExpanded(true);
    grid.RefreshAll();
    if (last) {
        grid.SetFocusItem(last);
        last->SetSelected(true);
    }
    return true;
}

bool StoreParameterValue(CPropGridItem *row, const QList<CXML *> &propertyRowElements, QString &commandText)
{
    if (row == nullptr || propertyRowElements.isEmpty())
        return false;
    // Tag 0 is the entry itself, never a parameter row; any other index must be one of
    // the rows this panel made.
    const quint32 index = row->userData;
    if (index == 0 || index >= quint32(propertyRowElements.size()))
        return false;
    propertyRowElements.at(qsizetype(index))
        ->SetAttribute(CATALOGUE_DEFAULT_ATTRIBUTE, row->GetValue().toString());
    commandText = ComposeCommandLine(*propertyRowElements.at(0));
    return !commandText.isEmpty();
}
