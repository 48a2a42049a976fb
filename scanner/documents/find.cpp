// Finding the documents: what differs from the glass is marked on a picture of bounded size,
// marks near each other are grouped into parts, and each part is measured: a part that mostly
// differs from the glass (a photo, a page on a dark lid) by the straight edges along which it
// meets the glass, found to a fraction of a pixel on the full picture; a part that mostly does
// not (a white page on a white lid) by its lines of print.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <numeric>

#include "documents.h"
#include "geometry.h"
#include "glass.h"
#include "rows.h"

namespace documents {
namespace {

constexpr int kSmallestPicture = 8;
// Finding works on a picture shrunk to at most this many pixels along its longer side.
constexpr int kWorkingSide = 1200;
// Marks are grouped on a grid of cells, about this many along the longer side.
constexpr int kCellsAlong = 200;
// A run of nearly full rows (or columns) at the picture's edge, thinner than this share of the
// picture, is the glass's own frame.
constexpr double kFrameShare = 0.03;
constexpr double kNearlyFull = 0.9;
// Parts of print closer than this share of the picture's longer side are one page.
constexpr double kPrintGapShare = 0.03;
// A part whose rectangle is at least this share marked is measured by its edges.
constexpr double kSolidShare = 0.5;
// The smallest document: its sides against the picture's smaller side, its area against the
// picture's.
constexpr double kSmallestSideShare = 0.04;
constexpr double kSmallestAreaShare = 0.003;

using Index = std::size_t;
Index At(int x, int y, int w) {
  return static_cast<Index>(y) * static_cast<Index>(w) + static_cast<Index>(x);
}

// The working picture's pixels that differ from the glass, and by how much.
struct Marks {
  int w = 0, h = 0;
  Bytes difference;  // both written whole
  Bytes marked;
};

// Clears a run of nearly full lines at one edge of the picture when it is thin: the glass's
// frame, not a document (a document reaching the edge fills many more lines).
template <typename Full, typename Clear>
void PeelFrame(int lines, Full full, Clear clear) {
  const int most = std::max(1, static_cast<int>(std::lround(lines * kFrameShare)));
  int run = 0;
  while (run <= most && run < lines && full(run)) ++run;
  if (run > most) return;
  for (int i = 0; i < run; ++i) clear(i);
}

// Clears the groups of touching marks (side or corner) that have, with the marks within
// kDustReach pixels of them, fewer than kDustMarks marks: specks, dust and noise, whose blur
// makes them a few pixels wide, alone or two or three together. A letter of small print is as
// small, but has its neighbours.
constexpr int kDustMarks = 12;
constexpr int kDustReach = 3;

void DropDust(Bytes& marked, int w, int h) {
  struct Run {
    int y, x0, x1, group;  // x1 excluded
  };
  struct Group {
    int parent, size, x0, y0, x1, y1;  // its box, x1 and y1 excluded
  };
  std::vector<Run> runs;
  std::vector<Group> groups;
  auto at = [&](int g) -> Group& { return groups[static_cast<Index>(g)]; };
  auto root = [&](int g) {
    while (at(g).parent != g) g = at(g).parent = at(at(g).parent).parent;
    return g;
  };
  auto join = [&](int a, int b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (at(a).size < at(b).size) std::swap(a, b);
    Group &into = at(a), &from = at(b);
    from.parent = a;
    into.size += from.size;
    into.x0 = std::min(into.x0, from.x0);
    into.y0 = std::min(into.y0, from.y0);
    into.x1 = std::max(into.x1, from.x1);
    into.y1 = std::max(into.y1, from.y1);
  };
  Index above = 0;  // the first run of the row above
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* mark = marked.data() + At(0, y, w);
    const Index first = runs.size();
    Index touching = above;  // the first run above that may touch the next run here
    for (int x = 0; x < w;) {
      if (!mark[x]) {
        ++x;
        continue;
      }
      const int x0 = x;
      while (x < w && mark[x]) ++x;
      const int g = static_cast<int>(groups.size());
      groups.push_back({g, x - x0, x0, y, x, y + 1});
      runs.push_back({y, x0, x, g});
      // Runs above that touch this one, corners included.
      while (touching < first && runs[touching].x1 < x0) ++touching;
      for (Index i = touching; i < first && runs[i].x0 <= x; ++i) join(runs[i].group, g);
    }
    above = first;
  }
  // A small group is dust when there are few marks around it.
  std::vector<bool> dust(groups.size(), false);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    if (group.parent != static_cast<int>(g) || group.size >= kDustMarks) continue;
    int around = 0;
    for (int y = std::max(group.y0 - kDustReach, 0); y < std::min(group.y1 + kDustReach, h); ++y)
      for (int x = std::max(group.x0 - kDustReach, 0); x < std::min(group.x1 + kDustReach, w); ++x)
        around += marked[At(x, y, w)];
    dust[g] = around < kDustMarks;
  }
  for (const Run& run : runs)
    if (dust[static_cast<Index>(root(run.group))])
      std::fill_n(marked.begin() + static_cast<std::ptrdiff_t>(At(run.x0, run.y, w)),
                  run.x1 - run.x0, 0);
}

