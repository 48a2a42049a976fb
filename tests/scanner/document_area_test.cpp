// Finding the document on made previews: the found rectangle must hold every pixel of the
// document drawn and reach at most a few pixels beyond it.
#include "scanner/ui/document_area.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace {

using scanner::FindDocumentArea;
using scanner::PixelRect;
using Colour = std::array<int, 3>;

struct Picture {
  const char* name;
  int width, height, channels;
  Colour glass;
  double noiseSigma;    // normal noise on every sample
  double speckDensity;  // share of pixels turned into black or white specks
  // The document: a rectangle of its size, centred at (cx, cy), turned by degrees; none when
  // its width is 0.
  double cx, cy, docWidth, docHeight, degrees;
  Colour paper;
  bool dust;  // a 3x3 spot of dust far from the document
};

constexpr Colour kWhite{250, 250, 250}, kBlack{12, 12, 12};
constexpr Picture kPictures[] = {
    {"GrayOnWhite", 240, 300, 1, kWhite, 2, 0, 100, 110, 90, 140, 0, {150, 150, 150}, true},
    {"ColourOnBlack", 240, 300, 3, kBlack, 3, 0, 120, 150, 160, 200, 0, {230, 200, 160}, false},
    {"Skewed", 300, 360, 3, kWhite, 2, 0.002, 150, 170, 150, 200, 12, {120, 160, 200}, false},
    {"EmptyGlass", 240, 300, 3, kWhite, 3, 0, 0, 0, 0, 0, 0, {}, false},
    {"NoiseOnly", 240, 300, 1, {128, 128, 128}, 8, 0.005, 0, 0, 0, 0, 0, {}, true},
    // A sheet pushed into the origin corner, wider and taller than half the glass: the top and
    // left sides of the border show more paper than glass.
    {"TouchingCorner", 240, 300, 3, kWhite, 2, 0, 85, 105, 170, 210, 0, {90, 90, 90}, false},
    // A sheet that leaves only a strip of glass at the right and bottom: more than half of the
    // border is paper.
    {"NearlyFillingTheGlass", 240, 300, 1, kWhite, 2, 0, 117.5, 146.5, 235, 293, 0, {90}, false},
};

void PrintTo(const Picture& p, std::ostream* out) {
  *out << p.name;
}

struct Made {
  std::vector<std::uint8_t> bytes;
  int bytesPerLine = 0;
  PixelRect document{};  // bounding box of the document's pixels
  bool hasDocument = false;
};

bool InsideDocument(const Picture& p, double x, double y) {
  const double a = p.degrees * M_PI / 180, dx = x - p.cx, dy = y - p.cy;
  const double u = dx * std::cos(a) + dy * std::sin(a), v = -dx * std::sin(a) + dy * std::cos(a);
  return std::abs(u) <= p.docWidth / 2 && std::abs(v) <= p.docHeight / 2;
}

Made Make(const Picture& p) {
  Made made;
  made.bytesPerLine = p.width * p.channels + 5;  // padded lines
  made.bytes.assign(static_cast<std::size_t>(made.bytesPerLine) * p.height, 0x5A);
  made.document = {p.width, p.height, -1, -1};
  std::mt19937 random(1234);
  std::normal_distribution<double> noise(0, p.noiseSigma);
  std::uniform_real_distribution<double> unit(0, 1);
  const int dustX = p.width - 20, dustY = p.height - 20;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      Colour colour = p.glass;
      if (p.docWidth > 0 && InsideDocument(p, x + 0.5, y + 0.5)) {
        colour = p.paper;
        // Lines of print on the sheet.
        if ((y / 4) % 3 == 0) colour = {40, 40, 40};
        made.hasDocument = true;
        made.document = {std::min(made.document.left, x), std::min(made.document.top, y),
                         std::max(made.document.right, x + 1),
                         std::max(made.document.bottom, y + 1)};
      }
      if (p.dust && std::abs(x - dustX) <= 1 && std::abs(y - dustY) <= 1) colour = {0, 0, 0};
      const bool speck = unit(random) < p.speckDensity;
      const int speckValue = unit(random) < 0.5 ? 0 : 255;
      for (int c = 0; c < p.channels; ++c) {
        const double v = speck ? speckValue : colour[static_cast<std::size_t>(c)] + noise(random);
        made.bytes[static_cast<std::size_t>(y) * made.bytesPerLine + x * p.channels + c] =
            static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
  return made;
}

class DocumentAreaTest : public ::testing::TestWithParam<Picture> {};

TEST_P(DocumentAreaTest, FindsTheDocumentOrTheWholeGlass) {
  const Picture& p = GetParam();
  const Made made = Make(p);
  const auto area =
      FindDocumentArea({p.width, p.height, made.bytesPerLine, p.channels, made.bytes});
  ASSERT_EQ(area.found, made.hasDocument);
  const PixelRect& r = area.rect;
  if (!made.hasDocument) {
    EXPECT_EQ(r, (PixelRect{0, 0, p.width, p.height}));
    return;
  }
  const PixelRect& d = made.document;
  EXPECT_LE(r.left, d.left);
  EXPECT_LE(r.top, d.top);
  EXPECT_GE(r.right, d.right);
  EXPECT_GE(r.bottom, d.bottom);
  // A small margin, within the image (the dust far off is not part of the document).
  const int margin = 6;
  EXPECT_GE(r.left, std::max(d.left - margin, 0));
  EXPECT_GE(r.top, std::max(d.top - margin, 0));
  EXPECT_LE(r.right, std::min(d.right + margin, p.width));
  EXPECT_LE(r.bottom, std::min(d.bottom + margin, p.height));
  if (d.left > 0) {
    EXPECT_LT(r.left, d.left) << "no margin";
  }
}

INSTANTIATE_TEST_SUITE_P(Pictures, DocumentAreaTest, ::testing::ValuesIn(kPictures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DocumentAreaLayout, BytesShorterThanTheLayoutFindNothing) {
  const Made made = Make(kPictures[0]);
  const std::span<const std::uint8_t> shorter(made.bytes.data(), made.bytes.size() - 10);
  for (const auto& image : {scanner::PreviewBytes{240, 300, made.bytesPerLine, 1, shorter},
                            scanner::PreviewBytes{240, 300, 239, 1, made.bytes},
                            scanner::PreviewBytes{240, 300, made.bytesPerLine, 2, made.bytes}}) {
    const auto area = FindDocumentArea(image);
    EXPECT_FALSE(area.found);
    EXPECT_EQ(area.rect, (PixelRect{0, 0, 240, 300}));
  }
}

}  // namespace
