// input-courier's command line and its probe line, run as a real process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs input-courier with `args` in an environment without a display, accessibility
// bus or session bus.  Kills it if it does not end within the deadline.
Result runCourier(const std::vector<std::string>& args) {
  const std::string exe = std::string(QUORL_BIN_DIR) + "/input-courier";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    for (const char* drop : {"DISPLAY=", "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "AT_SPI_BUS_ADDRESS="}) {
      if (kv.rfind(drop, 0) == 0) kv.clear();
    }
    if (!kv.empty()) env.push_back(kv);
  }
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& kv : env) envp.push_back(kv.data());
    envp.push_back(nullptr);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Result r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  if (open > 0) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace

TEST(CourierCommandLine, WrongArgumentsPrintUsage) {
  const std::vector<std::vector<std::string>> cases = {{}, {"Serve"}, {"serve", "extra"}, {"probe", "extra"},
                                                       {"PROBE"}, {""}, {"--probe"}};
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    Result r = runCourier(args);
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, "INPUT_COURIER_REQUEST: Use `serve` or `probe`.\n") << shown;
    EXPECT_EQ(r.out, "") << shown;
  }
}

TEST(CourierProbe, WithoutDisplayReportsEverythingAbsent) {
  const auto started = std::chrono::steady_clock::now();
  Result r = runCourier({"probe"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "probe waited for a bus";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.out.empty());
  ASSERT_EQ(r.out.back(), '\n');
  const std::string line = r.out.substr(0, r.out.size() - 1);
  EXPECT_EQ(line.find('\n'), std::string::npos) << "one line only";

  // Keys in ascending order, as written.
  auto ordered = nlohmann::ordered_json::parse(line);
  std::vector<std::string> keys;
  for (auto& [k, v] : ordered.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"accessibility_trusted", "decoration", "event", "front_pid",
                                            "key_focus_pid", "missing", "post_access", "route", "t"}));

  auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["event"], "probe");
  EXPECT_EQ(j["route"], "cg");
  EXPECT_EQ(j["missing"],
            nlohmann::json::array({"_SLPSGetFrontProcess", "SLPSGetKeyFocusProcess", "GetProcessPID"}));
  EXPECT_EQ(j["front_pid"], -1);
  EXPECT_EQ(j["key_focus_pid"], -1);
  EXPECT_EQ(j["post_access"], false);
  EXPECT_EQ(j["accessibility_trusted"], false);
  EXPECT_TRUE(j["t"].is_number());

  // The overlay beside the program (it need not exist), every slash escaped.
  const std::string expected = std::string(QUORL_BIN_DIR) + "/agent-overlay";
  char resolved[4096];
  const std::string canonical = realpath(expected.c_str(), resolved) ? resolved : expected;
  EXPECT_EQ(j["decoration"], canonical);
  const size_t at = line.find("\"decoration\":\"");
  ASSERT_NE(at, std::string::npos);
  for (size_t i = at; i < line.size(); ++i) {
    if (line[i] == '/') {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(line[i - 1], '\\') << "bare slash at " << i << " in " << line;
    }
  }
  EXPECT_NE(line.find("\\/agent-overlay\""), std::string::npos);
}
