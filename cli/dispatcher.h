// The program entry: start-up, then one action chosen by argument count and keyword.
#pragma once

// Runs one whole invocation and returns its exit status (0, or -1 for a user error).
// "--help" or "-h" alone prints the usage on standard output and returns 0 without
// opening the controller.
int RunMain(int argc, char** argv);
