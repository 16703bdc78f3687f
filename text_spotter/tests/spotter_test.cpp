// The region logic of text-spotter with a recording recognizer in place of
// Tesseract: request decoding, strict Base64, the region rectangles, the two
// pictures of each region, the centre filter, the answer and every failure.
#include "text_spotter/spotter.hpp"
#include "text_spotter/tests/screenshot.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <mutex>

namespace quorl::spotter {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Json = nlohmann::json;

// Records the size and a few pixels of every picture it is shown and answers
// with scripted recognitions, one per call in order (nothing once they run out).
class RecordingRecognizer : public Recognizer {
 public:
  struct Seen {
    int width;
    int height;
    uint32_t corner;  // pixel (0, 0), 0xRRGGBB00
    uint32_t middle;  // the pixel in the middle
  };
  std::vector<Seen> seen;
  std::vector<Recognition> replies;

  Recognition recognize(const Pix& image) override {
    auto* pix = const_cast<Pix*>(&image);
    const int w = pixGetWidth(pix), h = pixGetHeight(pix);
    l_uint32 corner = 0, middle = 0;
    pixGetPixel(pix, 0, 0, &corner);
    pixGetPixel(pix, w / 2, h / 2, &middle);
    seen.push_back(Seen{w, h, corner & 0xffffff00, middle & 0xffffff00});
    const size_t call = seen.size() - 1;
    return call < replies.size() ? replies[call] : Recognition{};
  }
};

PixPtr plainImage(int width, int height, uint32_t rgb) {
  PixPtr pix(pixCreate(width, height, 32));
  pixSetAllArbitrary(pix.get(), rgb << 8);
  return pix;
}

RecognizedLine unitLine(const std::string& text, double x, double y, double w, double h) {
  return RecognizedLine{text, 0.5f, UnitBox{x, y, w, h}};
}

Recognition found(std::vector<RecognizedLine> lines) {
  Recognition out;
  out.lines = std::move(lines);
  return out;
}

std::vector<std::string> texts(const std::vector<Line>& lines) {
  std::vector<std::string> out;
  for (const Line& line : lines) out.push_back(line.text);
  return out;
}

TEST(SpotterBase64, AcceptsOnlyPaddedStandardAlphabet) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      {"", std::string()},
      {"QQ==", std::string("A")},
      {"QUI=", std::string("AB")},
      {"QUJD", std::string("ABC")},
      {"+/+/", std::string("\xfb\xff\xbf")},
      {"QQ", std::nullopt},          // padding left out
      {"QQ=", std::nullopt},
      {"Q===", std::nullopt},        // three padding characters
      {"QQ==QUJD", std::nullopt},    // padding before the end
      {"QU=D", std::nullopt},
      {"QUJD\n", std::nullopt},      // a line break
      {"QU JD", std::nullopt},       // a space
      {"QUJ*", std::nullopt},
      {"-_-_", std::nullopt},        // the URL-safe alphabet
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(decodeBase64(text), expected) << text;
  }
}

TEST(SpotterRequest, DecodesTypedAndReportsTheDecodersDescription) {
  const auto good = decodeRequest(
      R"({"image":"QQ==","regions":[{"x":1,"y":2.5,"width":3,"height":4}],"extra":true})");
  ASSERT_TRUE(std::holds_alternative<Request>(good));
  EXPECT_EQ(std::get<Request>(good).image, "QQ==");
  EXPECT_THAT(std::get<Request>(good).regions, ElementsAre(Region{1, 2.5, 3, 4}));

  const std::vector<std::pair<std::string, std::string>> failures{
      {R"({"image":"QQ==","regions":[)", "parse error"},
      {R"([1,2])", "cannot use at() with array"},
      {R"({"regions":[]})", "key 'image' not found"},
      {R"({"image":"QQ=="})", "key 'regions' not found"},
      {R"({"image":7,"regions":[]})", "type must be string, but is number"},
      {R"({"image":"","regions":{}})", "type must be array, but is object"},
      {R"({"image":"","regions":[{"x":1,"y":2,"width":3}]})", "key 'height' not found"},
      {R"({"image":"","regions":[{"x":"1","y":2,"width":3,"height":4}]})",
       "type must be number, but is string"},
      {R"({"image":"","regions":[{"x":true,"y":2,"width":3,"height":4}]})",
       "type must be number, but is boolean"},
      {R"({"image":"","regions":[7]})", "cannot use at() with number"},
  };
  for (const auto& [text, message] : failures) {
    const auto result = decodeRequest(text);
    ASSERT_TRUE(std::holds_alternative<Failure>(result)) << text;
    EXPECT_THAT(std::get<Failure>(result).description, HasSubstr(message)) << text;
  }
}

