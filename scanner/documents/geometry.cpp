#include "geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace documents {
namespace {

double Cross(const Point& o, const Point& a, const Point& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// A point further from a fitted line than this many estimated spreads is not on it, nor
// anything further than kFarOffLine pixels.
constexpr double kSpreads = 3.0;
constexpr double kFarOffLine = 0.75;
constexpr double kMadToSigma = 1.4826;
constexpr int kFewestPoints = 3;

std::optional<Line> LeastSquares(const std::vector<Point>& points, const std::vector<bool>& use) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!use[i]) continue;
    const Point& p = points[i];
    n += 1;
    sx += p.x;
    sy += p.y;
    sxx += p.x * p.x;
    sxy += p.x * p.y;
  }
  if (n < kFewestPoints) return std::nullopt;
  const double spread = sxx - sx * sx / n;
  if (spread <= 0) return std::nullopt;
  Line line;
  line.b = (sxy - sx * sy / n) / spread;
  line.a = (sy - line.b * sx) / n;
  line.inliers = static_cast<int>(n);
  return line;
}

}  // namespace

RotatedRect Normalised(RotatedRect rect) {
  rect.degrees = std::remainder(rect.degrees, 180.0);  // now in [-90, 90]
  while (rect.degrees > 45) {
    rect.degrees -= 90;
    std::swap(rect.width, rect.height);
  }
  while (rect.degrees <= -45) {
    rect.degrees += 90;
    std::swap(rect.width, rect.height);
  }
  return rect;
}

std::vector<Point> ConvexHull(std::vector<Point> points) {
  std::sort(points.begin(), points.end(),
            [](const Point& a, const Point& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  if (points.size() < 3) return points;
  std::vector<Point> hull(2 * points.size());
  std::size_t k = 0;
  for (const Point& p : points) {  // lower chain
    while (k >= 2 && Cross(hull[k - 2], hull[k - 1], p) <= 0) --k;
    hull[k++] = p;
  }
  for (std::size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {  // upper chain
    while (k >= lower && Cross(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
    hull[k++] = points[i];
  }
  hull.resize(k - 1);
  return hull;
}

RotatedRect Enclosing(const std::vector<Point>& points, double degrees) {
  if (points.empty()) return {};
  const double c = std::cos(Radians(degrees)), s = std::sin(Radians(degrees));
  double u0 = std::numeric_limits<double>::max(), u1 = -u0, v0 = u0, v1 = -u0;
  for (const Point& p : points) {
    const double u = p.x * c + p.y * s, v = -p.x * s + p.y * c;
    u0 = std::min(u0, u);
    u1 = std::max(u1, u);
    v0 = std::min(v0, v);
    v1 = std::max(v1, v);
  }
  const double u = (u0 + u1) / 2, v = (v0 + v1) / 2;
  return {u * c - v * s, u * s + v * c, u1 - u0, v1 - v0, degrees};
}

RotatedRect SmallestRectangle(const std::vector<Point>& hull) {
  RotatedRect best = Enclosing(hull, 0);
  for (std::size_t i = 0; i < hull.size(); ++i) {
    const Point& a = hull[i];
    const Point& b = hull[(i + 1) % hull.size()];
    const RotatedRect rect = Enclosing(hull, Degrees(std::atan2(b.y - a.y, b.x - a.x)));
    if (rect.width * rect.height < best.width * best.height) best = rect;
  }
  return Normalised(best);
}

std::optional<Line> FitLine(const std::vector<Point>& points) {
  std::vector<bool> use(points.size(), true);
  std::optional<Line> line = LeastSquares(points, use);
  for (int round = 0; round < 2 && line; ++round) {
    std::vector<double> residuals;
    residuals.reserve(points.size());
    for (const Point& p : points) residuals.push_back(std::abs(p.y - line->a - line->b * p.x));
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double limit = std::max(kFarOffLine, kSpreads * kMadToSigma * sorted[sorted.size() / 2]);
    for (std::size_t i = 0; i < points.size(); ++i) use[i] = residuals[i] <= limit;
    line = LeastSquares(points, use);
  }
  return line;
}

}  // namespace documents
