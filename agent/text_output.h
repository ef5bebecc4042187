#pragma once

#include <string>

namespace tunelight {

class Hub;

// Keeps the text files of the configured directory in step with the Hub.
class TextOutput {
 public:
  explicit TextOutput(Hub& hub);
  ~TextOutput();
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void start();
  void stop();
  void setDir(const std::string& dir);

 private:
  Hub& hub_;
};

}  // namespace tunelight
