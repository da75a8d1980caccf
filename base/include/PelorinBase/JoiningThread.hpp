#pragma once

#include <thread>
#include <utility>

namespace PelorinBase {

// A thread joined on every way out of its scope: std::jthread without the stop token, which the
// C++ library of macOS lacks. Whatever must make it end (a stop switch) is declared after it.
class JoiningThread {
 public:
  JoiningThread() = default;
  template <class Function>
  explicit JoiningThread(Function&& function) : thread_(std::forward<Function>(function)) {}
  JoiningThread(JoiningThread&&) noexcept = default;
  JoiningThread& operator=(JoiningThread&& other) noexcept {
    join();
    thread_ = std::move(other.thread_);
    return *this;
  }
  ~JoiningThread() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace PelorinBase
