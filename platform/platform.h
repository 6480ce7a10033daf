// What the tool needs of the operating system besides the device routes: a millisecond
// tick counter, files read at explicit offsets, the standard streams, a message box for
// diagnostics, and a hold on the signals that would stop a run. One source per system implements it
// (platform_posix.cpp, platform_windows.cpp), chosen by CMake.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Milliseconds since a fixed moment, wrapping at 32 bits (GetTickCount on Windows).
uint32_t TickCountMs();

// Opens a regular file for reading only and returns its descriptor; -1 when the path
// cannot be opened (errno says why) or names anything but a regular file (*notRegular
// set; a FIFO or a device never blocks the open).
int OpenFileForReading(const char* path, bool* notRegular);
// The open file's length in bytes; false when it cannot be had.
bool FileLength(int fd, uint64_t* length);
// Reads up to n bytes at offset, leaving the file position as it was. Returns the bytes
// read, 0 at the end of the file, -1 on an error (errno says which).
int64_t ReadFileAt(int fd, void* buffer, size_t n, uint64_t offset);
// A binary stdio stream reading the open file from its current position; the stream
// takes the descriptor over (fclose closes both). Null on failure, the file still open.
FILE* FileStream(int fd);
void CloseFile(int fd);

// An error code of the C library (errno) in words, with its name and number attached:
// "No such file or directory (ENOENT, 2)".
std::string OsErrorText(int code);

// Makes standard output and standard error carry the program's bytes unchanged (no
// "\n" to "\r\n" translation on Windows). Called once by the program entry.
void PrepareStandardStreams();

// Shows a one-line diagnostic (no line end) in a message box with an OK button when the
// run is interactive: on Windows, when standard input and standard error are both
// consoles. Returns false, having shown nothing, otherwise (and always on POSIX): the
// caller then reports the text as it reports other diagnostics. Never waits on a box
// that nobody can see.
bool ShowDiagnosticBox(const char* text);

// Holds off the requests to stop the process -- SIGINT, SIGTERM and SIGHUP on POSIX (a
// signal the process ignores stays ignored); Ctrl-C, Ctrl-Break and closing the console
// on Windows -- while flash is in a state that stopping would leave unbootable. A request
// that arrives is kept; the first one writes `notice` (null: nothing) on standard error,
// from the handler, without stdio. Holds do not nest: a second call while one is in place
// does nothing.
void HoldStopRequests(const char* notice);
// Ends the hold: the dispositions in place before it come back, and the first request
// kept is handed to them now. A default disposition ends the process as that request
// would have (on POSIX with the signal's status, 128 + N to a shell), a handler of the
// program's own (Python's, say) runs, an ignored signal stays ignored. Nothing when no
// hold is in place. Standard output is not flushed here.
void ReleaseStopRequests();
