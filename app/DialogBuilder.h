#pragma once

#include "res/DialogTemplates.h"

class QWidget;

// Builds the plain controls of a dialog template, the kinds every dialog of the tool shows
// alike: an icon (the application's, at the platform's large icon size, placed at its own
// size), a label, push buttons (the default one marked), check boxes, push-like check
// boxes, radio buttons, group boxes and etched lines. Each is made a child of `parent` and
// placed at its template rectangle. Returns nullptr for the kinds a dialog builds itself
// (lists, edits, trees, the log, sliders); window's thread only.
QWidget *CreatePlainControl(const DialogControlTemplate &item, const DialogBaseUnits &units, QWidget *parent);
