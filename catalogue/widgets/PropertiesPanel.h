#pragma once

// The properties panel: one catalogue entry shown in the property grid, with its
// parameters as editable rows, and the command line composed from them (the GUI half of
// the catalogue). The panel's tables point into the catalogue document without owning
// it. User-interface thread only.

#include <QList>
#include <QString>

class CPropGrid;
class CPropGridItem;
class CXML;

// Texts of the panel's fixed rows.
inline const QString PANEL_TOP_LABEL = QStringLiteral("Properties");
inline const QString PANEL_TOP_INFO = QStringLiteral("This is a root level item");
inline const QString PANEL_NAME_LABEL = QStringLiteral("Name");
inline const QString PANEL_COMMAND_LABEL = QStringLiteral("Command");
inline const QString PANEL_PARAMETERS_LABEL = QStringLiteral("Parameters");

// Rebuilds the grid for `entry`: "Properties" with "Name" and "Command", and for a
// command with children "Parameters" with one editable row per child, whose numeric tag
// (userData) is the child's index in `propertyRowElements` (entry 0 is `entry` itself).
// `commandText` becomes the composed command line. Returns true when the window should
// push its members to the controls: false for a group, whose command box keeps what it
// showed, and for a null entry (nothing changes then).
bool ShowCatalogueEntry(CPropGrid &grid, CXML *entry, QList<CXML *> &propertyRowElements,
                        QString &commandText);

// Stores the row's value as the "Default" of the parameter its tag names and composes
// `commandText` again from entry 0. Returns true when the window should push its members
// to the controls; false for a null row, a tag that names no parameter of the shown
// entry, or when the shown entry is a group.
bool StoreParameterValue(CPropGridItem *row, const QList<CXML *> &propertyRowElements,
                         QString &commandText);
