// The files the benchmark writes to: configurations in the shape of a real
// one, and the shapes of file that once fell off the common path.
#ifndef KAVRO_BENCH_BENCH_FILES_H_
#define KAVRO_BENCH_BENCH_FILES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace bench_files {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// Where a configuration's [Hardware] section stands.
enum class Place { kHalfWay, kTop };

// A long configuration in the shape of a real one: many module sections of
// settings, with the [Hardware] section (under `header`) half-way or at the
// top and without the driver's key.
inline std::string MakeConfiguration(int64_t size, std::string_view header = "[Hardware]",
                                     Place place = Place::kHalfWay) {
  const int64_t hardware_at = place == Place::kTop ? 0 : size / 2;
  std::string text;
  text.reserve(static_cast<size_t>(size) + 256);
  bool hardware_added = false;
  for (int section = 0; static_cast<int64_t>(text.size()) < size; ++section) {
    if (!hardware_added && static_cast<int64_t>(text.size()) >= hardware_at) {
      text.append(header).append(
          "\r\nMDEMO.DLL=Demo Board Driver\r\nMIO16.DLL=Multi I/O 16 Driver\r\n\r\n");
      hardware_added = true;
    }
    text += "[Module " + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 12; ++key) {
      text += "Channel" + std::to_string(key) + "Gain = " + std::to_string(section * 31 + key) +
              ".25 ; volts per count\r\n";
    }
    text += "\r\n";
  }
  return text;
}

// The shapes of file that once fell off the common path.
enum class Shape {
  kCommon,
  kReadersDisagree,  // a comment with brackets after the header: Wine finds no [Hardware]
  kLongLine,         // all of the file but its last 4 KiB is its first line
  kUtf16,
  kReadersDisagreeAtTop,  // the same header, as the file's first line
};
constexpr int kShapeCount = 5;

// Where the shape's [Hardware] section stands: a common file beside it has
// its own there too.
inline Place PlaceOf(Shape shape) {
  return shape == Shape::kReadersDisagreeAtTop ? Place::kTop : Place::kHalfWay;
}

inline const char* NameOf(Shape shape) {
  switch (shape) {
    case Shape::kCommon:
      return "common";
    case Shape::kReadersDisagree:
      return "readers disagree";
    case Shape::kLongLine:
      return "long line";
    case Shape::kUtf16:
      return "UTF-16";
    case Shape::kReadersDisagreeAtTop:
      return "readers disagree, at the top";
  }
  return "";
}

// A file of the shape, of `size` bytes or a little more.
inline std::string MakeFile(Shape shape, int64_t size) {
  switch (shape) {
    case Shape::kCommon:
      break;
    case Shape::kReadersDisagree:
    case Shape::kReadersDisagreeAtTop:
      return MakeConfiguration(size, "[Hardware] ; see [notes]", PlaceOf(shape));
    case Shape::kLongLine: {
      const int64_t rest = 4 * kKiB;
      std::string text = "; ";
      text.append(static_cast<size_t>(size - rest), '-').append("\r\n");
      return text + MakeConfiguration(rest);
    }
    case Shape::kUtf16: {
      const std::string text = MakeConfiguration(size / 2);
      std::string utf16 = "\xFF\xFE";
      utf16.reserve(2 * text.size() + 2);
      for (const char c : text) utf16.append({c, '\0'});
      return utf16;
    }
  }
  return MakeConfiguration(size);
}

}  // namespace bench_files

#endif  // KAVRO_BENCH_BENCH_FILES_H_
