#pragma once

// Combo boxes as assistive technology sees them, named by what they are for. The toolkit's
// own interface names a combo box by its current text on this platform (it leaves the name
// to a label relation): a screen reader then says "i,0,0,0" for the command box and a device
// path for the port picker. A box that has an accessible name of its own is read by it here,
// its current text as its value, with the same children (the list, the line edit of an
// editable box) and the action that opens the list. Installed once per process with the
// toolkit's accessibility factories; user-interface thread only.
void InstallNamedComboAccessibility();
