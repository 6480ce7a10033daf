// Writing a firmware or waveform image into the controller's serial flash.
#pragma once

#include <cstdint>

// "-upgrade TYPE FILE": type 1 firmware at flash address 0, type 2 waveform at the
// waveform address the controller reports. Refuses (text, run ended with the reason) or
// writes, verifies, tells and returns the outcome.
enum class UpgradeOutcome { kDone, kFailed };
UpgradeOutcome UpgradeFlash(int32_t type, const char* fileName);
