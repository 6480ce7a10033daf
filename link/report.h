// What the commands have to tell, kept apart from what they do. Command code reports
// through Say (console text: standard output in the tool) and Warn (diagnostics: standard
// error in the tool) instead of printing. The tool leaves the default in place, which
// prints every text as it comes; the library puts a reporter of its own in place for
// the length of each call, keeps the texts for its message function and prints nothing.
#pragma once

#if defined(__GNUC__)
#define QP7730_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define QP7730_PRINTF_LIKE(f, a)
#endif

// Where texts go. Each function gets one whole formatted text.
struct Reporter {
    void (*Say)(const char* text);
    void (*Warn)(const char* text);
    // A failure told in words for a program (the library's message), beside the tool's
    // own texts; null: dropped.
    void (*Explain)(const char* text);
};

void Say(const char* format, ...) QP7730_PRINTF_LIKE(1, 2);
void Warn(const char* format, ...) QP7730_PRINTF_LIKE(1, 2);
// One failure in words, with what caused it ("reading the status of command 0x94 failed:
// Connection reset by peer (ECONNRESET, 104)"), where the tool's texts are terse or
// several. The tool prints nothing of it; the library's reporter keeps it as the message.
void Explain(const char* format, ...) QP7730_PRINTF_LIKE(1, 2);

// A hint for the user on standard error (a Warn): each text at most once until
// ForgetHints, so that a reason told for one drive or device is not repeated for the next.
void Hint(const char* format, ...) QP7730_PRINTF_LIKE(1, 2);
void ForgetHints();

// Puts `reporter` in place (null: standard output and standard error) and returns the
// one it replaces. The reporter must outlive its time in place.
const Reporter* SetReporter(const Reporter* reporter);
// The reporter in place; null while texts go to standard output and standard error.
const Reporter* CurrentReporter();

// Hands what Say and Warn printed to standard output and standard error to the system,
// for a process that may end without returning (a stop request let through after the
// upgrade's hold). Nothing while a reporter is in place.
void FlushReports();
