#include "cli/dispatcher.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    PrepareStandardStreams();
    return RunMain(argc, argv);
}
