// Finding and straightening documents on made pictures of a glass at 50 dpi: sheets drawn at a
// known place and angle (each pixel the mean of 4 x 4 points), noise added. What is found must
// lie within 0.1 degree and 2 pixels of what was drawn; what is straightened must match a plain
// rotation, come out with no skew left and no rim of glass.
#include "scanner/documents/documents.h"
#include "scanner/documents/rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using documents::FindDocuments;
using documents::PictureView;
using documents::RotatedRect;
using documents::Straighten;

constexpr double kPi = 3.14159265358979323846;
constexpr int kW = 425, kH = 585, kWhite = 250, kDark = 14, kLightGray = 235;
// A page of print: paper, and lines of words in a block inside the margins.
constexpr double kPaper = 246, kInk = 30, kMargin = 0.1, kPitch = 10, kXHeight = 4;

enum class Kind { kPhoto, kPage };
struct Sheet {
  Kind kind;
  RotatedRect rect;
};
struct Scene {
  std::string name;
  std::vector<Sheet> sheets;
  int glass = kWhite;
  int channels = 3;
  double noise = 2;
  double specks = 0;   // share of pixels turned black or white
  bool dirty = false;  // dust, and the glass's dark frame at the top and left
  bool bottomUp = false;
  double scale = 1;  // of the glass and the sheets (not of the print): 2.1 for some 105 dpi
};

void PrintTo(const Scene& scene, std::ostream* out) {
  *out << scene.name;
}

std::vector<Scene> Scenes() {
  std::vector<Scene> scenes;
  for (const double a : {-15.0, -3.7, -0.4, 0.0, 0.6, 2.2, 12.0})
    for (const Kind kind : {Kind::kPhoto, Kind::kPage})
      for (const int glass : {kWhite, kDark}) {
        std::string name = std::string(kind == Kind::kPhoto ? "Photo" : "Page") +
                           (glass == kWhite ? "OnWhite" : "OnDark") + (a < 0 ? "Minus" : "") +
                           std::to_string(std::lround(std::abs(a) * 10));
        scenes.push_back({name,
                          {{kind, {212, 292, 280, 380, a}}},
                          glass,
                          kind == Kind::kPhoto ? 3 : 1,
                          2,
                          0,
                          false,
                          a == 2.2});
      }
  scenes.push_back({"ThreePhotos",
                    {{Kind::kPhoto, {75, 150, 120, 170, -4}},
                     {Kind::kPhoto, {215, 160, 110, 150, 2.5}},
                     {Kind::kPhoto, {350, 170, 100, 130, 7}}}});
  scenes.push_back({"EmptyGlass", {}, kWhite, 3, 3, 0.002});
  // More pixels than finding works on: found shrunk, measured on the whole.
  for (const char* name : {"ThreePhotos", "PageOnWhite120"}) {
    Scene scene =
        *std::find_if(scenes.begin(), scenes.end(), [&](auto& s) { return s.name == name; });
    scene.name += "At105Dpi";
    scene.scale = 2.1;
    for (Sheet& sheet : scene.sheets)
      sheet.rect = {sheet.rect.centerX * 2.1, sheet.rect.centerY * 2.1, sheet.rect.width * 2.1,
                    sheet.rect.height * 2.1, sheet.rect.degrees};
    scenes.push_back(scene);
  }
  // A scanned area: the sheet and a strip of glass around it.
  scenes.push_back({"NearlyFillingTheGlass", {{Kind::kPhoto, {212, 292, 395, 555, 1.3}}}});
  // Beyond kMaxStraightenDegrees: found, not turned.
  scenes.push_back({"Steep", {{Kind::kPhoto, {212, 292, 200, 260, -30}}}, kDark});
  scenes.push_back(
      {"DustAndNoise", {{Kind::kPhoto, {210, 300, 260, 200, 5.5}}}, kLightGray, 3, 6, 0.003, true});
  return scenes;
}

struct Frame {  // a rectangle's axes
  double c, s;
  explicit Frame(const RotatedRect& r)
      : c(std::cos(r.degrees * kPi / 180)), s(std::sin(r.degrees * kPi / 180)) {}
};

// The block of print on a page, in the page's own frame: left, top, right, bottom.
std::array<double, 4> PrintBlock(const RotatedRect& page) {
  const double lines = std::floor((page.height * (1 - 2 * kMargin) - kXHeight) / kPitch) + 1;
  const double top = -page.height / 2 + kMargin * page.height;
  return {-page.width / 2 + kMargin * page.width, top, page.width / 2 - kMargin * page.width,
          top + (lines - 1) * kPitch + kXHeight};
}

