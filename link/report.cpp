#include "link/report.h"

#include <cstdarg>
#include <cstdio>
#include <set>
#include <string>

namespace {

const Reporter* g_reporter = nullptr;
std::set<std::string> g_hintsGiven;

std::string Format(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[256];
    const int n = vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (n < 0) {
        text = format;
    } else if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

}  // namespace

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_reporter == nullptr)
        vprintf(format, args);
    else
        g_reporter->Say(Format(format, args).c_str());
    va_end(args);
}

void Warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_reporter == nullptr)
        vfprintf(stderr, format, args);
    else
        g_reporter->Warn(Format(format, args).c_str());
    va_end(args);
}

void Hint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    if (g_hintsGiven.insert(text).second) Warn("%s", text.c_str());
}

void ForgetHints() { g_hintsGiven.clear(); }

void Explain(const char* format, ...) {
    if (g_reporter == nullptr || g_reporter->Explain == nullptr) return;
    va_list args;
    va_start(args, format);
    g_reporter->Explain(Format(format, args).c_str());
    va_end(args);
}

const Reporter* CurrentReporter() { return g_reporter; }

const Reporter* SetReporter(const Reporter* reporter) {
    const Reporter* previous = g_reporter;
    g_reporter = reporter;
    return previous;
}

void FlushReports() {
    if (g_reporter != nullptr) return;
    std::fflush(stdout);
    std::fflush(stderr);
}
