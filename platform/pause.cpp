#include "platform/pause.hpp"

#include <thread>

namespace kavori::platform {

void Pauses::Pause(unsigned ms) const { std::this_thread::sleep_for(Duration(ms)); }

}  // namespace kavori::platform