// The colour at a point of a sheet, (u, v) from its centre along its sides.
std::array<double, 3> SheetColour(const Sheet& sheet, double u, double v) {
  const RotatedRect& r = sheet.rect;
  if (sheet.kind == Kind::kPhoto)
    return {60 + 140 * (u / r.width + 0.5), 180 - 100 * (v / r.height + 0.5),
            90 + 60 * std::sin(u / 13) * std::cos(v / 17)};
  const auto [left, top, right, bottom] = PrintBlock(r);
  const int line = static_cast<int>(std::floor((v - top) / kPitch));
  // Paragraphs of eight lines, the last one short, a line apart.
  const double end = line % 9 == 7 ? left + 0.3 * (right - left) : right;
  bool ink = u >= left && u < end && v >= top && v < bottom && v - top - line * kPitch < kXHeight &&
             line % 9 != 8;
  // Words of 8 to 37 pixels, 4 apart, the last one reaching the line's end; letters 2 wide.
  for (double word = left, i = 0; ink && word < end; i += 1) {
    const double last = std::min(word + 8 + (line * 7919 + int(i) * 104729) % 30, end);
    if (end - last < 12) {
      ink = u >= word && (std::fmod(u - left, 3) < 2 || u > end - 2);
      break;
    }
    if (u < last + 4) {
      ink = u < last && std::fmod(u - left, 3) < 2;
      break;
    }
    word = last + 4;
  }
  const double value = ink ? kInk : kPaper;
  return {value, value, value};
}

struct Made {
  std::vector<std::uint8_t> bytes;
  PictureView view;
};

Made Make(const Scene& scene) {
  Made made;
  const int w = int(kW * scene.scale), h = int(kH * scene.scale);
  const int ch = scene.channels, stride = w * ch + 3;
  made.bytes.assign(static_cast<std::size_t>(stride) * h, 0);
  made.view = {w, h, stride, ch, made.bytes, scene.bottomUp};
  std::mt19937 random(29);
  std::normal_distribution<double> noise(0, scene.noise);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::array<double, 3> sum{};
      for (int k = 0; k < 16; ++k) {
        const double px = x + (k % 4 + 0.5) / 4, py = y + (k / 4 + 0.5) / 4;
        std::array<double, 3> colour{1.0 * scene.glass, 1.0 * scene.glass, 1.0 * scene.glass};
        for (const Sheet& sheet : scene.sheets) {
          const Frame f(sheet.rect);
          const double dx = px - sheet.rect.centerX, dy = py - sheet.rect.centerY;
          const double u = dx * f.c + dy * f.s, v = -dx * f.s + dy * f.c;
          if (std::abs(u) < sheet.rect.width / 2 && std::abs(v) < sheet.rect.height / 2)
            colour = SheetColour(sheet, u, v);
        }
        for (int c = 0; c < 3; ++c) sum[c] += colour[c] / 16;
      }
      const bool dust = scene.dirty && ((x >= 30 && x < 33 && y >= 550 && y < 553) ||
                                        (x >= 395 && x < 400 && y >= 40 && y < 45) ||
                                        (x >= 380 && x < 384 && y >= 560 && y < 564));
      const bool frame = scene.dirty && (y < 4 || x < 3);
      const bool speck = unit(random) < scene.specks;
      const double speckValue = unit(random) < 0.5 ? 0 : 255;
      const std::size_t row = static_cast<std::size_t>(scene.bottomUp ? h - 1 - y : y) * stride;
      for (int c = 0; c < ch; ++c) {
        const double v = speck ? speckValue : dust ? 40 : frame ? 60 : sum[c] + noise(random);
        made.bytes[row + x * ch + c] =
            static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
  return made;
}

// What should be found for a sheet: the sheet, or on a white glass only its print.
RotatedRect Truth(const Scene& scene, const Sheet& sheet) {
  if (sheet.kind == Kind::kPhoto || scene.glass != kWhite) return sheet.rect;
  const auto [left, top, right, bottom] = PrintBlock(sheet.rect);
  const Frame f(sheet.rect);
  const double u = (left + right) / 2, v = (top + bottom) / 2;
  return {sheet.rect.centerX + u * f.c - v * f.s, sheet.rect.centerY + u * f.s + v * f.c,
          right - left, bottom - top, sheet.rect.degrees};
}

double CornerError(const RotatedRect& a, const RotatedRect& b) {
  double worst = 0;
  for (const auto& [su, sv] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}) {
    const Frame fa(a), fb(b);
    const double ua = su * a.width / 2, va = sv * a.height / 2;
    const double ub = su * b.width / 2, vb = sv * b.height / 2;
    worst = std::max(
        worst, std::hypot(a.centerX + ua * fa.c - va * fa.s - (b.centerX + ub * fb.c - vb * fb.s),
                          a.centerY + ua * fa.s + va * fa.c - (b.centerY + ub * fb.s + vb * fb.c)));
  }
  return worst;
}

