#include "text_spotter/spotter.hpp"

#include "common/event_json.hpp"
#include "common/unicode.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <thread>

namespace quorl::spotter {

using Json = nlohmann::json;

Result<Request> decodeRequest(std::string_view text) {
  // Typed decoding as the JSON library does it; its exception text is the
  // description the host sees ("key 'image' not found", "type must be
  // number, but is string", a parse error with its position).
  try {
    const Json json = Json::parse(text);
    Request request;
    request.image = json.at("image").get<std::string>();
    const auto regions = json.at("regions").get<std::vector<Json>>();
    request.regions.reserve(regions.size());
    for (const Json& region : regions) {
      request.regions.push_back(Region{region.at("x").get<double>(), region.at("y").get<double>(),
                                       region.at("width").get<double>(),
                                       region.at("height").get<double>()});
    }
    return request;
  } catch (const Json::exception& e) {
    return Failure{e.what()};
  }
}

// GLib's decoder skips characters outside the alphabet and never reports an
// error, so it cannot tell the host's bad data from good; this one refuses.
std::optional<std::string> decodeBase64(std::string_view text) {
  static constexpr auto kValues = [] {
    std::array<int8_t, 256> values{};
    values.fill(-1);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    return values;
  }();
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      int value = kValues[c];
      if (value < 0) {
        if (!(last && c == '=' && k >= 4 - padding)) return std::nullopt;
        value = 0;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    const size_t bytes = last ? 3 - padding : 3;
    for (size_t k = 0; k < bytes; ++k) out.push_back(static_cast<char>((group >> (16 - 8 * k)) & 0xff));
  }
  return out;
}

PixPtr decodeImage(std::string_view bytes) {
  if (bytes.empty()) return nullptr;
  PixPtr read(pixReadMem(reinterpret_cast<const l_uint8*>(bytes.data()), bytes.size()));
  if (!read) return nullptr;
  if (pixGetDepth(read.get()) == 32 && pixGetSpp(read.get()) == 4) {
    PixPtr flat(pixRemoveAlpha(read.get()));
    if (!flat) return nullptr;
    read = std::move(flat);
  }
  PixPtr rgb(pixConvertTo32(read.get()));
  if (!rgb) return nullptr;
  pixSetSpp(rgb.get(), 3);
  return rgb;
}

std::optional<PixelRect> regionRect(const Region& region, int imageWidth, int imageHeight) {
  double x = region.x, y = region.y, w = region.width, h = region.height;
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(w) || !std::isfinite(h)) {
    return std::nullopt;
  }
  // A negative size extends the rectangle to the left or upward.
  if (w < 0) x += w, w = -w;
  if (h < 0) y += h, h = -h;
  if (w == 0 || h == 0) return std::nullopt;  // contains no pixel at all
  const double x0 = std::max(std::floor(x), 0.0);
  const double y0 = std::max(std::floor(y), 0.0);
  const double x1 = std::min(std::ceil(x + w), static_cast<double>(imageWidth));
  const double y1 = std::min(std::ceil(y + h), static_cast<double>(imageHeight));
  if (!(x1 - x0 >= 1) || !(y1 - y0 >= 1)) return std::nullopt;
  return PixelRect{static_cast<int64_t>(x0), static_cast<int64_t>(y0), static_cast<int64_t>(x1),
                   static_cast<int64_t>(y1)};
}

PixPtr LeptonicaDrawing::crop(const Pix& image, const PixelRect& rect) {
  Box* box = boxCreate(static_cast<l_int32>(rect.x0), static_cast<l_int32>(rect.y0),
                       static_cast<l_int32>(rect.width()), static_cast<l_int32>(rect.height()));
  if (!box) return nullptr;
  PixPtr out(pixClipRectangle(const_cast<Pix*>(&image), box, nullptr));
  boxDestroy(&box);
  return out;
}

PixPtr LeptonicaDrawing::bitmap(int64_t width, int64_t height) {
  constexpr int64_t kSide = std::numeric_limits<int32_t>::max();
  if (width <= 0 || height <= 0 || width > kSide || height > kSide) return nullptr;
  if (width * height > maxBitmapBytes_ / 4) return nullptr;
  PixPtr out(pixCreate(static_cast<l_int32>(width), static_cast<l_int32>(height), 32));
  if (out) pixSetSpp(out.get(), 3);
  return out;
}

