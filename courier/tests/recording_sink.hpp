#pragma once
// An event sink that records every posted event (with its pid) instead of
// sending it, for tests of Deliver and of the drivers.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "courier/deliver.hpp"

namespace quorl::courier::testing {

class RecordingSink : public EventSink {
 public:
  struct Posted {
    pid_t pid;
    SynthEvent event;
  };

  explicit RecordingSink(std::string route = "sky", bool fields = true, bool windowLocation = true)
      : route_(std::move(route)), fields_(fields), windowLocation_(windowLocation) {}

  void post(pid_t pid, const SynthEvent& event) override {
    std::lock_guard<std::mutex> guard(lock_);
    posted_.push_back({pid, event});
  }
  std::string route() const override { return route_; }
  bool stampsFields() const override { return fields_; }
  bool stampsWindowLocation() const override { return windowLocation_; }
  void setKeyWindow(pid_t pid, int64_t window) override {
    std::lock_guard<std::mutex> guard(lock_);
    keyWindows_.emplace_back(pid, window);
  }

  std::vector<Posted> posted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return posted_;
  }
  std::vector<std::pair<pid_t, int64_t>> keyWindows() const {
    std::lock_guard<std::mutex> guard(lock_);
    return keyWindows_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    posted_.clear();
  }

 private:
  std::string route_;
  bool fields_, windowLocation_;
  mutable std::mutex lock_;
  std::vector<Posted> posted_;
  std::vector<std::pair<pid_t, int64_t>> keyWindows_;
};

}  // namespace quorl::courier::testing
