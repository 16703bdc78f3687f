// process-passport against real processes on a test desktop: our own target
// application started with a desktop entry of this test's own, as GIO starts it
// (GIO_LAUNCHED_DESKTOP_FILE and a matching GIO_LAUNCHED_DESKTOP_FILE_PID), or
// recognised by its window's WM_CLASS.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "shared/process_start.hpp"
#include "tests/support/test_desktop.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using quorl::testdesk::Child;
using quorl::testdesk::Env;
using quorl::testdesk::TestDesktop;

constexpr const char* kId = "org.quorl.PassportTarget";
constexpr const char* kWindowClass = "QuorlPassportWin";
const std::string kUnavailable = "The application process has no readable, live bundle identity and launch date.\n";
const std::string kUsage =
    "Usage: process-passport <positive process ID> | process-passport bundle <bundle identifier>\n";

class PassportDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop_ = new TestDesktop();
    char dir[] = "/tmp/quorl-passport-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    dataHome_ = new std::string(dir);
    std::string apps = *dataHome_ + "/applications";
    ASSERT_EQ(mkdir(apps.c_str(), 0700), 0);
    std::ofstream entry(entryPath());
    entry << "[Desktop Entry]\nType=Application\nName=Passport Target\nExec=" << target()
          << " --title entry\nStartupWMClass=" << kWindowClass << "\n";
  }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
    quorl::testdesk::run({"rm", "-rf", *dataHome_});
    delete dataHome_;
  }

  static std::string target() { return quorl::testdesk::binDir() + "/xlib-target"; }
  static std::string entryPath() { return *dataHome_ + "/applications/" + kId + ".desktop"; }
  static Env dataEnv() { return {{"XDG_DATA_HOME", *dataHome_}}; }

  // Starts the target as GIO starts an application from its entry: the entry's path
  // and the new process's own pid in its environment.  `env` adds to (or, with "",
  // removes from) that environment.
  static std::unique_ptr<Child> launch(Env env, std::vector<std::string> args = {"--title", "passport"}) {
    env.emplace("GIO_LAUNCHED_DESKTOP_FILE", entryPath());
    std::vector<std::string> argv{"/bin/sh", "-c", "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec \"$0\" \"$@\"",
                                  target(), "--geometry", "200x100+20+20", "--no-focus"};
    argv.insert(argv.end(), args.begin(), args.end());
    return started(desktop_->spawn(argv, env));
  }

  static std::unique_ptr<Child> started(std::unique_ptr<Child> child, uint32_t* window = nullptr) {
    auto ready = child->readJsonUntil([](const json& j) { return j.value("event", "") == "ready"; }, 20s);
    if (ready && window) *window = ready->value("window", 0u);
    std::string seen;
    for (const auto& line : child->skipped()) seen += line + "\n";
    EXPECT_TRUE(ready) << "stdout:\n" << seen << child->stdoutText() << "stderr:\n" << child->stderrText();
    return child;
  }

  static quorl::testdesk::RunResult passport(const std::vector<std::string>& args) {
    std::vector<std::string> argv{quorl::testdesk::binDir() + "/process-passport"};
    argv.insert(argv.end(), args.begin(), args.end());
    return desktop_->run(argv, dataEnv());
  }

  static void expectIdentity(const json& j, pid_t pid) {
    EXPECT_EQ(j["pid"], pid);
    EXPECT_EQ(j["bundleId"], kId);
    EXPECT_EQ(j["bundlePath"], entryPath());
    EXPECT_EQ(j["executablePath"], quorl::canonicalPath(target()));
    // The same token every program of the suite (input-courier included) reads.
    auto token = quorl::processStart(pid);
    ASSERT_TRUE(token);
    EXPECT_EQ(j["processStart"], *token);
    auto colon = token->find(':');
    double seconds = std::stod(token->substr(0, colon)), micros = std::stod(token->substr(colon + 1));
    EXPECT_EQ(j["launchDate"].get<double>(), (seconds - 978307200.0) + micros / 1000000.0);
  }

  static TestDesktop* desktop_;
  static std::string* dataHome_;
};

TestDesktop* PassportDesktop::desktop_ = nullptr;
std::string* PassportDesktop::dataHome_ = nullptr;

TEST_F(PassportDesktop, ProvenanceComesFromTheInitialEnvironmentOnly) {
  struct Case {
    const char* what;
    Env env;
    std::vector<std::string> args;
    bool launched;
  };
  std::vector<Case> cases = {
      {"marked", {{"QUORL_LAUNCHED", "1"}}, {"--title", "marked"}, true},
      {"not marked", {{"QUORL_LAUNCHED", ""}}, {"--title", "plain"}, false},
      {"marked 0", {{"QUORL_LAUNCHED", "0"}}, {"--title", "zero"}, false},
      {"marked 10", {{"QUORL_LAUNCHED", "10"}}, {"--title", "ten"}, false},
      {"text among the arguments only", {{"QUORL_LAUNCHED", ""}}, {"--title", "QUORL_LAUNCHED=1"}, false},
      // The environment is read on its own, so an empty argument does not hide it.
      {"marked, with an empty argument", {{"QUORL_LAUNCHED", "1"}}, {"--title", ""}, true},
  };
  for (auto& c : cases) {
    auto app = launch(c.env, c.args);
    auto r = passport({std::to_string(app->pid())});
    ASSERT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    ASSERT_EQ(r.out.back(), '\n') << c.what;
    auto j = json::parse(r.out);
    expectIdentity(j, app->pid());
    EXPECT_EQ(j["launchedByQuorl"], c.launched) << c.what;
  }
}