bool LeptonicaDrawing::drawScaled(Pix& bitmap, const Pix& source, int x, int y) {
  // Linear interpolation (Leptonica's choice for enlarging colour images).
  PixPtr scaled(pixScale(const_cast<Pix*>(&source), kScale, kScale));
  if (!scaled) return false;
  return pixRasterop(&bitmap, x, y, pixGetWidth(scaled.get()), pixGetHeight(scaled.get()), PIX_SRC,
                     scaled.get(), 0, 0) == 0;
}

std::optional<uint32_t> LeptonicaDrawing::meanColour(const Pix& source) {
  auto* pix = const_cast<Pix*>(&source);
  if (pixGetDepth(pix) != 32) return std::nullopt;
  const int w = pixGetWidth(pix), h = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  if (!data || w <= 0 || h <= 0) return std::nullopt;
  uint64_t r = 0, g = 0, b = 0;
  for (int row = 0; row < h; ++row) {
    const l_uint32* line = data + static_cast<ptrdiff_t>(row) * wpl;
    for (int col = 0; col < w; ++col) {
      l_int32 pr, pg, pb;
      extractRGBValues(line[col], &pr, &pg, &pb);
      r += static_cast<uint64_t>(pr), g += static_cast<uint64_t>(pg), b += static_cast<uint64_t>(pb);
    }
  }
  const uint64_t n = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  auto mean = [n](uint64_t sum) { return static_cast<l_int32>((sum + n / 2) / n); };
  l_uint32 colour = 0;
  composeRGBPixel(mean(r), mean(g), mean(b), &colour);
  return colour;
}

bool LeptonicaDrawing::fill(Pix& bitmap, uint32_t colour) {
  return pixSetAllArbitrary(&bitmap, colour) == 0;
}

// A Leptonica bitmap already is an image; the recognizer reads it as it is.
PixPtr LeptonicaDrawing::image(PixPtr bitmap) { return bitmap; }

namespace {

void appendMapped(const std::vector<RecognizedLine>& lines, const PixelRect& shown,
                  const PixelRect& region, std::vector<Line>& out) {
  const auto sx = static_cast<double>(shown.x0), sy = static_cast<double>(shown.y0);
  const auto sw = static_cast<double>(shown.width()), sh = static_cast<double>(shown.height());
  const Rect kept{static_cast<double>(region.x0), static_cast<double>(region.y0),
                  static_cast<double>(region.width()), static_cast<double>(region.height())};
  for (const RecognizedLine& line : lines) {
    Line mapped{line.text,
                line.confidence,
                sx + line.box.x * sw,
                sy + (1 - (line.box.y + line.box.height)) * sh,
                line.box.width * sw,
                line.box.height * sh};
    const Point centre{mapped.x + mapped.width / 2, mapped.y + mapped.height / 2};
    if (kept.contains(centre)) out.push_back(std::move(mapped));
  }
}

}  // namespace

Result<std::vector<Line>> linesOfRegion(const Pix& image, const Region& region, Drawing& drawing,
                                        Recognizer& recognizer) {
  const int width = pixGetWidth(const_cast<Pix*>(&image));
  const int height = pixGetHeight(const_cast<Pix*>(&image));
  const auto r = regionRect(region, width, height);
  if (!r) return std::vector<Line>{};
  const PixelRect context{std::max<int64_t>(r->x0 - kContextMargin, 0),
                          std::max<int64_t>(r->y0 - kContextMargin, 0),
                          std::min<int64_t>(r->x1 + kContextMargin, width),
                          std::min<int64_t>(r->y1 + kContextMargin, height)};
  const PixPtr contextCrop = drawing.crop(image, context);
  const PixPtr regionCrop = drawing.crop(image, *r);
  if (!contextCrop || !regionCrop) return std::vector<Line>{};

  PixPtr contextBitmap = drawing.bitmap(kScale * context.width(), kScale * context.height());
  if (!contextBitmap || !drawing.drawScaled(*contextBitmap, *contextCrop, 0, 0)) {
    return Failure{messages::kNoDrawingContext};
  }
  const auto mean = drawing.meanColour(*regionCrop);
  if (!mean) return Failure{messages::kNoMeanColor};

  // The region alone, enlarged, on a margin of its own average colour.
  const PixelRect padded{r->x0 - kIsolatedMargin, r->y0 - kIsolatedMargin, r->x1 + kIsolatedMargin,
                         r->y1 + kIsolatedMargin};
  PixPtr isolatedBitmap = drawing.bitmap(kScale * padded.width(), kScale * padded.height());
  if (!isolatedBitmap || !drawing.fill(*isolatedBitmap, *mean) ||
      !drawing.drawScaled(*isolatedBitmap, *regionCrop, kScale * kIsolatedMargin,
                          kScale * kIsolatedMargin)) {
    return Failure{messages::kNoDrawingContext};
  }

  const PixPtr contextImage = drawing.image(std::move(contextBitmap));
  const PixPtr isolatedImage = drawing.image(std::move(isolatedBitmap));
  if (!contextImage || !isolatedImage) return Failure{messages::kNoScaledImage};

  std::vector<Line> lines;
  Recognition seen = recognizer.recognize(*contextImage);
  if (seen.error) return Failure{*seen.error};
  appendMapped(seen.lines, context, *r, lines);
  seen = recognizer.recognize(*isolatedImage);
  if (seen.error) return Failure{*seen.error};
  appendMapped(seen.lines, padded, *r, lines);
  return lines;
}