// A plain rotation: each pixel of the result read between the four around its point.
int Sample(const PictureView& p, double x, double y, int c) {
  auto at = [&](int xi, int yi) {
    xi = std::clamp(xi, 0, p.width - 1);
    yi = std::clamp(yi, 0, p.height - 1);
    return p.pixels[(p.bottomUp ? p.height - 1 - yi : yi) * p.bytesPerLine + xi * p.channels + c];
  };
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const double fx = x - x0, fy = y - y0;
  return int(std::lround((at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                         (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy));
}

int Pixel(const documents::Picture& p, int x, int y, int c) {
  return p.pixels[(p.bottomUp ? p.height - 1 - y : y) * p.bytesPerLine + x * p.channels + c];
}

class DocumentsTest : public ::testing::TestWithParam<Scene> {};

TEST_P(DocumentsTest, FindsAndStraightensEverySheet) {
  const Scene& scene = GetParam();
  const Made made = Make(scene);
  const std::vector<RotatedRect> found = FindDocuments(made.view);
  std::vector<RotatedRect> truths;
  for (const Sheet& sheet : scene.sheets) truths.push_back(Truth(scene, sheet));  // largest first
  ASSERT_EQ(found.size(), truths.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    const RotatedRect& f = found[i];
    const double angleError = std::abs(f.degrees - truths[i].degrees);
    const double cornerError = CornerError(f, truths[i]);
    std::printf("%-22s angle %+8.4f error %.4f, corners %.3f px\n", scene.name.c_str(), f.degrees,
                angleError, cornerError);
    EXPECT_LT(angleError, 0.1);
    EXPECT_LT(cornerError, 2.0);

    const documents::Straightened straightened = Straighten(made.view, f);
    const documents::Picture& out = straightened.picture;
    if (std::abs(f.degrees) > documents::kMaxStraightenDegrees) {
      EXPECT_TRUE(straightened.takenAsUpright);
      const double halfW = (Frame(f).c * f.width + std::abs(Frame(f).s) * f.height) / 2;
      EXPECT_EQ(out.width, int(std::ceil(f.centerX + halfW) - std::floor(f.centerX - halfW)));
      continue;
    }
    EXPECT_FALSE(straightened.takenAsUpright);
    ASSERT_EQ(out.width, int(std::floor(f.width - 2 * documents::kStraightenRim + 1e-9)));
    ASSERT_EQ(out.height, int(std::floor(f.height - 2 * documents::kStraightenRim + 1e-9)));
    // Against a plain rotation; an angle that moves no pixel by half a pixel gives a copy.
    const Frame axes(f), truth(scene.sheets[i].rect);
    const bool copy = std::abs(axes.s) * std::max(out.width, out.height) < 0.5;
    const double x0 = f.centerX - out.width / 2.0, y0 = f.centerY - out.height / 2.0;
    // The plain copy in a bitmap's layout: the same pixels.
    documents::AllowAvx2(false);
    const documents::Picture plain = Straighten(made.view, f, {4, true}).picture;
    documents::AllowAvx2(true);
    ASSERT_EQ(plain.bytesPerLine % 4, 0);
    int worst = 0, rimOff = 0, rim = 0, differ = 0;
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x)
        for (int c = 0; c < out.channels; ++c) {
          const double u = x + 0.5 - out.width / 2.0, v = y + 0.5 - out.height / 2.0;
          const double px = f.centerX + u * axes.c - v * axes.s,
                       py = f.centerY + u * axes.s + v * axes.c;
          const int reference = copy ? Sample(made.view, std::round(x0) + x, std::round(y0) + y, c)
                                     : Sample(made.view, px - 0.5, py - 0.5, c);
          worst = std::max(worst, std::abs(Pixel(out, x, y, c) - reference));
          differ += Pixel(out, x, y, c) != Pixel(plain, x, y, c);
          // The rim against the sheet as drawn there.
          const double dx = px - scene.sheets[i].rect.centerX,
                       dy = py - scene.sheets[i].rect.centerY;
          if (x == 0 || y == 0 || x == out.width - 1 || y == out.height - 1) {
            const auto drawn = SheetColour(scene.sheets[i], dx * truth.c + dy * truth.s,
                                           -dx * truth.s + dy * truth.c)[c];
            rimOff += std::abs(Pixel(out, x, y, c) - drawn) > 24;
            ++rim;
          }
        }
    // Weights in 64ths of a pixel: off by at most the contrast / 128, and a half for rounding.
    EXPECT_LE(worst, copy ? 0 : 3) << "against a plain rotation";
    EXPECT_EQ(differ, 0) << "the plain copy";
    // Where the sheet's own edge was found, its rim is the sheet's (but for specks of noise).
    if (truths[i].width == scene.sheets[i].rect.width) {
      EXPECT_LE(rimOff, rim / 100) << "glass";
    }
    std::printf("%-22s straightened: %d from a plain rotation, rim %d of %d off the sheet\n",
                scene.name.c_str(), worst, rimOff, rim);

    // Laid on the glass again, straight: no skew left.
    const int pad = 20, stride = (out.width + 2 * pad) * out.channels;
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(stride) * (out.height + 2 * pad),
                                     static_cast<std::uint8_t>(scene.glass));
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x)
        for (int c = 0; c < out.channels; ++c)
          padded[(y + pad) * stride + (x + pad) * out.channels + c] =
              static_cast<std::uint8_t>(Pixel(out, x, y, c));
    const auto straight =
        FindDocuments({out.width + 2 * pad, out.height + 2 * pad, stride, out.channels, padded});
    ASSERT_FALSE(straight.empty());
    EXPECT_LT(std::abs(straight[0].degrees), 0.1) << "skew left";
    std::printf("%-22s residual skew %+.4f\n", scene.name.c_str(), straight[0].degrees);
  }
}

