#pragma once
// A serial work queue on one worker thread: tasks run one at a time in
// submission order.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quorl::courier {

class SerialQueue {
 public:
  SerialQueue() : worker_([this] { loop(); }) {}
  ~SerialQueue() { stop(); }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void submit(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) return;
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
  }

  // Submits an empty task and waits until it has run: everything submitted
  // before has then run.
  void drain() {
    std::mutex m;
    std::condition_variable done;
    bool ran = false;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (stopping_) return;
      tasks_.push_back([&] {
        std::lock_guard<std::mutex> g2(m);
        ran = true;
        done.notify_one();
      });
    }
    cv_.notify_one();
    std::unique_lock<std::mutex> lk(m);
    done.wait(lk, [&] { return ran; });
  }

  // Runs what is queued, then ends the worker.
  void stop() {
    {
      std::lock_guard<std::mutex> g(mu_);
      stopping_ = true;
    }
    cv_.notify_one();
    if (worker_.joinable()) worker_.join();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      cv_.wait(lk, [&] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lk.unlock();
      task();
      lk.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread worker_;  // last: starts after the fields above exist
};

}  // namespace quorl::courier
