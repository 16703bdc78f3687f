#pragma once
// The recognizer on Tesseract's LSTM engine, set up for user-interface text:
// no dictionaries (labels, names and numbers are not words), sparse text (a
// picture holds a few short lines spread over separate widgets, so a row of
// menu titles or buttons reads as one line per widget rather than one line
// across the row), and a dark picture inverted first, since the engine reads
// dark text on a light ground best.
#include "text_spotter/recognizer.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace quorl::spotter {

struct TesseractSettings {
  std::string language = "eng";
  // Lines lower than this fraction of the picture's height are not reported.
  double minimumTextHeight = 0.1;
  // Tesseract's page segmentation mode (tesseract::PageSegMode).
  int pageSegMode = 11;  // PSM_SPARSE_TEXT
  // Resolution the engine is told the enlarged picture has (3 × 96 dpi).
  int dpi = 288;
  // Further engine variables, set after the language data loads.
  std::vector<std::pair<std::string, std::string>> variables;
};

class TesseractRecognizer : public Recognizer {
 public:
  explicit TesseractRecognizer(TesseractSettings settings = {});
  ~TesseractRecognizer() override;
  Recognition recognize(const Pix& image) override;

 private:
  bool start();

  TesseractSettings settings_;
  std::unique_ptr<tesseract::TessBaseAPI> api_;
  bool started_ = false;
  std::string startError_;
};

// Makes Leptonica and Tesseract keep their diagnostics to themselves, so that
// standard error carries only the program's own message.
void quietRecognizerLibraries();

}  // namespace quorl::spotter
