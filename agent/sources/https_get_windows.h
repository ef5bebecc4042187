#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/sources/https_get.h"

namespace tunelight {

// httpsGet with its overall deadline given (httpsGet uses 30 s): a transfer still running after
// deadlineMs is abandoned and logged like a time-out of WinHTTP's own.
HttpsResult httpsGetWithin(const std::string& url, size_t maxBytes, const std::atomic<bool>* cancel,
                           uint32_t deadlineMs);

}  // namespace tunelight