Marks MarkDifferences(const Rows& picture, const Glass& glass) {
  Marks m;
  const int w = m.w = picture.Width(), h = m.h = picture.Height();
  m.difference.resize(At(0, h, w));
  m.marked.resize(At(0, h, w));
  auto markAt = [&](int x, int y) { return m.marked.data() + At(x, y, w); };
  const std::array<int, 3>& g = glass.colour;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* p = picture.Row(y);
    std::uint8_t* difference = m.difference.data() + At(0, y, w);
    std::uint8_t* mark = markAt(0, y);
    for (int x = 0; x < w; ++x) {
      int d = std::abs(p[0] - g[0]);
      if (picture.Channels() == 3) {
        d = std::max({d, std::abs(p[1] - g[1]), std::abs(p[2] - g[2])});
        p += 3;
      } else {
        ++p;
      }
      difference[x] = static_cast<std::uint8_t>(d);
      mark[x] = d > glass.threshold;
    }
  }

  auto rowFull = [&](int y) {
    const std::uint8_t* mark = markAt(0, y);
    return std::accumulate(mark, mark + w, 0) >= kNearlyFull * w;
  };
  auto columnFull = [&](int x) {
    int n = 0;
    for (int y = 0; y < h; ++y) n += *markAt(x, y);
    return n >= kNearlyFull * h;
  };
  auto clearRow = [&](int y) { std::fill_n(markAt(0, y), w, 0); };
  auto clearColumn = [&](int x) {
    for (int y = 0; y < h; ++y) *markAt(x, y) = 0;
  };
  PeelFrame(h, rowFull, clearRow);
  PeelFrame(
      h, [&](int i) { return rowFull(h - 1 - i); }, [&](int i) { clearRow(h - 1 - i); });
  PeelFrame(w, columnFull, clearColumn);
  PeelFrame(
      w, [&](int i) { return columnFull(w - 1 - i); }, [&](int i) { clearColumn(w - 1 - i); });
  DropDust(m.marked, w, h);
  return m;
}

// A group of marks: its cells, and the first and last marked pixel of each of its rows.
struct Part {
  std::vector<int> cells;              // indices into the grid
  std::vector<int> rowFirst, rowLast;  // by working row; rowFirst > rowLast for a row without marks
  std::int64_t pixels = 0;
  int gx0 = 0, gy0 = 0, gx1 = 0, gy1 = 0;  // cell box, inclusive
  // Measured from the rows:
  std::vector<Point> hull;  // of the marked pixels' centres
  RotatedRect rect;         // the smallest rectangle around them
  bool solid = false;

  double Area() const { return rect.width * rect.height; }
};

class Grid {
 public:
  explicit Grid(const Marks& marks)
      : marks_(marks),
        cell_(std::max(2, (std::max(marks.w, marks.h) + kCellsAlong - 1) / kCellsAlong)),
        gw_((marks.w + cell_ - 1) / cell_),
        gh_((marks.h + cell_ - 1) / cell_) {}

  // The parts of marked cells that lie within a cell of each other.
  std::vector<Part> Parts() const;
  // Joins parts of print that lie near each other, and parts inside another part's rectangle.
  void Join(std::vector<Part>& parts) const;
  // Every marked pixel of a part, as visit(x, y, difference).
  template <typename Visit>
  void ForEachMark(const Part& part, Visit visit) const {
    for (const int cell : part.cells) {
      const int cx = cell % gw_, cy = cell / gw_;
      for (int y = cy * cell_; y < std::min((cy + 1) * cell_, marks_.h); ++y)
        for (int x = cx * cell_; x < std::min((cx + 1) * cell_, marks_.w); ++x)
          if (marks_.marked[At(x, y, marks_.w)]) visit(x, y, marks_.difference[At(x, y, marks_.w)]);
    }
  }

