#include "text_spotter/tesseract_recognizer.hpp"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace quorl::spotter {

namespace {

// Tesseract reports a missing or broken language file on standard error
// before any of its settings can send its messages elsewhere.  While any
// recognizer loads, standard error points at /dev/null; the first to start
// turns it away and the last to finish turns it back.
class QuietStandardError {
 public:
  QuietStandardError() {
    const std::lock_guard lock(mutex_);
    if (depth_++ > 0) return;
    std::fflush(stderr);
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, 2);
      close(null);
    }
  }
  ~QuietStandardError() {
    const std::lock_guard lock(mutex_);
    if (--depth_ > 0) return;
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  static inline std::mutex mutex_;
  static inline int depth_ = 0;
  static inline int saved_ = -1;
};

// The engine's own messages go to the file its "debug_file" setting names.
// That setting is one for the whole process, so it is set once, before any
// recognizer starts, and only read afterwards.
void sendEngineMessagesAway() {
  static const bool done = [] {
    tesseract::TessBaseAPI api;
    return api.SetVariable("debug_file", "/dev/null");
  }();
  (void)done;
}

}  // namespace

TesseractRecognizer::TesseractRecognizer(TesseractSettings settings)
    : settings_(std::move(settings)) {}

TesseractRecognizer::~TesseractRecognizer() {
  if (api_) api_->End();
}

// Loads the language data on first use, so a request whose regions all lie
// outside the image never needs it.
bool TesseractRecognizer::start() {
  if (started_) return startError_.empty();
  started_ = true;
  api_ = std::make_unique<tesseract::TessBaseAPI>();
  sendEngineMessagesAway();
  // Dictionaries must be switched off before the data loads.  Pictures are
  // turned light before they are read, so the engine need not try each line
  // inverted as well.
  std::vector<std::string> names{"load_system_dawg", "load_freq_dawg", "tessedit_do_invert"};
  std::vector<std::string> values{"0", "0", "0"};
  const QuietStandardError quiet;
  if (api_->Init(nullptr, settings_.language.c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0,
                 &names, &values, false) != 0) {
    startError_ = "Failed loading language '" + settings_.language + "'";
    api_.reset();
    return false;
  }
  api_->SetPageSegMode(static_cast<tesseract::PageSegMode>(settings_.pageSegMode));
  for (const auto& [name, value] : settings_.variables) api_->SetVariable(name.c_str(), value.c_str());
  return true;
}

namespace {

// 8-bit luminance of the picture, inverted when its mean is dark.
PixPtr readablePicture(const Pix& image) {
  auto* pix = const_cast<Pix*>(&image);
  PixPtr grey(pixGetDepth(pix) == 32 ? pixConvertRGBToLuminance(pix) : pixConvertTo8(pix, 0));
  if (!grey) return nullptr;
  l_float32 mean = 255;
  if (pixGetAverageMasked(grey.get(), nullptr, 0, 0, 1, L_MEAN_ABSVAL, &mean) == 0 && mean < 128) {
    pixInvert(grey.get(), grey.get());
  }
  return grey;
}

std::string trimmed(const char* text) {
  std::string out = text ? text : "";
  const auto end = out.find_last_not_of(" \t\r\n");
  out.erase(end == std::string::npos ? 0 : end + 1);
  const auto begin = out.find_first_not_of(" \t\r\n");
  out.erase(0, begin == std::string::npos ? out.size() : begin);
  return out;
}

// Reading lines costs far more than finding them.  A line's box once read is
// the box of the line found, give or take its outermost glyphs; when no line
// found comes near the lowest height reported, none could be reported and the
// reading is skipped.
constexpr double kFoundLineSlack = 0.75;

bool anyLineTallEnough(tesseract::TessBaseAPI& api, double lowest) {
  const std::unique_ptr<tesseract::PageIterator> layout(api.AnalyseLayout());
  if (!layout || layout->Empty(tesseract::RIL_TEXTLINE)) return false;
  do {
    int left = 0, top = 0, right = 0, bottom = 0;
    if (layout->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom) &&
        bottom - top >= kFoundLineSlack * lowest) {
      return true;
    }
  } while (layout->Next(tesseract::RIL_TEXTLINE));
  return false;
}

}  // namespace

Recognition TesseractRecognizer::recognize(const Pix& image) {
  if (!start()) return Recognition{{}, startError_};
  PixPtr picture = readablePicture(image);
  if (!picture) return Recognition{{}, std::string("text recognition failed: unreadable picture")};
  const int width = pixGetWidth(picture.get()), height = pixGetHeight(picture.get());
  api_->SetImage(picture.get());
  api_->SetSourceResolution(settings_.dpi);
  const double lowest = settings_.minimumTextHeight * height;
  if (lowest > 0 && !anyLineTallEnough(*api_, lowest)) {
    api_->Clear();
    return {};
  }
  if (api_->Recognize(nullptr) != 0) {
    api_->Clear();
    return Recognition{{}, std::string("text recognition failed")};
  }
  Recognition out;
  std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
  if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
    do {
      int left = 0, top = 0, right = 0, bottom = 0;
      if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
      if (bottom - top < lowest) continue;
      const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
      std::string line = trimmed(text.get());
      if (line.empty()) continue;
      const float confidence = std::clamp(it->Confidence(tesseract::RIL_TEXTLINE) / 100.0f, 0.0f, 1.0f);
      out.lines.push_back(RecognizedLine{
          std::move(line), confidence,
          UnitBox{static_cast<double>(left) / width, static_cast<double>(height - bottom) / height,
                  static_cast<double>(right - left) / width,
                  static_cast<double>(bottom - top) / height}});
    } while (it->Next(tesseract::RIL_TEXTLINE));
  }
  api_->Clear();
  return out;
}

void quietRecognizerLibraries() {
  setMsgSeverity(L_SEVERITY_NONE);
}

}  // namespace quorl::spotter
