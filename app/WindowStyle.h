#pragma once
// The window is laid out in the original's pixels. Its combo boxes there had
// a narrower drop-down button than this platform's default style draws, and
// the room went to the text: "1000" in the default sans font does not fit
// beside the default button.
#include <QStyle>

// The drop-down button never gets wider than this.
constexpr int ComboDropDownWidth = 15;

// The style for the window's combo boxes: the application's style with the
// drop-down button narrowed to ComboDropDownWidth and the text field widened
// by as much. Owned by the application object.
QStyle *ComboBoxStyle();