 private:
  void Measure(Part& part) const;
  static void Absorb(Part& into, Part& from);

  const Marks& marks_;
  int cell_, gw_, gh_;
};

std::vector<Part> Grid::Parts() const {
  const int w = marks_.w, cell = cell_;
  std::vector<int> counts(At(0, gh_, gw_), 0);
  for (int y = 0; y < marks_.h; ++y) {
    const std::uint8_t* mark = marks_.marked.data() + At(0, y, w);
    int* count = counts.data() + At(0, y / cell, gw_);
    for (int x0 = 0, gx = 0; x0 < w; x0 += cell, ++gx)
      count[gx] += std::accumulate(mark + x0, mark + std::min(x0 + cell, w), 0);
  }
  const int least = std::max(2, cell * cell / 8);
  std::vector<std::uint8_t> on(counts.size());
  for (Index i = 0; i < counts.size(); ++i) on[i] = counts[i] >= least;

  // Cells within one cell of a marked one are joined: flood the marked cells through them.
  std::vector<std::uint8_t> near(on.size());
  for (int gy = 0; gy < gh_; ++gy)
    for (int gx = 0; gx < gw_; ++gx)
      if (on[At(gx, gy, gw_)])
        for (int ny = std::max(gy - 1, 0); ny <= std::min(gy + 1, gh_ - 1); ++ny)
          for (int nx = std::max(gx - 1, 0); nx <= std::min(gx + 1, gw_ - 1); ++nx)
            near[At(nx, ny, gw_)] = 1;
  std::vector<int> label(on.size(), -1);
  std::vector<Part> parts;
  std::vector<int> stack;
  for (Index start = 0; start < on.size(); ++start) {
    if (!on[start] || label[start] >= 0) continue;
    Part part;
    const int id = static_cast<int>(parts.size());
    label[start] = id;
    stack.assign(1, static_cast<int>(start));
    while (!stack.empty()) {
      const int c = stack.back();
      stack.pop_back();
      if (on[static_cast<Index>(c)]) part.cells.push_back(c);
      const int gx = c % gw_, gy = c / gw_;
      for (int ny = std::max(gy - 1, 0); ny <= std::min(gy + 1, gh_ - 1); ++ny)
        for (int nx = std::max(gx - 1, 0); nx <= std::min(gx + 1, gw_ - 1); ++nx) {
          const Index n = At(nx, ny, gw_);
          if (near[n] && label[n] < 0) {
            label[n] = id;
            stack.push_back(static_cast<int>(n));
          }
        }
    }
    parts.push_back(std::move(part));
  }

  // A part of a cell or two is a speck of dust whatever happens next.
  std::erase_if(parts, [](const Part& p) { return p.cells.size() < 3; });
  for (Part& part : parts) {
    part.rowFirst.assign(static_cast<Index>(marks_.h), marks_.w);
    part.rowLast.assign(static_cast<Index>(marks_.h), -1);
    part.gx0 = gw_;
    part.gy0 = gh_;
    part.gx1 = part.gy1 = -1;
    for (const int c : part.cells) {
      part.gx0 = std::min(part.gx0, c % gw_);
      part.gx1 = std::max(part.gx1, c % gw_);
      part.gy0 = std::min(part.gy0, c / gw_);
      part.gy1 = std::max(part.gy1, c / gw_);
    }
    ForEachMark(part, [&](int x, int y, int) {
      const auto row = static_cast<Index>(y);
      part.rowFirst[row] = std::min(part.rowFirst[row], x);
      part.rowLast[row] = std::max(part.rowLast[row], x);
      ++part.pixels;
    });
    Measure(part);
  }
  return parts;
}

void Grid::Measure(Part& part) const {
  std::vector<Point> ends;
  for (int y = 0; y < marks_.h; ++y) {
    const auto row = static_cast<Index>(y);
    if (part.rowFirst[row] > part.rowLast[row]) continue;
    ends.push_back({part.rowFirst[row] + 0.5, y + 0.5});
    ends.push_back({part.rowLast[row] + 0.5, y + 0.5});
  }
  part.hull = ConvexHull(std::move(ends));
  part.rect = SmallestRectangle(part.hull);
  part.rect.width += 1;  // from the outer pixels' centres to their outer sides
  part.rect.height += 1;
  part.solid = static_cast<double>(part.pixels) >= kSolidShare * part.Area();
}

