#pragma once

class QWidget;

// Dialog-unit geometry was drawn for the Windows dialog face; a substitute face can set the
// same text wider. These measure a control's text with the font it really has.

// How many pixels wider the control must be to show its whole text on one line: 0 when it
// fits, and for every control that shows no text of its own. Labels, push buttons, check
// boxes and radio buttons are measured in the area their style draws the text in.
int TextOverflow(const QWidget *control);

// Widens a label, check box or radio button by its overflow, keeping its left edge, so that
// nothing else moves. Push buttons keep their size: their neighbours sit close beside them.
void GrowToText(QWidget *control);
