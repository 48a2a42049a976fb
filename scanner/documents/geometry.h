// Plane geometry for the finder: convex hulls, the smallest rectangle around one, straight
// lines through scattered points.
#pragma once

#include <optional>
#include <vector>

#include "documents.h"

namespace documents {

struct Point {
  double x = 0, y = 0;
};

inline constexpr double kPi = 3.14159265358979323846;
inline double Radians(double degrees) {
  return degrees * kPi / 180;
}
inline double Degrees(double radians) {
  return radians * 180 / kPi;
}

// The same rectangle with its angle in (-45, 45] (width and height exchanged as it turns by a
// quarter).
RotatedRect Normalised(RotatedRect rect);

// The convex hull, counter-clockwise as seen, without repeated or collinear points.
std::vector<Point> ConvexHull(std::vector<Point> points);

// The rectangle of least area around a convex hull.
RotatedRect SmallestRectangle(const std::vector<Point>& hull);

// The rectangle at the given angle that just holds the points.
RotatedRect Enclosing(const std::vector<Point>& points, double degrees);

// A line offset = a + b * along through points (along, offset), fitted by least squares, then
// again without the points lying far from the first fit.
struct Line {
  double a = 0, b = 0;
  int inliers = 0;
};
std::optional<Line> FitLine(const std::vector<Point>& points);

}  // namespace documents
