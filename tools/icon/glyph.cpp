#include "tools/icon/glyph.h"

#include <algorithm>
#include <cmath>

namespace patu::icon {
namespace {

struct Color {
  double r, g, b;
};
constexpr Color kNavy{0, 0, 128};
constexpr Color kYellow{255, 255, 0};
constexpr Color kPaleYellow{255, 255, 204};
constexpr Color kWhite{255, 255, 255};

struct Point {
  double x, y;
};

// A filled shape on the 16-unit square: a rounded rectangle or a polygon (left to bottom are
// then its bounds), grown by `outline` units all round (an outline in another colour is the
// same shape, grown, drawn first).
struct Shape {
  Color color;
  std::vector<Point> polygon;  // empty: the rounded rectangle below
  double left = 0, top = 0, right = 0, bottom = 0, radius = 0;
  double outline = 0;

  bool covers(Point p) const {
    if (p.x < left - outline || p.x > right + outline || p.y < top - outline ||
        p.y > bottom + outline) {
      return false;
    }
    return polygon.empty() ? in_box(p) : in_polygon(p);
  }

  bool in_box(Point p) const {
    // Distance to the rectangle shrunk by the radius, against the radius.
    const double r = radius + outline;
    const double dx = std::max({left + radius - p.x, 0.0, p.x - (right - radius)});
    const double dy = std::max({top + radius - p.y, 0.0, p.y - (bottom - radius)});
    return dx * dx + dy * dy <= r * r;
  }

  bool in_polygon(Point p) const {
    bool inside = false;
    double nearest = 1e9;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
      const Point a = polygon[j];
      const Point b = polygon[i];
      if ((b.y > p.y) != (a.y > p.y) && p.x < (a.x - b.x) * (p.y - b.y) / (a.y - b.y) + b.x) {
        inside = !inside;
      }
      const double ex = b.x - a.x, ey = b.y - a.y;
      const double t =
          std::clamp(((p.x - a.x) * ex + (p.y - a.y) * ey) / (ex * ex + ey * ey), 0.0, 1.0);
      nearest = std::min(nearest, std::hypot(p.x - (a.x + t * ex), p.y - (a.y + t * ey)));
    }
    return inside || nearest <= outline;
  }
};

Shape box(Color color, double left, double top, double right, double bottom, double radius,
          double outline = 0) {
  Shape s{color, {}, left, top, right, bottom, radius, outline};
  return s;
}

Shape polygon(Color color, std::vector<Point> points, double outline = 0) {
  Shape s{color, std::move(points)};
  s.outline = outline;
  // Its bounds, for the quick test in covers.
  s.left = s.right = s.polygon[0].x;
  s.top = s.bottom = s.polygon[0].y;
  for (const Point& p : s.polygon) {
    s.left = std::min(s.left, p.x);
    s.right = std::max(s.right, p.x);
    s.top = std::min(s.top, p.y);
    s.bottom = std::max(s.bottom, p.y);
  }
  return s;
}

// Back to front. The arrow's navy outline keeps its yellow apart from a light background and
// from the device's top edge.
std::vector<Shape> glyph() {
  const std::vector<Point> arrow{{6.75, 0.5}, {9.25, 0.5}, {9.25, 4}, {12, 4},
                                 {8, 8.25},   {4, 4},      {6.75, 4}};
  return {
      box(kNavy, 2, 5.5, 14, 15.5, 1.75),        // the device
      box(kPaleYellow, 4, 8.5, 12, 11.5, 0.25),  // its screen
      box(kWhite, 4.25, 12.75, 7, 14.25, 0.5),   // the left arrow key
      box(kWhite, 9, 12.75, 11.75, 14.25, 0.5),  // the right arrow key
      polygon(kNavy, arrow, 0.75),               // the arrow's outline
      polygon(kYellow, arrow),                   // the arrow
  };
}

}  // namespace

std::uint32_t Image::pixel(int x, int y) const {
  const std::size_t i = (static_cast<std::size_t>(y) * size + x) * 4;
  return static_cast<std::uint32_t>(rgba[i]) << 24 | rgba[i + 1] << 16 | rgba[i + 2] << 8 |
         rgba[i + 3];
}

Image draw(int size) {
  constexpr int kSamples = 8;  // per pixel and axis
  const std::vector<Shape> shapes = glyph();
  Image image{size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
  const double unit = 16.0 / size;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      double r = 0, g = 0, b = 0, covered = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const Point p{(x + (sx + 0.5) / kSamples) * unit, (y + (sy + 0.5) / kSamples) * unit};
          for (auto s = shapes.rbegin(); s != shapes.rend(); ++s) {
            if (!s->covers(p)) continue;
            r += s->color.r;
            g += s->color.g;
            b += s->color.b;
            covered += 1;
            break;
          }
        }
      }
      std::uint8_t* out = &image.rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      if (covered > 0) {
        out[0] = static_cast<std::uint8_t>(std::lround(r / covered));
        out[1] = static_cast<std::uint8_t>(std::lround(g / covered));
        out[2] = static_cast<std::uint8_t>(std::lround(b / covered));
      }
      out[3] = static_cast<std::uint8_t>(std::lround(255 * covered / (kSamples * kSamples)));
    }
  }
  return image;
}

}  // namespace patu::icon
