// Time of text-spotter's recognition: one region (both passes) with a loaded
// recognizer, and a whole 32-region request as the program answers it
// (language data loaded by every worker), one worker against all cores.
#include "bench/ocr/ui_corpus.hpp"
#include "text_spotter/openmp_limit.hpp"
#include "text_spotter/tesseract_recognizer.hpp"
#include "text_spotter/tests/screenshot.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <thread>

namespace {

using namespace quorl::spotter;

TesseractSettings settings() {
  TesseractSettings out;
  if (const char* psm = std::getenv("OCR_BENCH_PSM")) out.pageSegMode = std::atoi(psm);
  return out;
}

const bench::Sample& sample() {
  static const auto corpus = bench::uiCorpus();
  return corpus[1];
}

void BM_OneRegion(benchmark::State& state) {
  quietRecognizerLibraries();
  const PixPtr image = decodeImage(sample().png);
  // A button, a menu item and a label in turn.
  const std::vector<Region> regions{sample().regions[8], sample().regions[2], sample().regions.back()};
  TesseractRecognizer recognizer(settings());
  LeptonicaDrawing drawing;
  (void)linesOfRegion(*image, regions[0], drawing, recognizer);  // loads the language data
  size_t i = 0;
  for (auto _ : state) {
    auto lines = linesOfRegion(*image, regions[i++ % regions.size()], drawing, recognizer);
    benchmark::DoNotOptimize(lines);
  }
}
BENCHMARK(BM_OneRegion)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Request32(benchmark::State& state) {
  quietRecognizerLibraries();
  nlohmann::json regions = nlohmann::json::array();
  for (size_t i = 0; regions.size() < 32; ++i) {
    const Region& r = sample().regions[i % sample().regions.size()];
    regions.push_back({{"x", r.x}, {"y", r.y}, {"width", r.width}, {"height", r.height}});
  }
  const std::string request =
      nlohmann::json{{"image", testing::base64(sample().png)}, {"regions", regions}}.dump();
  SpotOptions options;
  options.workers = static_cast<unsigned>(state.range(0));
  const TesseractSettings chosen = settings();
  for (auto _ : state) {
    auto result = answer(request, [&] { return std::make_unique<TesseractRecognizer>(chosen); }, options);
    if (std::holds_alternative<Failure>(result)) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(result);
  }
  state.counters["workers"] = static_cast<double>(options.workers);
}
BENCHMARK(BM_Request32)
    ->Arg(1)
    ->Arg(static_cast<int64_t>(std::max(1u, std::thread::hardware_concurrency())))
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  quorl::spotter::restartWithOneOpenMpThread(argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
