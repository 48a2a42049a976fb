#include "window_layout.h"

#include <algorithm>

namespace {

// Between two effect buttons once they have closed up.
constexpr int kClosestButtonGap = 4;
// The picture's box keeps room for a part of the picture beside its scroll bars.
constexpr QSize kSmallestView(240, 160);

int StoredPitch(const ControlPlaces& stored) {
  return stored.effects.size() > 1 ? stored.effects[1].top() - stored.effects[0].top()
                                   : stored.effects.front().height();
}

}  // namespace

ControlPlaces PlaceControls(const ControlPlaces& stored, QSize growth) {
  ControlPlaces placed = stored;
  placed.view.setSize(stored.view.size() + growth);
  placed.png.translate(growth.width(), growth.height());
  if (stored.effects.empty()) return placed;

  const QRect& first = stored.effects.front();
  const int pitch = StoredPitch(stored);
  const int gap = pitch - first.height();
  const int steps = static_cast<int>(stored.effects.size()) - 1;
  // The column's last button ends one stored gap above the PNG button at the latest.
  const int room = placed.png.top() - gap - first.top() - first.height();
  const int fitting = steps > 0 ? room / steps : pitch;
  const int closest = std::min(pitch, first.height() + kClosestButtonGap);
  const int used = std::clamp(fitting, closest, pitch);
  for (int i = 0; i <= steps; ++i)
    placed.effects[static_cast<std::size_t>(i)] = first.translated(growth.width(), i * used);
  return placed;
}

QSize SmallestGrowth(const ControlPlaces& stored) {
  int height = kSmallestView.height() - stored.view.height();
  if (!stored.effects.empty()) {
    const QRect& first = stored.effects.front();
    const int pitch = StoredPitch(stored);
    const int steps = static_cast<int>(stored.effects.size()) - 1;
    const int closedUpEnd =
        first.top() + steps * std::min(pitch, first.height() + kClosestButtonGap) + first.height();
    const int highestPngTop = closedUpEnd + pitch - first.height();
    height = std::max(height, highestPngTop - stored.png.top());
  }
  return QSize(kSmallestView.width() - stored.view.width(), height).boundedTo(QSize(0, 0));
}

QRect FitIntoArea(QRect outer, const QRect& area, QSize smallest) {
  outer.setSize(outer.size().boundedTo(area.size()).expandedTo(smallest));
  outer.moveLeft(std::max(area.left(), std::min(outer.left(), area.right() + 1 - outer.width())));
  outer.moveTop(std::max(area.top(), std::min(outer.top(), area.bottom() + 1 - outer.height())));
  return outer;
}