void Grid::Absorb(Part& into, Part& from) {
  into.cells.insert(into.cells.end(), from.cells.begin(), from.cells.end());
  for (Index y = 0; y < into.rowFirst.size(); ++y) {
    into.rowFirst[y] = std::min(into.rowFirst[y], from.rowFirst[y]);
    into.rowLast[y] = std::max(into.rowLast[y], from.rowLast[y]);
  }
  into.pixels += from.pixels;
  into.gx0 = std::min(into.gx0, from.gx0);
  into.gy0 = std::min(into.gy0, from.gy0);
  into.gx1 = std::max(into.gx1, from.gx1);
  into.gy1 = std::max(into.gy1, from.gy1);
  from.cells.clear();
}

bool Inside(const Part& inner, const RotatedRect& outer) {
  const double c = std::cos(Radians(outer.degrees)), s = std::sin(Radians(outer.degrees));
  return std::all_of(inner.hull.begin(), inner.hull.end(), [&](const Point& p) {
    const double dx = p.x - outer.centerX, dy = p.y - outer.centerY;
    return std::abs(dx * c + dy * s) <= outer.width / 2 &&
           std::abs(-dx * s + dy * c) <= outer.height / 2;
  });
}

void Grid::Join(std::vector<Part>& parts) const {
  const int gap = static_cast<int>(
      std::ceil(kPrintGapShare * std::max(marks_.w, marks_.h) / static_cast<double>(cell_)));
  // Print: a part mostly of glass, or too small to be a document on its own (a line of print).
  const double smallest = kSmallestSideShare * std::min(marks_.w, marks_.h);
  auto print = [&](const Part& p) {
    return !p.solid || std::min(p.rect.width, p.rect.height) < smallest;
  };
  auto near = [&](const Part& a, const Part& b) {
    return a.gx0 - gap <= b.gx1 && b.gx0 - gap <= a.gx1 && a.gy0 - gap <= b.gy1 &&
           b.gy0 - gap <= a.gy1;
  };
  for (bool joined = true; joined;) {
    joined = false;
    for (Part& a : parts)
      for (Part& b : parts) {
        if (&a == &b || a.cells.empty() || b.cells.empty()) continue;
        if ((print(a) && print(b) && near(a, b)) || (a.Area() >= b.Area() && Inside(b, a.rect))) {
          Absorb(a, b);
          Measure(a);
          joined = true;
        }
      }
    std::erase_if(parts, [](const Part& p) { return p.cells.empty(); });
  }
}

// The angle of the lines of print in a part: the one at which the marks, summed along lines,
// give the sharpest profile across them. Nothing when no angle stands out. Marks are shared
// between the two nearest bins of the profile, which is then blurred so that its sharpness
// depends on the angle alone, not on where rows of pixels fall between bins (sharing alone
// keeps a row's mean position: a row's spread within one bin would go unseen).
struct Ink {
  float x, y, weight;
};

struct Profile {
  double binsPerPixel;
  std::vector<double> blur;  // a Gaussian
  std::size_t marks;         // marks taken, at most

  Profile(double bins, double spread, std::size_t most) : binsPerPixel(bins), marks(most) {
    const int reach = static_cast<int>(std::ceil(3 * spread));
    double sum = 0;
    for (int i = -reach; i <= reach; ++i)
      sum += blur.emplace_back(std::exp(-i * i / (2 * spread * spread)));
    for (double& b : blur) b /= sum;
  }

  double Sharpness(const std::vector<Ink>& ink, double radius, double degrees,
                   std::vector<double>& bins) const {
    bins.assign(2 * static_cast<Index>(radius * binsPerPixel) + 2 * blur.size() + 4, 0.0);
    const double s = std::sin(Radians(degrees)) * binsPerPixel;
    const double c = std::cos(Radians(degrees)) * binsPerPixel;
    const double middle = static_cast<double>(bins.size()) / 2;
    const std::size_t step = std::max<std::size_t>(1, ink.size() / marks);
    for (std::size_t i = 0; i < ink.size(); i += step) {
      const Ink& m = ink[i];
      const double r = -m.x * s + m.y * c + middle;
      const double lower = std::floor(r), share = r - lower;
      const auto bin = static_cast<Index>(lower);
      bins[bin] += m.weight * (1 - share);
      bins[bin + 1] += m.weight * share;
    }
    double sum = 0;
    for (Index i = 0; i + blur.size() <= bins.size(); ++i) {
      double b = 0;
      for (Index k = 0; k < blur.size(); ++k) b += blur[k] * bins[i + k];
      sum += b * b;
    }
    return sum;
  }
};

