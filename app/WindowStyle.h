#pragma once
// The window places its controls at fixed pixel sizes, drawn for combo boxes
// whose drop-down button is narrower than the one this platform's default
// style draws: beside the default button "1000" in the default sans font
// does not fit.
#include <QStyle>

// The drop-down button never gets wider than this.
constexpr int ComboDropDownWidth = 15;

// The style for the window's combo boxes: the application's style with the
// drop-down button narrowed to ComboDropDownWidth and the text field widened
// by as much. Owned by the application object.
QStyle *ComboBoxStyle();
