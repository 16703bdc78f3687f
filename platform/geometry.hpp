#pragma once
// Root-window coordinates: origin at the top left of the screen, y down, pixels.

namespace quorl {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  // Half-open: the right and bottom edges are outside.
  bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
  bool operator==(const Rect&) const = default;
};

}  // namespace quorl
