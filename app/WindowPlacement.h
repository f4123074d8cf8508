#pragma once
// Where the window goes for a saved position: a position saved on a screen
// that is no longer there (or written by hand) must not leave the window
// where the user can never reach it.
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <cstdint>

// The saved top-left corner itself when the window's top strip (where it is
// taken hold of) lies on one of the screens far enough to grab; otherwise
// the nearest screen's corner that keeps the window wholly on that screen,
// or as much of it as fits. No screens: the saved corner.
QPoint ReachablePosition(int32_t left, int32_t top, QSize size, const QList<QRect> &screens);
