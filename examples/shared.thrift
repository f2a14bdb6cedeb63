// Types shared by several services.
namespace py example.shared
namespace cpp example::shared

/** A point in the plane. */
struct Point {
  1: double x,
  2: double y,
}
