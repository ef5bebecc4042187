#pragma once

namespace tunelight {

// Hands memory the allocator keeps after frees back to the system, so that a burst (a flood of
// reports) does not leave the process larger for the rest of its life. Cheap enough to call a few
// times a second; does nothing where the platform offers no such call.
void releaseFreeMemory();

}  // namespace tunelight