constexpr double kPrintSearch = 20;  // degrees either side of upright
constexpr double kStandsOut = 1.3;   // the best profile against the median one

// The sharpest of the angles from - reach to + reach around middle, step apart, with its
// sharpness and the median sharpness; the best placed between the steps around it.
struct Sharpest {
  double angle, score, median;
};
Sharpest Search(const Profile& profile, const std::vector<Ink>& ink, double radius, double middle,
                double reach, double step) {
  const int steps = static_cast<int>(std::lround(reach / step));
  std::vector<double> scores, bins;
  for (int i = -steps; i <= steps; ++i)
    scores.push_back(profile.Sharpness(ink, radius, middle + i * step, bins));
  const auto top =
      static_cast<int>(std::max_element(scores.begin(), scores.end()) - scores.begin());
  Sharpest sharpest{middle + (top - steps) * step, scores[static_cast<Index>(top)], 0};
  if (top > 0 && top + 1 < static_cast<int>(scores.size())) {
    const double l = scores[static_cast<Index>(top) - 1], r = scores[static_cast<Index>(top) + 1];
    const double curve = l - 2 * sharpest.score + r;
    if (curve < 0) sharpest.angle += step * 0.5 * (l - r) / curve;
  }
  std::nth_element(scores.begin(), scores.begin() + static_cast<std::ptrdiff_t>(scores.size() / 2),
                   scores.end());
  sharpest.median = scores[scores.size() / 2];
  return sharpest;
}

// A part's marks, from their mean position.
struct Print {
  std::vector<Ink> ink;
  double x = 0, y = 0;  // the mean position of the marks' centres
  double radius = 0;    // the farthest mark from it
};

Print Gather(const Grid& grid, const Part& part) {
  Print print;
  print.ink.reserve(static_cast<Index>(part.pixels));
  grid.ForEachMark(part, [&](int x, int y, int d) {
    print.ink.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(d)});
    print.x += x;
    print.y += y;
  });
  const auto n = static_cast<double>(std::max<std::size_t>(print.ink.size(), 1));
  print.x /= n;
  print.y /= n;
  for (Ink& m : print.ink) {
    m.x -= static_cast<float>(print.x);
    m.y -= static_cast<float>(print.y);
    print.radius = std::max(print.radius, static_cast<double>(std::hypot(m.x, m.y)));
  }
  print.x += 0.5;  // pixel centres
  print.y += 0.5;
  return print;
}

std::optional<double> PrintAngle(const Print& print) {
  if (print.ink.size() < 2) return std::nullopt;
  // Every half degree on a rough profile of a few marks, then closer on a sharp one.
  static const Profile rough(1, 1, 5000), sharp(4, 3, 50000);
  const Sharpest coarse = Search(rough, print.ink, print.radius, 0, kPrintSearch, 0.5);
  if (coarse.score < kStandsOut * coarse.median) return std::nullopt;
  const Sharpest closer = Search(sharp, print.ink, print.radius, coarse.angle, 0.5, 0.1);
  return Search(sharp, print.ink, print.radius, closer.angle, 0.1, 0.02).angle;
}

// The rectangle at the angle from the outermost marks' centres (a pixel the print covers only in
// part is marked or not as that part is large or small, so its centre is as likely inside the
// print's edge as outside), less the outermost kStray of the marks on each side: a speck beside
// the print, not a line of it.
constexpr double kStray = 0.0005;

