// Character error rate of text-spotter on generated user-interface screenshots,
// beside the tesseract command-line tool reading the same region crops.
//   bench-ocr-accuracy [--verbose]
// Environment: OCR_BENCH_PSM overrides the page segmentation mode, OCR_BENCH_VARS
// (name=value,...) sets engine variables, OCR_BENCH_NO_TOOL=1 leaves the command out.
#include "bench/ocr/ui_corpus.hpp"
#include "common/unicode.hpp"
#include "text_spotter/openmp_limit.hpp"
#include "text_spotter/tesseract_recognizer.hpp"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace quorl::spotter;
using namespace quorl::spotter::bench;

namespace {

std::string commandLineTool(const Pix& image, const PixelRect& rect, const std::string& dir) {
  LeptonicaDrawing drawing;
  PixPtr crop = drawing.crop(image, rect);
  const std::string path = dir + "/crop.png";
  if (!crop || pixWrite(path.c_str(), crop.get(), IFF_PNG) != 0) return {};
  std::string out;
  FILE* pipe = popen(("tesseract " + path + " stdout 2>/dev/null").c_str(), "r");
  if (!pipe) return {};
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Runs only one of the two passes of every region: the recognizer sees the
// context picture first and the isolated picture second, so the other call is
// answered with nothing.  Together the two runs cost one full run, and a
// region's full answer is the context lines followed by the isolated lines.
class OnePass : public Recognizer {
 public:
  OnePass(bool context, const TesseractSettings& settings) : context_(context), inner_(settings) {}
  Recognition recognize(const Pix& image) override {
    const bool isContext = calls_++ % 2 == 0;
    if (isContext != context_) return {};
    return inner_.recognize(image);
  }

 private:
  bool context_;
  size_t calls_ = 0;
  TesseractRecognizer inner_;
};

struct Tally {
  size_t errors = 0;
  size_t length = 0;
  void add(const std::string& expected, const std::string& got) {
    const auto ref = quorl::unicode::codePoints(normalised(expected));
    errors += editDistance(quorl::unicode::codePoints(normalised(got)), ref);
    length += ref.size();
  }
  // The reported line closest to the text (none: every character missed).
  void addClosest(const std::string& expected, const std::vector<std::string>& lines) {
    const auto ref = quorl::unicode::codePoints(normalised(expected));
    size_t best = ref.size();
    for (const std::string& line : lines) {
      best = std::min(best, editDistance(quorl::unicode::codePoints(normalised(line)), ref));
    }
    errors += best;
    length += ref.size();
  }
  double rate() const { return length ? static_cast<double>(errors) / static_cast<double>(length) : 0; }
};

}  // namespace

int main(int argc, char** argv) {
  restartWithOneOpenMpThread(argv);
  const bool verbose = argc > 1 && std::string(argv[1]) == "--verbose";
  const bool withTool = std::getenv("OCR_BENCH_NO_TOOL") == nullptr;
  quietRecognizerLibraries();
  TesseractSettings settings;
  if (const char* psm = std::getenv("OCR_BENCH_PSM")) settings.pageSegMode = std::atoi(psm);
  if (const char* vars = std::getenv("OCR_BENCH_VARS")) {
    // name=value,name=value
    std::string list = vars;
    for (size_t start = 0; start < list.size();) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      const std::string item = list.substr(start, end - start);
      const size_t eq = item.find('=');
      if (eq != std::string::npos) settings.variables.emplace_back(item.substr(0, eq), item.substr(eq + 1));
      start = end + 1;
    }
  }
  char dirTemplate[] = "/tmp/ocr-bench-XXXXXX";
  const std::string dir = mkdtemp(dirTemplate);

  SpotOptions options;
  options.workers = std::max(1u, std::thread::hardware_concurrency());
  // Per size: context pass, isolated pass, whole answer, the answer's closest
  // line, command-line tool.
  std::map<std::string, std::array<Tally, 5>> bySize;
  std::array<Tally, 5> all;
  size_t regions = 0;
  double spotterSeconds = 0, toolSeconds = 0;
  for (const Sample& sample : uiCorpus()) {
    PixPtr image = decodeImage(sample.png);
    std::array<std::vector<std::vector<Line>>, 2> passes;
    for (int pass = 0; pass < 2; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      auto result = spotRegions(
          *image, sample.regions,
          [&] { return std::make_unique<OnePass>(pass == 0, settings); }, options);
      spotterSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (auto* failure = std::get_if<Failure>(&result)) {
        std::fprintf(stderr, "%s\n", failure->description.c_str());
        return 1;
      }
      passes[pass] = std::move(std::get<std::vector<std::vector<Line>>>(result));
    }
    for (size_t i = 0; i < sample.regions.size(); ++i) {
      std::array<std::string, 4> got;
      std::vector<std::string> lineTexts;
      for (int pass = 0; pass < 2; ++pass) {
        for (const Line& line : passes[pass][i]) {
          got[pass] += line.text + " ";
          lineTexts.push_back(line.text);
          if (verbose) std::printf("    %s line \"%s\" %.2f\n", pass == 0 ? "context" : "isolated", line.text.c_str(), line.confidence);
        }
      }
      got[2] = got[0] + got[1];
      if (withTool) {
        const auto rect = regionRect(sample.regions[i], pixGetWidth(image.get()), pixGetHeight(image.get()));
        const auto toolStart = std::chrono::steady_clock::now();
        got[3] = rect ? commandLineTool(*image, *rect, dir) : std::string();
        toolSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - toolStart).count();
      }
      auto& size = bySize[std::to_string(static_cast<int>(sample.sizes[i])) + " px"];
      for (size_t k = 0; k < 3; ++k) {
        all[k].add(sample.expected[i], got[k]);
        size[k].add(sample.expected[i], got[k]);
      }
      all[3].addClosest(sample.expected[i], lineTexts);
      size[3].addClosest(sample.expected[i], lineTexts);
      all[4].add(sample.expected[i], got[3]);
      size[4].add(sample.expected[i], got[3]);
      ++regions;
      if (verbose) {
        std::printf("%-28s %-26s | %-26s | %-26s | %s\n", sample.name.c_str(), sample.expected[i].c_str(),
                    normalised(got[0]).c_str(), normalised(got[1]).c_str(), normalised(got[3]).c_str());
      }
    }
  }
  unlink((dir + "/crop.png").c_str());
  rmdir(dir.c_str());
  std::printf("regions: %zu, characters: %zu, page segmentation mode %d\n", regions, all[0].length,
              settings.pageSegMode);
  std::printf("character error rate\n%-8s %9s %9s %9s %9s %10s\n", "size", "context", "isolated", "answer",
              "closest", "tesseract");
  auto row = [](const std::string& name, const std::array<Tally, 5>& t) {
    std::printf("%-8s %8.2f%% %8.2f%% %8.2f%% %8.2f%% %9.2f%%\n", name.c_str(), 100 * t[0].rate(),
                100 * t[1].rate(), 100 * t[2].rate(), 100 * t[3].rate(), 100 * t[4].rate());
  };
  for (const auto& [size, tallies] : bySize) row(size, tallies);
  row("all", all);
  std::printf("seconds: text-spotter %.2f (%u workers), tesseract command %.2f (one process at a time)\n",
              spotterSeconds, options.workers, toolSeconds);
  return 0;
}
