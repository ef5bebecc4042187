#pragma once

namespace tunelight {

class Hub;

// Publishes the platform's media sessions as Hub sources.
class SmtcWatcher {
 public:
  explicit SmtcWatcher(Hub& hub);
  ~SmtcWatcher();
  SmtcWatcher(const SmtcWatcher&) = delete;
  SmtcWatcher& operator=(const SmtcWatcher&) = delete;

  void start();
  void stop();

 private:
  Hub& hub_;
};

}  // namespace tunelight
