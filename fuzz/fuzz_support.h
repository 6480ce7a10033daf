// Shared pieces of the fuzz targets: a quiet process, inputs as files, and an
// in-process emulated controller that discovery finds like a real one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "emu/model.h"
#include "image/image_service.h"

namespace fuzz {

// Sends standard output to /dev/null, drops the texts of Say and Warn (the transport's
// "[FAIL]" lines among them), and turns off the run lock (every run in the process uses
// the same in-process device).
void QuietProcess();

// Writes the bytes to a file in this process's scratch directory; returns its path.
// The same name is reused, so a run leaves one file behind at most.
// Reads the picture's rows, the first 4 million pixels' worth: a few bytes of fax or LZW
// data can declare a picture up to the decoders' limit (2^27 pixels), which under the
// sanitizers takes longer than the fuzzer's time limit, and later rows run the same code.
void ReadFirstRows(qpimg::RowSource& source);

std::string WriteInput(const uint8_t* data, size_t size, const std::string& name);

// The scratch directory (created on first use), also the working directory once
// QuietProcess ran, so that relative names in fuzzed arguments stay inside it.
const std::string& ScratchDirectory();

// A small emulated controller: 64 x 48 panel, 1 MiB of memory.
emu::ModelConfig SmallModel();

// Makes the in-process emulator the only pipe route discovery tries. The model lives
// for the whole process (building one per input costs its 16 MiB flash each time); the
// device framing starts afresh with every call.
emu::Model& UseInProcessEmulator();

}  // namespace fuzz
