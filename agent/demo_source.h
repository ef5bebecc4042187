#pragma once

namespace tunelight {

class Hub;

// Feeds the Hub a scripted sequence of songs while switched on.
class DemoSource {
 public:
  explicit DemoSource(Hub& hub);
  ~DemoSource();
  DemoSource(const DemoSource&) = delete;
  DemoSource& operator=(const DemoSource&) = delete;

  void start();
  void stop();

 private:
  Hub& hub_;
};

}  // namespace tunelight
