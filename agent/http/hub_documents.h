#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "agent/http/connection_poller.h"
#include "agent/hub.h"

namespace tunelight {

// The Hub's now-playing document as the event streams' source.
class HubDocuments : public DocumentSource {
 public:
  explicit HubDocuments(Hub& hub) : hub_(hub) {}

  std::pair<std::string, uint64_t> document() const override { return hub_.snapshot(); }
  uint64_t version() const override { return hub_.changeCounter(); }
  size_t watch(std::function<void()> onChange) override {
    return hub_.addListener(std::move(onChange));
  }
  void unwatch(size_t id) override { hub_.removeListener(id); }

 private:
  Hub& hub_;
};

}  // namespace tunelight
