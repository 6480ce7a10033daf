// Writing a firmware or waveform image into the controller's serial flash.
#pragma once

// "-upgrade TYPE FILE": type 1 firmware at flash address 0, type 2 waveform at the
// waveform address the controller reports. Prints its outcome or ends the run.
void UpgradeFlashImage(const char* typeWord, const char* fileName);
