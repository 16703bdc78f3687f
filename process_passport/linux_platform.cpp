// The real platform of process-passport: /proc and the running-applications layer.
#include "platform/apps.hpp"
#include "platform/proc_files.hpp"
#include "process_passport/passport.hpp"

namespace quorl::passport {
namespace {

class LinuxApp : public AppHandle {
 public:
  explicit LinuxApp(platform::RunningApplication app) : app_(std::move(app)) {}
  int32_t pid() const override { return app_.pid(); }
  bool isTerminated() const override { return app_.isTerminated(); }
  std::optional<std::string> bundleIdentifier() const override {
    if (app_.bundleIdentifier().empty()) return std::nullopt;
    return app_.bundleIdentifier();
  }
  std::optional<std::string> bundlePath() const override { return app_.bundlePath(); }
  std::optional<std::string> executablePath() const override { return app_.executablePath(); }

 private:
  platform::RunningApplication app_;
};

class LinuxPassportPlatform : public PassportPlatform {
 public:
  std::optional<ProcessStart> kernelStart(int32_t pid) override {
    auto record = platform::proc::readStartRecord(pid);
    if (!record) return std::nullopt;
    return ProcessStart{record->seconds, record->micros};
  }
  std::unique_ptr<AppHandle> application(int32_t pid) override {
    auto app = platform::runningApplication(pid);
    if (!app) return nullptr;
    return std::make_unique<LinuxApp>(std::move(*app));
  }
  std::vector<std::unique_ptr<AppHandle>> applications(const std::string& bundleId) override {
    std::vector<std::unique_ptr<AppHandle>> list;
    if (bundleId.empty()) return list;
    for (auto& app : platform::runningApplications(bundleId)) list.push_back(std::make_unique<LinuxApp>(std::move(app)));
    return list;
  }
  bool launchedByQuorl(int32_t pid) override {
    // Only the environment the process was started with counts, never its arguments.
    auto environment = platform::proc::readEnvironment(pid);
    return environment && platform::proc::environmentHasEntry(*environment, "QUORL_LAUNCHED=1");
  }
};

}  // namespace

std::unique_ptr<PassportPlatform> linuxPlatform() { return std::make_unique<LinuxPassportPlatform>(); }

}  // namespace quorl::passport
