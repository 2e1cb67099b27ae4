#pragma once

// The property grid as assistive technology sees it: the list pane is a tree whose children
// are the rows shown (expanded parents' children included, in the order drawn), each with
// its label as name, its value, read-only or editable, expandable and expanded, focused and
// selected, and the actions to edit its value or to expand and collapse it. Installed once
// per process with the toolkit's accessibility factories, which are the toolkit's own list;
// user-interface thread only, like the grid.

// Adds the grid's interfaces to the toolkit's accessibility factories; later calls do
// nothing. The grid calls it when it is made.
void InstallPropGridAccessibility();

class CPropGrid;
// Tells assistive technology that the grid's focused row changed (the arrows moved it), when
// the list pane has the keyboard focus; a screen reader then reads that row.
void AnnouncePropGridFocus(CPropGrid *grid);