Result<std::vector<std::vector<Line>>> spotRegions(const Pix& image,
                                                   const std::vector<Region>& regions,
                                                   const RecognizerFactory& recognizers,
                                                   const SpotOptions& options) {
  const size_t count = regions.size();
  std::vector<std::optional<Result<std::vector<Line>>>> results(count);
  std::atomic<size_t> next{0};
  std::atomic<size_t> firstFailure{count};

  // Each worker takes the next region in order; a failure stops every worker
  // from starting a later region, and the earliest failure is the answer, as
  // it would be if the regions were read one after the other.
  auto work = [&] {
    std::unique_ptr<Recognizer> recognizer;
    std::unique_ptr<Drawing> drawing;
    for (;;) {
      const size_t i = next.fetch_add(1);
      if (i >= count || i > firstFailure.load()) return;
      if (!recognizer) recognizer = recognizers();
      if (!drawing) drawing = options.drawing();
      results[i] = linesOfRegion(image, regions[i], *drawing, *recognizer);
      if (std::holds_alternative<Failure>(*results[i])) {
        size_t seen = firstFailure.load();
        while (i < seen && !firstFailure.compare_exchange_weak(seen, i)) {
        }
      }
    }
  };
  const size_t workers = std::clamp<size_t>(options.workers, 1, std::max<size_t>(count, 1));
  if (workers == 1) {
    work();
  } else {
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < workers; ++i) threads.emplace_back(work);
  }

  std::vector<std::vector<Line>> out;
  out.reserve(count);
  for (auto& result : results) {
    if (auto* failure = std::get_if<Failure>(&*result)) return *failure;
    out.push_back(std::move(std::get<std::vector<Line>>(*result)));
  }
  return out;
}

namespace {

// The confidence is a 32-bit float; written through its shortest decimal form
// so that 0.91f reads 0.91 rather than 0.9100000262260437.
double shortestFloat(float value) {
  std::array<char, 32> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
  double out = 0;
  std::from_chars(text.data(), written.ptr, out);
  return out;
}

}  // namespace

std::string answerJson(const std::vector<std::vector<Line>>& regions) {
  Json list = Json::array();
  for (const auto& lines : regions) {
    Json entry = Json::array();
    for (const Line& line : lines) {
      entry.push_back(Json{{"text", unicode::repairUtf8(line.text)},
                           {"confidence", shortestFloat(line.confidence)},
                           {"x", line.x},
                           {"y", line.y},
                           {"width", line.width},
                           {"height", line.height}});
    }
    list.push_back(std::move(entry));
  }
  const Json answer{{"regions", std::move(list)}};
  if (auto text = writeEventJson(answer)) return *text;
  return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Result<std::string> answer(std::string_view requestText, const RecognizerFactory& recognizers,
                           const SpotOptions& options) {
  if (requestText.size() > kMaxRequestBytes) return Failure{messages::kTooLarge};
  auto decoded = decodeRequest(requestText);
  if (auto* failure = std::get_if<Failure>(&decoded)) return *failure;
  const Request& request = std::get<Request>(decoded);
  if (request.regions.empty() || request.regions.size() > kMaxRegions) {
    return Failure{messages::kRegionCount};
  }
  // Refuse an over-long image before decoding a byte of it.
  if (request.image.size() / 4 * 3 > options.maxImageBytes + 2) {
    return Failure{messages::kUnreadableImage};
  }
  const auto bytes = decodeBase64(request.image);
  if (!bytes || bytes->size() > options.maxImageBytes) return Failure{messages::kUnreadableImage};
  const PixPtr image = decodeImage(*bytes);
  if (!image) return Failure{messages::kUnreadableImage};
  auto regions = spotRegions(*image, request.regions, recognizers, options);
  if (auto* failure = std::get_if<Failure>(&regions)) return *failure;
  return answerJson(std::get<std::vector<std::vector<Line>>>(regions));
}

}  // namespace quorl::spotter
