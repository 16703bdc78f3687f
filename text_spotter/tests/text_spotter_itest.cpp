// The text-spotter program itself, with Tesseract and its English data, on
// screenshots drawn here with cairo and pango: what it reads in each region,
// and every failure with its message, status and empty standard output.
#include "text_spotter/tests/screenshot.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>

namespace quorl::spotter::testing {
namespace {

using Json = nlohmann::json;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs text-spotter with `input` on standard input (written while the output
// is read, so neither side blocks), `env` added to the environment.
Outcome runSpotter(const std::string& input, const std::map<std::string, std::string>& env = {}) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const std::string program = std::string(QUORL_BIN_DIR) + "/text-spotter";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execl(program.c_str(), program.c_str(), nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  Outcome outcome;
  size_t written = 0;
  int toChild = in[1];
  if (input.empty()) close(toChild), toChild = -1;
  std::array<bool, 2> open{true, true};
  while (open[0] || open[1]) {
    std::vector<pollfd> fds{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (toChild >= 0) fds.push_back({toChild, POLLOUT, 0});
    if (poll(fds.data(), fds.size(), 60'000) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        open[i] = false;
      } else {
        (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(n));
      }
    }
    if (toChild >= 0 && fds.size() > 2 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(toChild, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) close(toChild), toChild = -1;  // done, or the program stopped reading
    }
  }
  if (toChild >= 0) close(toChild);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

class TextSpotterProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

struct Expected {
  std::string text;
  Json region;
};

Json regionAround(const Box& box, int padX, int padY) {
  return Json{{"x", box.x - padX}, {"y", box.y - padY}, {"width", box.width + 2 * padX},
              {"height", box.height + 2 * padY}};
}

TEST_F(TextSpotterProgram, ReadsUserInterfaceTextInEachRegion) {
  Screenshot shot(420, 160, 0xffffff);
  std::vector<Expected> expected;
  // A menu bar, light.
  shot.fill(Box{0, 0, 420, 24}, 0xececec);
  int x = 8;
  for (const char* item : {"File", "Edit", "View", "Help"}) {
    const Box ink = shot.text(x, 5, item, 13, 0x202020);
    if (std::string(item) == "Edit") expected.push_back({item, regionAround(ink, 6, 5)});
    x += ink.width + 22;
  }
  // A button row on a dark panel.
  shot.fill(Box{0, 36, 420, 44}, 0x2d2d2d);
  x = 16;
  for (const char* label : {"Cancel", "Save"}) {
    const Box size = shot.measure(label, 12, "DejaVu Sans", true);
    const Box button{x, 44, size.width + 28, 28};
    shot.fill(button, 0x4a4a4a);
    shot.text(x + 14 - size.x, 50, label, 12, 0xffffff, "DejaVu Sans", true);
    expected.push_back({label, Json{{"x", button.x}, {"y", button.y}, {"width", button.width},
                                    {"height", button.height}}});
    x += button.width + 12;
  }
  // Small text on white, read through a region with fractional edges.
  const Box small = shot.text(20, 92, "Search settings", 11, 0x303030);
  expected.push_back({"Search settings", Json{{"x", small.x - 4.6}, {"y", small.y - 3.3},
                                              {"width", small.width + 8.9}, {"height", small.height + 6.5}}});
  // Light text on a dark footer.
  shot.fill(Box{0, 120, 420, 40}, 0x1e1e1e);
  const Box footer = shot.text(20, 131, "Last saved 10:42", 14, 0xe0e0e0);
  expected.push_back({"Last saved 10:42", regionAround(footer, 5, 4)});
  // Entirely outside the image.
  expected.push_back({"", Json{{"x", 500}, {"y", 10}, {"width", 40}, {"height", 20}}});

  Json regions = Json::array();
  for (const Expected& e : expected) regions.push_back(e.region);
  const Outcome outcome = runSpotter(Json{{"image", base64(shot.png())}, {"regions", regions}}.dump());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  ASSERT_FALSE(outcome.out.empty());
  EXPECT_EQ(outcome.out.back(), '\n');
  const Json answer = Json::parse(outcome.out);
  ASSERT_EQ(answer.size(), 1u);
  ASSERT_EQ(answer["regions"].size(), expected.size());

  for (size_t i = 0; i < expected.size(); ++i) {
    const Json& lines = answer["regions"][i];
    const Json& region = expected[i].region;
    SCOPED_TRACE("region " + std::to_string(i) + ": " + lines.dump());
    if (expected[i].text.empty()) {
      EXPECT_EQ(lines, Json::array());
      continue;
    }
    // The region as the program widens it to whole pixels.
    const double left = std::floor(region["x"].get<double>());
    const double top = std::floor(region["y"].get<double>());
    const double right = std::ceil(region["x"].get<double>() + region["width"].get<double>());
    const double bottom = std::ceil(region["y"].get<double>() + region["height"].get<double>());
    bool found = false;
    for (const Json& line : lines) {
      const double lx = line["x"], ly = line["y"], lw = line["width"], lh = line["height"];
      EXPECT_GE(line["confidence"].get<double>(), 0);
      EXPECT_LE(line["confidence"].get<double>(), 1);
      EXPECT_GE(lx + lw / 2, left);
      EXPECT_LT(lx + lw / 2, right);
      EXPECT_GE(ly + lh / 2, top);
      EXPECT_LT(ly + lh / 2, bottom);
      if (line["text"] == expected[i].text) {
        found = true;
        // The line's box lies on the text, inside the region.
        EXPECT_GE(lx, left - 2);
        EXPECT_LE(lx + lw, right + 2);
        EXPECT_GE(ly, top - 2);
        EXPECT_LE(ly + lh, bottom + 2);
        EXPECT_GT(lw, 0);
        EXPECT_GT(lh, 5);
      }
    }
    EXPECT_TRUE(found) << "expected \"" << expected[i].text << "\"";
  }
}

std::string request(const std::string& image, size_t count) {
  Json regions = Json::array();
  for (size_t i = 0; i < count; ++i) {
    regions.push_back({{"x", 2 * i}, {"y", 0}, {"width", 6}, {"height", 6}});
  }
  return Json{{"image", image}, {"regions", regions}}.dump();
}

TEST_F(TextSpotterProgram, ThirtyTwoRegionsAreReadAndThirtyThreeAreNot) {
  Screenshot shot(80, 8, 0xf4f4f4);
  const std::string png = base64(shot.png());
  const Outcome ok = runSpotter(request(png, 32));
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");
  const Json answer = Json::parse(ok.out);
  ASSERT_EQ(answer["regions"].size(), 32u);
  for (const Json& lines : answer["regions"]) EXPECT_EQ(lines, Json::array());

  const Outcome tooMany = runSpotter(request(png, 33));
  EXPECT_EQ(tooMany.status, 1);
  EXPECT_EQ(tooMany.err, "1 to 32 regions\n");
  EXPECT_EQ(tooMany.out, "");
}

TEST_F(TextSpotterProgram, EveryFailureHasItsMessageStatusOneAndNoOutput) {
  Screenshot shot(40, 20, 0xffffff);
  const std::string png = base64(shot.png());
  struct Case {
    std::string name;
    std::string input;
    std::string message;
    std::map<std::string, std::string> env;
  };
  const std::vector<Case> cases{
      {"too large", std::string(32'000'001, ' '), "request too large", {}},
      {"malformed", R"({"image":)",
       "[json.exception.parse_error.101] parse error at line 1, column 10: syntax error while "
       "parsing value - unexpected end of input; expected '[', '{', or a literal",
       {}},
      {"missing key", R"({"regions":[]})", "[json.exception.out_of_range.403] key 'image' not found", {}},
      {"wrong type", R"({"image":"","regions":[{"x":"0","y":0,"width":1,"height":1}]})",
       "[json.exception.type_error.302] type must be number, but is string", {}},
      {"no regions", request(png, 0), "1 to 32 regions", {}},
      {"not base64", request("QUJD\nQUJD", 1), "unreadable image", {}},
      {"base64 of text", request(base64("plain text, not a picture"), 1), "unreadable image", {}},
      // 16,000,002 bytes once decoded.
      {"over 16 MB", R"({"regions":[{"x":0,"y":0,"width":4,"height":4}],"image":")" +
                         std::string(21'333'336, 'A') + "\"}",
       "unreadable image", {}},
      {"no language data", request(png, 1), "Failed loading language 'eng'",
       {{"TESSDATA_PREFIX", "/nonexistent"}}},
  };
  for (const Case& c : cases) {
    const Outcome outcome = runSpotter(c.input, c.env);
    EXPECT_EQ(outcome.status, 1) << c.name;
    EXPECT_EQ(outcome.err, c.message + "\n") << c.name;
    EXPECT_EQ(outcome.out, "") << c.name;
  }
}

}  // namespace
}  // namespace quorl::spotter::testing