RotatedRect PrintRect(const Print& print, double degrees) {
  const double c = std::cos(Radians(degrees)), s = std::sin(Radians(degrees));
  std::vector<float> u, v;
  u.reserve(print.ink.size());
  v.reserve(print.ink.size());
  for (const Ink& m : print.ink) {
    u.push_back(static_cast<float>(m.x * c + m.y * s));
    v.push_back(static_cast<float>(-m.x * s + m.y * c));
  }
  auto span = [&](std::vector<float>& along) {
    const auto stray = static_cast<std::ptrdiff_t>(kStray * static_cast<double>(along.size()));
    std::nth_element(along.begin(), along.begin() + stray, along.end());
    const double low = along[static_cast<Index>(stray)];
    std::nth_element(along.begin(), along.end() - 1 - stray, along.end());
    return std::pair{low, static_cast<double>(*(along.end() - 1 - stray))};
  };
  const auto [u0, u1] = span(u);
  const auto [v0, v1] = span(v);
  const double mu = (u0 + u1) / 2, mv = (v0 + v1) / 2;
  return Normalised(
      {print.x + mu * c - mv * s, print.y + mu * s + mv * c, u1 - u0, v1 - v0, degrees});
}

// The edges of a document that stands out from the glass, found on the full picture along
// lines across each side of an approximate rectangle.
constexpr double kEdgeSpacing = 2;  // pixels between lines across a side
constexpr int kFewestLines = 8;
constexpr int kMostLines = 100;
constexpr int kFirstLines = 24;      // while the angle is still rough
constexpr double kSideShare = 0.85;  // of each side, away from the corners
constexpr double kProfileStep = 0.5;
constexpr double kInnerFrom = 1.5, kInnerTo = 2.5;  // where the inside is read past the edge
constexpr double kEnoughOnLine = 0.3;  // share of the lines whose edge must lie on the fit
constexpr double kAtEdge = 2;          // pixels from the picture's edge

class Edges {
 public:
  Edges(const Rows& picture, const Glass& glass) : picture_(picture), glass_(glass) {}

  // The difference from the glass at a point, interpolated between the pixels around it.
  double DifferenceAt(double x, double y) const {
    const int w = picture_.Width(), h = picture_.Height(), channels = picture_.Channels();
    x = std::clamp(x - 0.5, 0.0, w - 1.0);
    y = std::clamp(y - 0.5, 0.0, h - 1.0);
    const int x0 = std::min(static_cast<int>(x), w - 2), y0 = std::min(static_cast<int>(y), h - 2);
    const int x1 = x0 + 1, y1 = y0 + 1;
    const double fx = x - x0, fy = y - y0;
    double difference = 0;
    for (int c = 0; c < channels; ++c) {
      const double top = picture_.Pixel(x0, y0)[c] * (1 - fx) + picture_.Pixel(x1, y0)[c] * fx;
      const double bottom = picture_.Pixel(x0, y1)[c] * (1 - fx) + picture_.Pixel(x1, y1)[c] * fx;
      const double v = top * (1 - fy) + bottom * fy;
      difference = std::max(difference, std::abs(v - glass_.colour[static_cast<Index>(c)]));
    }
    return difference;
  }

  // Side 0 to 3 (right, bottom, left, top as the rectangle turns): where its edge lies off the
  // rectangle's side, outwards, as a line along the side; nothing when too few lines across it
  // meet glass and then the document, or when the side lies along the picture's edge (the
  // document runs off the picture there: what lies inside is not its edge).
  std::optional<Line> FitSide(const RotatedRect& r, int side, double search, int most) const {
    const double phi = Radians(r.degrees + 90.0 * side);
    const Point n{std::cos(phi), std::sin(phi)}, t{-n.y, n.x};
    const double half = (side % 2 == 0 ? r.width : r.height) / 2;
    const double along = (side % 2 == 0 ? r.height : r.width) / 2;
    const Point middle{r.centerX + half * n.x, r.centerY + half * n.y};
    if (AlongEdge({middle.x - along * t.x, middle.y - along * t.y},
                  {middle.x + along * t.x, middle.y + along * t.y}))
      return std::nullopt;
    const int lines = std::clamp(static_cast<int>(2 * along / kEdgeSpacing), kFewestLines, most);
    const int samples = static_cast<int>((2 * search + kInnerTo) / kProfileStep) + 1;
    std::vector<double> profile(static_cast<Index>(samples));
    std::vector<Point> points;
    for (int k = 0; k < lines; ++k) {
      const double pos = kSideShare * along * (2 * (k + 0.5) / lines - 1);
      const Point base{r.centerX + half * n.x + pos * t.x, r.centerY + half * n.y + pos * t.y};
      for (int j = 0; j < samples; ++j) {
        const double s = search - j * kProfileStep;
        double sum = 0;
        for (int m = -1; m <= 1; ++m)
          sum += DifferenceAt(base.x + s * n.x + m * t.x, base.y + s * n.y + m * t.y);
        profile[static_cast<Index>(j)] = sum / 3;
      }
      if (const std::optional<double> s = Crossing(profile, search)) points.push_back({pos, *s});
    }
    std::optional<Line> line = FitLine(points);
    if (!line || line->inliers < std::max(6, static_cast<int>(kEnoughOnLine * lines)))
      return std::nullopt;
    return line;
  }

