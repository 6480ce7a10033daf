#include <cstdio>

#include "image/image.h"
#include "link/device_state.h"

void LoadImageFile(const char*) {
    fprintf(stderr, "qp7730: loading picture files is not available in this build\n");
    EndRun(-1);
}
void DecodeImageToGrey(const char*) { EndRun(-1); }