TEST(SpotterRegion, RoundsOutwardAndClipsToTheImage) {
  struct Case {
    Region region;
    std::optional<PixelRect> expected;
  };
  const std::vector<Case> cases{
      {{10, 20, 30, 10}, PixelRect{10, 20, 40, 30}},
      {{10.5, 20.25, 30.1, 10.5}, PixelRect{10, 20, 41, 31}},  // widened to whole pixels
      {{-5, -5, 20, 20}, PixelRect{0, 0, 15, 15}},
      {{190, 90, 50, 50}, PixelRect{190, 90, 200, 100}},
      {{199.5, 99.5, 0.2, 0.2}, PixelRect{199, 99, 200, 100}},  // a sliver still holds a pixel
      {{40, 30, -30, -10}, PixelRect{10, 20, 40, 30}},          // negative sizes extend backward
      {{200, 0, 10, 10}, std::nullopt},                         // right of the image
      {{-20, -20, 20, 20}, std::nullopt},                       // touches only the corner
      {{10, 10, 0, 5}, std::nullopt},                           // no width at all
      {{1e300, 1e300, 1e300, 1e300}, std::nullopt},
      {{-1e300, -1e300, 1e301, 1e301}, PixelRect{0, 0, 200, 100}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(regionRect(c.region, 200, 100), c.expected)
        << c.region.x << "," << c.region.y << " " << c.region.width << "x" << c.region.height;
  }
}

TEST(SpotterRegion, ShowsTheRecognizerTheContextAndTheRegionOnItsMeanColour) {
  // 300 x 200, grey, with a region of red left half and blue right half.
  PixPtr image = plainImage(300, 200, 0x808080);
  Box* red = boxCreate(100, 100, 10, 10);
  Box* blue = boxCreate(110, 100, 10, 10);
  pixSetInRectArbitrary(image.get(), red, 0xff000000);
  pixSetInRectArbitrary(image.get(), blue, 0x0000ff00);
  boxDestroy(&red);
  boxDestroy(&blue);
  LeptonicaDrawing drawing;
  RecordingRecognizer recognizer;

  const auto lines = linesOfRegion(*image, Region{100, 100, 20, 10}, drawing, recognizer);
  ASSERT_TRUE(std::holds_alternative<std::vector<Line>>(lines));
  ASSERT_EQ(recognizer.seen.size(), 2u);
  // Context: (20, 20)-(200, 190), three times enlarged.
  EXPECT_EQ(recognizer.seen[0].width, 3 * 180);
  EXPECT_EQ(recognizer.seen[0].height, 3 * 170);
  EXPECT_EQ(recognizer.seen[0].corner, 0x80808000u);
  // Isolated: the region grown by 10 on each side, enlarged; the margin is the
  // region's mean colour (half red, half blue).
  EXPECT_EQ(recognizer.seen[1].width, 3 * 40);
  EXPECT_EQ(recognizer.seen[1].height, 3 * 30);
  EXPECT_EQ(recognizer.seen[1].corner, 0x80008000u);
  EXPECT_NE(recognizer.seen[1].middle, 0x80008000u);
}

TEST(SpotterRegion, KeepsLinesCentredInTheRegionContextPassFirst) {
  // Image 400 x 300; region (100, 100)-(150, 120).  Context (20, 20)-(230, 200),
  // 210 x 180; isolated (90, 90)-(160, 130), 70 x 40.
  PixPtr image = plainImage(400, 300, 0xffffff);
  RecordingRecognizer recognizer;
  auto contextBox = [](double x, double y, double w, double h) {
    // Image pixels to the context picture's unit box (bottom-left origin).
    return UnitBox{(x - 20) / 210, 1 - (y + h - 20) / 180, w / 210, h / 180};
  };
  auto isolatedBox = [](double x, double y, double w, double h) {
    return UnitBox{(x - 90) / 70, 1 - (y + h - 90) / 40, w / 70, h / 40};
  };
  recognizer.replies = {
      found({RecognizedLine{"inside", 0.75f, contextBox(110, 105, 20, 10)},
                   RecognizedLine{"right edge", 0.5f, contextBox(140, 105, 20, 10)},  // centre x 150
                   RecognizedLine{"left edge", 0.5f, contextBox(90, 105, 20, 10)},    // centre x 100
                   RecognizedLine{"far away", 0.5f, contextBox(30, 30, 20, 10)}}),
      found({RecognizedLine{"bottom edge", 0.5f, isolatedBox(110, 115, 20, 10)},  // centre y 120
                   RecognizedLine{"top edge", 0.5f, isolatedBox(110, 95, 20, 10)},      // centre y 100
                   RecognizedLine{"inside", 0.25f, isolatedBox(111, 106, 18, 8)}}),
  };
  LeptonicaDrawing drawing;
  const auto result = linesOfRegion(*image, Region{100, 100, 50, 20}, drawing, recognizer);
  ASSERT_TRUE(std::holds_alternative<std::vector<Line>>(result));
  const auto& lines = std::get<std::vector<Line>>(result);
  // Both passes report the word; nothing is merged.
  EXPECT_THAT(texts(lines), ElementsAre("inside", "left edge", "top edge", "inside"));
  EXPECT_NEAR(lines[0].x, 110, 1e-9);
  EXPECT_NEAR(lines[0].y, 105, 1e-9);
  EXPECT_NEAR(lines[0].width, 20, 1e-9);
  EXPECT_NEAR(lines[0].height, 10, 1e-9);
  EXPECT_EQ(lines[0].confidence, 0.75f);
  EXPECT_NEAR(lines[3].x, 111, 1e-9);
  EXPECT_NEAR(lines[3].y, 106, 1e-9);
  EXPECT_NEAR(lines[3].width, 18, 1e-9);
  EXPECT_NEAR(lines[3].height, 8, 1e-9);
  EXPECT_EQ(lines[3].confidence, 0.25f);
}

TEST(SpotterRegion, FractionalRegionIsWidenedBeforeFiltering) {
  // (10.5, 10.5, 9, 9) becomes (10, 10)-(20, 20): a line centred at x 19.9 is
  // inside, one centred at 20 is not.
  PixPtr image = plainImage(100, 100, 0xffffff);
  RecordingRecognizer recognizer;
  // Isolated pass shows (0, 0)-(30, 30).
  auto box = [](double cx, double cy) { return UnitBox{(cx - 1) / 30, 1 - (cy + 1) / 30, 2.0 / 30, 2.0 / 30}; };
  recognizer.replies = {Recognition{},
                        found({RecognizedLine{"in", 0.5f, box(19.9, 15)},
                                     RecognizedLine{"out", 0.5f, box(20, 15)},
                                     RecognizedLine{"top", 0.5f, box(15, 10)}})};
  LeptonicaDrawing drawing;
  const auto result = linesOfRegion(*image, Region{10.5, 10.5, 9, 9}, drawing, recognizer);
  ASSERT_TRUE(std::holds_alternative<std::vector<Line>>(result));
  EXPECT_THAT(texts(std::get<std::vector<Line>>(result)), ElementsAre("in", "top"));
  EXPECT_EQ(recognizer.seen[1].width, 30 * 3);
}

TEST(SpotterRegion, RegionOutsideTheImageIsEmptyWithoutRecognizing) {
  PixPtr image = plainImage(50, 50, 0xffffff);
  RecordingRecognizer recognizer;
  LeptonicaDrawing drawing;
  for (const Region& region : {Region{50, 0, 10, 10}, Region{0, -10, 10, 10}, Region{5, 5, 0, 10}}) {
    const auto result = linesOfRegion(*image, region, drawing, recognizer);
    ASSERT_TRUE(std::holds_alternative<std::vector<Line>>(result));
    EXPECT_TRUE(std::get<std::vector<Line>>(result).empty());
  }
  EXPECT_TRUE(recognizer.seen.empty());
}

// The real drawing with one operation made to fail.
class FailingDrawing : public LeptonicaDrawing {
 public:
  enum class Fail { contextBitmap, isolatedBitmap, meanColour, image };
  explicit FailingDrawing(Fail fail) : fail_(fail) {}
  PixPtr bitmap(int64_t width, int64_t height) override {
    const bool isolated = bitmaps_++ == 1;
    if ((fail_ == Fail::contextBitmap && !isolated) || (fail_ == Fail::isolatedBitmap && isolated)) {
      return nullptr;
    }
    return LeptonicaDrawing::bitmap(width, height);
  }
  std::optional<uint32_t> meanColour(const Pix& source) override {
    if (fail_ == Fail::meanColour) return std::nullopt;
    return LeptonicaDrawing::meanColour(source);
  }
  PixPtr image(PixPtr bitmap) override {
    if (fail_ == Fail::image) return nullptr;
    return bitmap;
  }

 private:
  Fail fail_;
  int bitmaps_ = 0;
};

TEST(SpotterRegion, DrawingAndRecognizerFailuresEndTheRegion) {
  PixPtr image = plainImage(60, 40, 0xffffff);
  const Region region{10, 10, 20, 10};
  const std::vector<std::pair<FailingDrawing::Fail, std::string>> cases{
      {FailingDrawing::Fail::contextBitmap, "no drawing context"},
      {FailingDrawing::Fail::isolatedBitmap, "no drawing context"},
      {FailingDrawing::Fail::meanColour, "no mean color"},
      {FailingDrawing::Fail::image, "no scaled image"},
  };
  for (const auto& [fail, message] : cases) {
    FailingDrawing drawing(fail);
    RecordingRecognizer recognizer;
    const auto result = linesOfRegion(*image, region, drawing, recognizer);
    ASSERT_TRUE(std::holds_alternative<Failure>(result)) << message;
    EXPECT_EQ(std::get<Failure>(result).description, message);
    EXPECT_TRUE(recognizer.seen.empty());
  }

  // The real drawing refuses a bitmap beyond its memory bound.
  LeptonicaDrawing small(3 * 60 * 3 * 40 * 4 - 1);
  RecordingRecognizer recognizer;
  const auto tooBig = linesOfRegion(*image, region, small, recognizer);
  ASSERT_TRUE(std::holds_alternative<Failure>(tooBig));
  EXPECT_EQ(std::get<Failure>(tooBig).description, "no drawing context");

  // The recognizer's own description, from either pass.
  for (size_t failing : {0u, 1u}) {
    RecordingRecognizer failingRecognizer;
    failingRecognizer.replies.resize(2);
    failingRecognizer.replies[failing].error = "engine broke";
    LeptonicaDrawing drawing;
    const auto result = linesOfRegion(*image, region, drawing, failingRecognizer);
    ASSERT_TRUE(std::holds_alternative<Failure>(result));
    EXPECT_EQ(std::get<Failure>(result).description, "engine broke");
    EXPECT_EQ(failingRecognizer.seen.size(), failing + 1);
  }
}

// Answers from the picture alone, so that any instance on any thread gives the
// same lines for the same region; a picture of `failWidth` fails.
class PictureRecognizer : public Recognizer {
 public:
  explicit PictureRecognizer(int failWidth = -1, std::atomic<int>* calls = nullptr)
      : failWidth_(failWidth), calls_(calls) {}
  Recognition recognize(const Pix& image) override {
    if (calls_) ++*calls_;
    const int w = pixGetWidth(const_cast<Pix*>(&image));
    if (w == failWidth_) return Recognition{{}, "width " + std::to_string(w)};
    return found({unitLine("w" + std::to_string(w), 0.25, 0.25, 0.5, 0.5)});
  }

 private:
  int failWidth_;
  std::atomic<int>* calls_;
};

TEST(SpotterParallel, AnswerIsTheSameForAnyNumberOfWorkers) {
  PixPtr image = plainImage(400, 300, 0xeeeeee);
  std::vector<Region> regions;
  for (int i = 0; i < 32; ++i) regions.push_back(Region{double(i * 12), double(i * 9), 10.0 + i, 12});
  regions[5] = Region{500, 500, 10, 10};  // outside: an empty list in its place
  std::optional<std::string> first;
  for (unsigned workers : {1u, 2u, 4u, 8u}) {
    SpotOptions options;
    options.workers = workers;
    const auto result =
        spotRegions(*image, regions, [] { return std::make_unique<PictureRecognizer>(); }, options);
    ASSERT_TRUE((std::holds_alternative<std::vector<std::vector<Line>>>(result)));
    const auto& lines = std::get<std::vector<std::vector<Line>>>(result);
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_TRUE(lines[5].empty());
    const std::string json = answerJson(lines);
    if (!first) first = json;
    EXPECT_EQ(json, *first) << workers << " workers";
  }
}

TEST(SpotterParallel, EarliestFailingRegionIsTheAnswer) {
  PixPtr image = plainImage(400, 300, 0xeeeeee);
  // Isolated pictures are 3 * (width + 20) wide: region 3 fails (width 30 ->
  // 150), so does region 6 (also 30 wide); region 3's failure is reported.
  std::vector<Region> regions(8, Region{10, 10, 20, 20});
  regions[3] = Region{50, 50, 30, 20};
  regions[6] = Region{100, 50, 30, 20};
  for (unsigned workers : {1u, 3u}) {
    std::atomic<int> calls{0};
    SpotOptions options;
    options.workers = workers;
    const auto result = spotRegions(
        *image, regions, [&] { return std::make_unique<PictureRecognizer>(150, &calls); }, options);
    ASSERT_TRUE(std::holds_alternative<Failure>(result));
    EXPECT_EQ(std::get<Failure>(result).description, "width 150");
    if (workers == 1) {
      EXPECT_EQ(calls.load(), 3 * 2 + 2);  // nothing after region 3
    }
  }
}

std::string request(const std::string& image, size_t regionCount, const Region& region = {0, 0, 20, 10}) {
  Json regions = Json::array();
  for (size_t i = 0; i < regionCount; ++i) {
    regions.push_back({{"x", region.x}, {"y", region.y}, {"width", region.width}, {"height", region.height}});
  }
  return Json{{"image", image}, {"regions", regions}}.dump();
}

std::string pngBase64(int width, int height) {
  testing::Screenshot shot(width, height, 0xffffff);
  return testing::base64(shot.png());
}

TEST(SpotterAnswer, FailuresOfTheRequestHaveTheirMessages) {
  const std::string png = pngBase64(40, 20);
  const std::vector<std::pair<std::string, std::string>> cases{
      {std::string(32'000'001, ' '), "request too large"},
      {request(png, 0), "1 to 32 regions"},
      {request(png, 33), "1 to 32 regions"},
      {request("not base64!", 1), "unreadable image"},
      {request(png + "\n", 1), "unreadable image"},
      {request(testing::base64("just some text, no image"), 1), "unreadable image"},
      {request("", 1), "unreadable image"},
  };
  for (const auto& [text, message] : cases) {
    int calls = 0;
    const auto result = answer(text, [&] {
      ++calls;
      return std::make_unique<RecordingRecognizer>();
    });
    ASSERT_TRUE(std::holds_alternative<Failure>(result)) << message;
    EXPECT_EQ(std::get<Failure>(result).description, message);
    EXPECT_EQ(calls, 0);
  }
}

TEST(SpotterAnswer, ImageDataUpToTheLimitIsRead) {
  // A PNG followed by padding its reader ignores: exactly at the limit it is
  // read, one byte over it is not.
  testing::Screenshot shot(30, 20, 0xffffff);
  const std::string png = shot.png();
  SpotOptions options;
  options.maxImageBytes = png.size() + 10;
  for (size_t extra : {0u, 1u, 2u, 3u}) {
    const std::string data = png + std::string(10 + extra, '\0');
    const auto result =
        answer(request(testing::base64(data), 1), [] { return std::make_unique<RecordingRecognizer>(); }, options);
    if (extra == 0) {
      EXPECT_TRUE(std::holds_alternative<std::string>(result));
    } else {
      ASSERT_TRUE(std::holds_alternative<Failure>(result)) << extra;
      EXPECT_EQ(std::get<Failure>(result).description, "unreadable image") << extra;
    }
  }
}

TEST(SpotterAnswer, ThirtyTwoRegionsAnswerInOrder) {
  const std::string png = pngBase64(40, 20);
  Json regions = Json::array();
  for (int i = 0; i < 32; ++i) regions.push_back({{"x", i % 2 ? 100 : 0}, {"y", 0}, {"width", 20}, {"height", 10}});
  const auto result = answer(Json{{"image", png}, {"regions", regions}}.dump(),
                             [] { return std::make_unique<PictureRecognizer>(); });
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  const Json json = Json::parse(std::get<std::string>(result));
  ASSERT_EQ(json["regions"].size(), 32u);
  for (int i = 0; i < 32; ++i) {
    if (i % 2) {
      EXPECT_EQ(json["regions"][i], Json::array()) << i;  // outside the image
    } else {
      // The isolated picture (3 * 40 wide) reports a line centred in the region.
      ASSERT_EQ(json["regions"][i].size(), 1u) << i;
      EXPECT_EQ(json["regions"][i][0]["text"], "w120");
    }
  }
}

TEST(SpotterAnswer, WritesShortConfidencesAndRepairedText) {
  const std::vector<std::vector<Line>> regions{
      {Line{"Save", 0.91f, 10, 20.5, 30, 12}, Line{"bad \xff byte", 1.0f, 0, 0, 1, 1}}, {}};
  EXPECT_EQ(answerJson(regions),
            R"({"regions":[[{"confidence":0.91,"height":12,"text":"Save","width":30,"x":10,"y":20.5},)"
            R"({"confidence":1,"height":1,"text":"bad � byte","width":1,"x":0,"y":0}],[]]})");
}

}  // namespace
}  // namespace quorl::spotter