 private:
  // Where a profile, read from outside inwards, passes half way from the glass to the
  // document's inside, as an offset outwards from the side: at the step from glass to document
  // nearest the side.
  std::optional<double> Crossing(const std::vector<double>& profile, double search) const {
    const double threshold = glass_.threshold;
    const auto size = static_cast<std::ptrdiff_t>(profile.size());
    auto at = [&](std::ptrdiff_t i) { return profile[static_cast<Index>(i)]; };
    std::ptrdiff_t j = std::lround(search / kProfileStep);  // the side itself
    if (at(j) < threshold) {
      while (j < size && at(j) < threshold) ++j;
      if (j == size) return std::nullopt;
    } else {
      while (j > 0 && at(j - 1) >= threshold) --j;
      if (j == 0) return std::nullopt;  // no glass outside
    }
    const std::ptrdiff_t from = j + std::lround(kInnerFrom / kProfileStep);
    const std::ptrdiff_t to = j + std::lround(kInnerTo / kProfileStep);
    if (to >= size) return std::nullopt;
    double inside = 0, outside = 0;
    for (std::ptrdiff_t i = from; i <= to; ++i) inside += at(i);
    inside /= static_cast<double>(to - from + 1);
    const std::ptrdiff_t outsideFrom = std::max<std::ptrdiff_t>(0, j - 4);
    const std::ptrdiff_t outsideTo = std::max<std::ptrdiff_t>(0, j - 2);
    for (std::ptrdiff_t i = outsideFrom; i <= outsideTo; ++i) outside += at(i);
    outside /= static_cast<double>(outsideTo - outsideFrom + 1);
    if (inside < threshold) return std::nullopt;
    const double level = (inside + outside) / 2;
    std::ptrdiff_t i = j;
    while (i > std::max<std::ptrdiff_t>(1, j - 4) && at(i - 1) >= level) --i;
    while (i < from && at(i) < level) ++i;
    if (i >= from || at(i) <= at(i - 1)) return std::nullopt;
    const double share = (level - at(i - 1)) / (at(i) - at(i - 1));
    return search - (static_cast<double>(i - 1) + share) * kProfileStep;
  }

  // Whether both ends of a side lie at the same edge of the picture.
  bool AlongEdge(Point a, Point b) const {
    const double w = picture_.Width(), h = picture_.Height();
    auto near = [](double p, double q, double at) {
      return std::abs(p - at) <= kAtEdge && std::abs(q - at) <= kAtEdge;
    };
    return near(a.x, b.x, 0) || near(a.x, b.x, w) || near(a.y, b.y, 0) || near(a.y, b.y, h);
  }

  const Rows& picture_;
  const Glass& glass_;
};

// The rectangle of a solid part, its angle and sides taken from the edges where they are found
// (three times: from afar, then close to the last result), from the part's extent where they
// are not (where the document runs off the picture).
constexpr int kEdgeRounds = 3;
constexpr double kFirstSearch = 0.05;  // of a side's length, either way: a turn of some 5 degrees

