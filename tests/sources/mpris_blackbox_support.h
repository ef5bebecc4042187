#pragma once

// Helpers of the black-box tests that drive the agent through MPRIS players.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/http/raw_http.h"
#include "tests/support/wait.h"

namespace tunelight::test {

// One open /events stream and the number of "data:" messages it brought so far.
class EventStream {
 public:
  explicit EventStream(int port) : c_(openEvents(port)) {}
  int count() {
    drain();
    int n = 0;
    const std::string& b = c_->buffer();
    for (size_t at = b.find("data: "); at != std::string::npos; at = b.find("data: ", at + 1)) ++n;
    return n;
  }
  // Everything received so far.
  const std::string& text() {
    drain();
    return c_->buffer();
  }

 private:
  void drain() {
    size_t before;
    do {
      before = c_->buffer().size();
      c_->readNow();
    } while (c_->buffer().size() > before);
  }

  std::unique_ptr<RawConnection> c_;
};

}  // namespace tunelight::test
