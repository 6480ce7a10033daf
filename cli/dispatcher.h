// The program entry: start-up, then one action chosen by argument count and keyword.
#pragma once

// Runs one whole invocation and returns its exit status (0, or -1 for a user error).
int RunMain(int argc, char** argv);