INSTANTIATE_TEST_SUITE_P(Glass, DocumentsTest, ::testing::ValuesIn(Scenes()),
                         [](const auto& info) { return info.param.name; });

TEST(Straighten, CopiesAnUprightRectangleAndRefusesWhatIsNoDocument) {
  const Made made = Make({"Noise", {}, kWhite, 3, 40});
  const PictureView& view = made.view;
  // Upright (given as a quarter turn, too): the pixels under it, less the rim, as they are.
  for (const RotatedRect& r : {RotatedRect{100, 200, 50, 40, 0}, {100, 200, 40, 50, 90}}) {
    const documents::Picture out = Straighten(view, r).picture;
    ASSERT_EQ(out.width, 48);
    ASSERT_EQ(out.height, 38);
    for (int y = 0; y < out.height; ++y)
      EXPECT_EQ(std::memcmp(&out.pixels[y * out.bytesPerLine],
                            &view.pixels[(181 + y) * view.bytesPerLine + 76 * 3], 48 * 3),
                0);
  }
  // Running off the picture's corner: its edge pixels repeated, in both copies alike.
  const RotatedRect corner{10, 8, 60, 40, 5};
  const documents::Picture off = Straighten(view, corner).picture;
  documents::AllowAvx2(false);
  EXPECT_TRUE(Straighten(view, corner).picture.pixels == off.pixels);
  documents::AllowAvx2(true);
  const Frame axes(corner);
  for (int y = 0; y < off.height; ++y)
    for (int x = 0; x < off.width; ++x) {
      const double u = x + 0.5 - off.width / 2.0, v = y + 0.5 - off.height / 2.0;
      EXPECT_NEAR(
          Pixel(off, x, y, 1),
          Sample(view, 10 + u * axes.c - v * axes.s - 0.5, 8 + u * axes.s + v * axes.c - 0.5, 1),
          3);
    }
  PictureView shorter = view;
  shorter.pixels = view.pixels.first(view.pixels.size() - 4);  // the padding and a byte
  for (const RotatedRect& r : {RotatedRect{NAN, 200, 50, 40, 3},
                               {100, 200, 0, 40, 3},
                               {-100, 200, 50, 40, 3},
                               {212, 292, 50, 900, 3}})
    EXPECT_TRUE(Straighten(view, r).picture.pixels.empty());
  EXPECT_TRUE(Straighten(shorter, {100, 200, 50, 40, 3}).picture.pixels.empty());
}

}  // namespace
