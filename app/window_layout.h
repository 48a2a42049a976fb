// Where the main window's controls stand as the window's size changes, and where the window opens
// on a screen. At the stored size every control stands where the stored layout puts it; a larger
// or smaller window gives the picture's box what it gains or loses, and the buttons keep their
// distance from the right edge (the PNG button also from the bottom edge).
#pragma once

#include <QRect>
#include <QSize>
#include <vector>

struct ControlPlaces {
  QRect view;                  // the picture's box
  std::vector<QRect> effects;  // the effect buttons from the top down, one size, an even pitch
  QRect png;                   // the PNG button, below them
};

// The places in a window `growth` larger than the stored one (smaller where negative). When the
// PNG button would come nearer to the last effect button than the stored gap between two effect
// buttons, the effect buttons close up instead, down to a few pixels between two.
ControlPlaces PlaceControls(const ControlPlaces& stored, QSize growth);

// The growth (zero or negative) of the smallest window in which every control is whole and none
// covers another: the effect buttons closed up, the picture's box still a useful size.
QSize SmallestGrowth(const ControlPlaces& stored);

// A window's outer rectangle moved and, if need be, shrunk into a screen's available area: as it
// is when it fits there, never smaller than `smallest`.
QRect FitIntoArea(QRect outer, const QRect& area, QSize smallest);
