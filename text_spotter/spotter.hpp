#pragma once
// text-spotter: reads the text inside given regions of an image.  One request
// (an encoded image and 1 to 32 regions) in, the recognised lines of every
// region out.  Everything here is plain logic over Leptonica bitmaps and the
// Recognizer interface; main.cpp only wires standard input and output to it.
#include "platform/geometry.hpp"
#include "text_spotter/recognizer.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorl::spotter {

inline constexpr size_t kMaxRequestBytes = 32'000'000;
inline constexpr size_t kMaxImageBytes = 16'000'000;
inline constexpr size_t kMaxRegions = 32;
inline constexpr int kContextMargin = 80;   // pixels of surroundings in the context pass
inline constexpr int kIsolatedMargin = 10;  // pixels of plain mean colour around the region alone
inline constexpr int kScale = 3;

// A failure of the whole run: the one line written to standard error.
struct Failure {
  std::string description;
  bool operator==(const Failure&) const = default;
};

namespace messages {
inline constexpr const char* kTooLarge = "request too large";
inline constexpr const char* kRegionCount = "1 to 32 regions";
inline constexpr const char* kUnreadableImage = "unreadable image";
inline constexpr const char* kNoDrawingContext = "no drawing context";
inline constexpr const char* kNoMeanColor = "no mean color";
inline constexpr const char* kNoScaledImage = "no scaled image";
}  // namespace messages

// A region of interest in the image's pixels, top-left origin.
using Region = Rect;

struct Request {
  std::string image;  // Base64 text, not yet decoded
  std::vector<Region> regions;
};

// One reported line, in the image's pixel coordinates (top-left origin).
struct Line {
  std::string text;
  float confidence = 0;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// Whole pixels: [x0, x1) × [y0, y1).
struct PixelRect {
  int64_t x0 = 0;
  int64_t y0 = 0;
  int64_t x1 = 0;
  int64_t y1 = 0;
  int64_t width() const { return x1 - x0; }
  int64_t height() const { return y1 - y0; }
  bool operator==(const PixelRect&) const = default;
};

template <typename T>
using Result = std::variant<T, Failure>;

// Decodes the request text with the JSON decoder's own typing: an object with a
// string "image" and an array "regions" of objects with number "x", "y",
// "width", "height".  The decoder's description is the failure.
Result<Request> decodeRequest(std::string_view text);

// Standard Base64 as the host writes it: the 64-character alphabet, the length
// a multiple of four, "=" padding only at the very end.  Anything else (line
// breaks and other white space included) is absent.
std::optional<std::string> decodeBase64(std::string_view text);

// The first image of the data as 32-bit RGB (alpha flattened onto white); null
// when the data is no image Leptonica can read.
PixPtr decodeImage(std::string_view bytes);

// The region rounded outward to whole pixels and clipped to the image; absent
// when nothing of at least one pixel by one pixel remains.
std::optional<PixelRect> regionRect(const Region& region, int imageWidth, int imageHeight);

// The bitmap operations a region needs.  LeptonicaDrawing is the real one; it
// refuses any bitmap of more than `maxBitmapBytes`, which bounds the memory a
// request can take.
class Drawing {
 public:
  virtual ~Drawing() = default;
  // The pixels of `rect` of `image`; null when the crop cannot be made.
  virtual PixPtr crop(const Pix& image, const PixelRect& rect) = 0;
  // A new 32-bit bitmap; null when it cannot be created.
  virtual PixPtr bitmap(int64_t width, int64_t height) = 0;
  // Draws `source` enlarged `kScale` times with interpolation, its top-left
  // corner at (x, y) of `bitmap`.  False when it cannot.
  virtual bool drawScaled(Pix& bitmap, const Pix& source, int x, int y) = 0;
  // The average colour of every pixel of `source` (0xRRGGBB00); absent when
  // the pixels cannot be read.
  virtual std::optional<uint32_t> meanColour(const Pix& source) = 0;
  virtual bool fill(Pix& bitmap, uint32_t colour) = 0;
  // The finished picture handed to the recognizer; null when it cannot be made.
  virtual PixPtr image(PixPtr bitmap) = 0;
};

class LeptonicaDrawing : public Drawing {
 public:
  static constexpr int64_t kDefaultMaxBitmapBytes = int64_t{1} << 30;
  explicit LeptonicaDrawing(int64_t maxBitmapBytes = kDefaultMaxBitmapBytes)
      : maxBitmapBytes_(maxBitmapBytes) {}
  PixPtr crop(const Pix& image, const PixelRect& rect) override;
  PixPtr bitmap(int64_t width, int64_t height) override;
  bool drawScaled(Pix& bitmap, const Pix& source, int x, int y) override;
  std::optional<uint32_t> meanColour(const Pix& source) override;
  bool fill(Pix& bitmap, uint32_t colour) override;
  PixPtr image(PixPtr bitmap) override;

 private:
  int64_t maxBitmapBytes_;
};

// The lines of one region: the context pass, then the isolated pass, each kept
// when its centre lies in the region (right and bottom edges excluded).
Result<std::vector<Line>> linesOfRegion(const Pix& image, const Region& region,
                                        Drawing& drawing, Recognizer& recognizer);

using RecognizerFactory = std::function<std::unique_ptr<Recognizer>()>;
using DrawingFactory = std::function<std::unique_ptr<Drawing>()>;

struct SpotOptions {
  // Regions recognised at once, each thread with its own recognizer and
  // drawing.  The answer is the same for every value.
  unsigned workers = 1;
  DrawingFactory drawing = [] { return std::make_unique<LeptonicaDrawing>(); };
  // Largest image data accepted, once decoded from Base64.
  size_t maxImageBytes = kMaxImageBytes;
};

// Every region's lines, in request order; the first failure in request order
// ends the run.
Result<std::vector<std::vector<Line>>> spotRegions(const Pix& image,
                                                   const std::vector<Region>& regions,
                                                   const RecognizerFactory& recognizers,
                                                   const SpotOptions& options = {});

// The whole program after reading standard input: decode, check, recognise,
// and write the answer text (without the final line feed).
Result<std::string> answer(std::string_view requestText, const RecognizerFactory& recognizers,
                           const SpotOptions& options = {});

// {"regions":[[line, ...], ...]}
std::string answerJson(const std::vector<std::vector<Line>>& regions);

}  // namespace quorl::spotter