TEST_F(PassportDesktop, ProcessStartIsTheTokenInputCourierReads) {
  // input-courier started as an application of the test's entry: it names its own
  // start token in its first line.
  auto courier = desktop_->spawn({"/bin/sh", "-c", "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec \"$0\" serve",
                                  quorl::testdesk::binDir() + "/input-courier"},
                                 {{"GIO_LAUNCHED_DESKTOP_FILE", entryPath()}});
  auto hello = courier->readJsonUntil([](const json& j) { return j.value("event", "") == "hello"; }, 20s);
  ASSERT_TRUE(hello) << courier->stderrText();
  ASSERT_EQ((*hello)["pid"], courier->pid());
  auto r = passport({std::to_string(courier->pid())});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["processStart"], (*hello)["start"]);
}

TEST_F(PassportDesktop, WindowClassNamesTheEntryWhenTheEnvironmentDoesNot) {
  auto app = started(desktop_->spawn(
      {target(), "--title", "classed", "--geometry", "200x100+40+40", "--no-focus", "--class", kWindowClass},
      {{"QUORL_LAUNCHED", "1"}, {"GIO_LAUNCHED_DESKTOP_FILE", ""}}));
  auto r = passport({"000" + std::to_string(app->pid())});
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = json::parse(r.out);
  expectIdentity(j, app->pid());
  EXPECT_EQ(j["launchedByQuorl"], true);
}

TEST_F(PassportDesktop, GtkApplicationIdOnAWindowNamesTheEntry) {
  uint32_t window = 0;
  auto app = started(desktop_->spawn({target(), "--title", "gtk id", "--geometry", "200x100+80+80", "--no-focus"},
                                     {{"GIO_LAUNCHED_DESKTOP_FILE", ""}}),
                     &window);
  ASSERT_NE(window, 0u);
  // Before the property is there, nothing names the application's entry.
  EXPECT_EQ(passport({std::to_string(app->pid())}).err, kUnavailable);
  auto set = desktop_->run({"xprop", "-id", std::to_string(window), "-f", "_GTK_APPLICATION_ID", "8u", "-set",
                            "_GTK_APPLICATION_ID", kId});
  ASSERT_EQ(set.status, 0) << set.err;
  quorl::testdesk::RunResult r;
  ASSERT_TRUE(quorl::testdesk::waitFor([&] {
    r = passport({std::to_string(app->pid())});
    return r.status == 0;
  }, 5s, 20ms)) << r.err;
  auto j = json::parse(r.out);
  expectIdentity(j, app->pid());
  EXPECT_EQ(j["launchedByQuorl"], false);
}

TEST_F(PassportDesktop, ProcessesThatAreNoIdentifiedApplication) {
  // A command-line process without windows.
  auto plain = desktop_->spawn({"sleep", "600"}, {{"QUORL_LAUNCHED", "1"}});
  // An application that inherited a launcher's variables: the pid is not its own,
  // and its window class matches no entry.
  auto inherited = started(desktop_->spawn(
      {target(), "--title", "inherited", "--geometry", "200x100+60+60", "--no-focus"},
      {{"GIO_LAUNCHED_DESKTOP_FILE", entryPath()}, {"GIO_LAUNCHED_DESKTOP_FILE_PID", "1"}}));
  for (pid_t pid : {plain->pid(), inherited->pid()}) {
    auto r = passport({std::to_string(pid)});
    EXPECT_EQ(r.status, 1) << pid;
    EXPECT_EQ(r.out, "") << pid;
    EXPECT_EQ(r.err, kUnavailable) << pid;
  }
  auto exited = Child::start({"true"});
  ASSERT_TRUE(exited->waitExit(5s));
  pid_t gone = exited->pid();
  exited.reset();
  auto r = passport({std::to_string(gone)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kUnavailable);
}

TEST_F(PassportDesktop, BundleFormListsProcessesOfOneIdByPid) {
  auto first = launch({{"QUORL_LAUNCHED", "1"}});
  auto second = launch({{"QUORL_LAUNCHED", ""}});
  auto r = passport({"bundle", kId});
  ASSERT_EQ(r.status, 0) << r.err;
  auto list = json::parse(r.out);
  ASSERT_EQ(list.size(), 2u) << r.out;
  auto low = std::min(first->pid(), second->pid()), high = std::max(first->pid(), second->pid());
  expectIdentity(list[0], low);
  expectIdentity(list[1], high);
  EXPECT_EQ(list[0]["launchedByQuorl"], low == first->pid());
  EXPECT_EQ(list[1]["launchedByQuorl"], high == first->pid());

  r = passport({"bundle", "org.quorl.NoSuchApplication"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[]\n");
}

TEST_F(PassportDesktop, BadArgumentsGiveTheUsageMessage) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"0"}, {"-5"}, {"+5"}, {"2147483648"}, {"abc"}, {"1", "2"}, {"bundle"}, {"bundle", "a b"}}) {
    auto r = passport(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
  }
}

}  // namespace