RotatedRect FitEdges(const Edges& edges, RotatedRect rect, const std::vector<Point>& extent,
                     double slack) {
  for (int round = 0; round < kEdgeRounds; ++round) {
    std::array<std::optional<Line>, 4> sides;
    double turn = 0, weights = 0;
    for (int side = 0; side < 4; ++side) {
      const double along = side % 2 == 0 ? rect.height : rect.width;
      const double search = round == 0 ? slack + along * kFirstSearch : slack / 2 + 1;
      const auto& line = sides[static_cast<Index>(side)] =
          edges.FitSide(rect, side, search, round == 0 ? kFirstLines : kMostLines);
      if (line) {
        // An edge that drifts outwards along the side (b > 0) turns the document back.
        const double weight = line->inliers * along * along;
        turn -= weight * std::atan(line->b);
        weights += weight;
      }
    }
    if (weights == 0) break;
    // Outward distances from the centre to each side, found or taken from the extent.
    const RotatedRect outer = Enclosing(extent, rect.degrees);
    const double c = std::cos(Radians(rect.degrees)), s = std::sin(Radians(rect.degrees));
    const double ou = outer.centerX * c + outer.centerY * s - (rect.centerX * c + rect.centerY * s);
    const double ov =
        -outer.centerX * s + outer.centerY * c - (-rect.centerX * s + rect.centerY * c);
    const std::array<double, 4> fromExtent{ou + outer.width / 2, ov + outer.height / 2,
                                           outer.width / 2 - ou, outer.height / 2 - ov};
    std::array<double, 4> reach{};
    for (int side = 0; side < 4; ++side) {
      const double half = (side % 2 == 0 ? rect.width : rect.height) / 2;
      const auto& line = sides[static_cast<Index>(side)];
      reach[static_cast<Index>(side)] =
          line ? half + line->a : fromExtent[static_cast<Index>(side)];
    }
    const double du = (reach[0] - reach[2]) / 2, dv = (reach[1] - reach[3]) / 2;
    rect.centerX += du * c - dv * s;
    rect.centerY += du * s + dv * c;
    rect.width = reach[0] + reach[2];
    rect.height = reach[1] + reach[3];
    rect.degrees += Degrees(turn / weights);
  }
  return Normalised(rect);
}

RotatedRect Scaled(RotatedRect rect, double factor) {
  rect.centerX *= factor;
  rect.centerY *= factor;
  rect.width *= factor;
  rect.height *= factor;
  return rect;
}

}  // namespace

std::vector<RotatedRect> FindDocuments(const PictureView& view) {
  if (!LayoutFits(view) || std::min(view.width, view.height) < kSmallestPicture) return {};
  const Rows picture(view);
  const Reduced reduced(picture, kWorkingSide);
  const Rows& working = reduced.Picture();
  const Glass workingGlass = EstimateGlass(working);
  const Marks marks = MarkDifferences(working, workingGlass);
  const Grid grid(marks);
  std::vector<Part> parts = grid.Parts();
  grid.Join(parts);

  const double f = reduced.Factor();
  const Glass glass = f == 1 ? workingGlass : EstimateGlass(picture);
  const Edges edges(picture, glass);
  const double smallestSide = kSmallestSideShare * std::min(view.width, view.height);
  const double smallestArea = kSmallestAreaShare * view.width * static_cast<double>(view.height);
  std::vector<RotatedRect> found;
  for (const Part& part : parts) {
    // The part's marks as points on the full picture, each pixel's outer sides included.
    std::vector<Point> extent;
    for (const Point& p : part.hull)
      for (const double dx : {-0.5, 0.5})
        for (const double dy : {-0.5, 0.5}) extent.push_back({(p.x + dx) * f, (p.y + dy) * f});
    RotatedRect rect;
    if (part.solid) {
      rect = FitEdges(edges, Scaled(part.rect, f), extent, 2 * f + 2);
    } else {
      const Print print = Gather(grid, part);
      rect = Scaled(PrintRect(print, PrintAngle(print).value_or(part.rect.degrees)), f);
    }
    if (std::min(rect.width, rect.height) < smallestSide || rect.width * rect.height < smallestArea)
      continue;
    found.push_back(rect);
  }
  std::stable_sort(found.begin(), found.end(), [](const RotatedRect& a, const RotatedRect& b) {
    return a.width * a.height > b.width * b.height;
  });
  return found;
}

Box BoxAround(const RotatedRect& d, int width, int height) {
  const double angle = d.degrees * std::numbers::pi / 180;
  const double c = std::abs(std::cos(angle)), s = std::abs(std::sin(angle));
  const double halfW = (c * d.width + s * d.height) / 2, halfH = (s * d.width + c * d.height) / 2;
  const int margin = std::max(2, static_cast<int>(std::lround(std::max(width, height) / 100.0)));
  return {std::max(static_cast<int>(std::floor(d.centerX - halfW)) - margin, 0),
          std::max(static_cast<int>(std::floor(d.centerY - halfH)) - margin, 0),
          std::min(static_cast<int>(std::ceil(d.centerX + halfW)) + margin, width),
          std::min(static_cast<int>(std::ceil(d.centerY + halfH)) + margin, height)};
}

}  // namespace documents
