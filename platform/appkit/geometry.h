// Points, sizes and rectangles in screen points, with the origin at the bottom left as on the
// platform: a window's frame.origin is its bottom-left corner.
#pragma once

namespace appkit {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;

  double maxY() const { return origin.y + size.height; }
};

}  // namespace appkit
