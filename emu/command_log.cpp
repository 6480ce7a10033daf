#include "emu/command_log.h"

#include <algorithm>
#include <cstdlib>

namespace emu {
namespace {

constexpr size_t kTraceDataBytes = 64;

std::string Hex(const uint8_t* data, size_t length, size_t limit) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    const size_t n = std::min(length, limit);
    s.reserve(2 * n + 3);
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 15];
    }
    if (length > limit) s += "...";
    return s;
}

}  // namespace

bool ParseFault(const std::string& text, Fault* fault) {
    const size_t at = text.find('@');
    if (at == std::string::npos || at + 1 >= text.size()) return false;
    const std::string kind = text.substr(0, at);
    const std::string number = text.substr(at + 1);
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 18) return false;
    const uint64_t n = std::strtoull(number.c_str(), nullptr, 10);
    if (n == 0) return false;
    for (int i = 0; i < kFaultKinds; ++i) {
        const auto k = static_cast<FaultKind>(i);
        if (kind == FaultName(k)) {
            *fault = Fault{k, n};
            return true;
        }
    }
    return false;
}

std::optional<FaultKind> CommandLog::Connection::OnWrapper() {
    current_ = ++log_.count_;
    unanswered_ = false;
    for (const Fault& f : log_.faults_) {
        if (f.command == current_) return f.kind;
    }
    return std::nullopt;
}

void CommandLog::Connection::OnOutcome(const CommandOutcome& outcome) {
    unanswered_ = outcome.status < 0;
    log_.Write(current_, connection_, outcome);
}

void CommandLog::Write(uint64_t number, uint64_t connection, const CommandOutcome& o) {
    if (!trace_) return;
    std::string line = "\"seq\":" + std::to_string(number) + ",\"conn\":" + std::to_string(connection) + ",";
    const std::string status = o.status < 0 ? "null" : std::to_string(o.status);
    if (!o.wellFormed) {
        line += "\"cmd\":\"malformed\",\"size\":" + std::to_string(o.wrapperSize) + ",\"status\":" + status;
        if (o.note) line += ",\"note\":\"" + std::string(o.note) + "\"";
    } else {
        const CommandBlock& c = *o.command;
        line += "\"cmd\":\"" + CommandName(c.cdb) + "\",\"cdb\":\"" + Hex(c.cdb, 16, 16) + "\"";
        if (o.note) {
            line += ",\"status\":null,\"note\":\"" + std::string(o.note) + "\"";
        } else {
            const bool in = c.dataIn && c.transferLength > 0;
            const bool out = !c.dataIn && c.transferLength > 0;
            line += std::string(",\"dir\":\"") + (in ? "in" : out ? "out" : "none") +
                    "\",\"len\":" + std::to_string(c.transferLength);
            if (o.fault) line += ",\"fault\":\"" + std::string(FaultName(*o.fault)) + "\"";
            if (out) {
                line += ",\"data\":\"" + Hex(o.dataOut.data(), o.dataOut.size(), kTraceDataBytes) + "\"";
            } else if (in && o.status >= 0) {
                // What goes out, padding included.
                std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(o.dataInLength, kTraceDataBytes + 1)), 0);
                std::copy_n(o.reply.begin(), std::min(o.reply.size(), head.size()), head.begin());
                line += ",\"data\":\"" + Hex(head.data(), head.size(), kTraceDataBytes) + "\"";
            }
            line += ",\"status\":" + status;
        }
    }
    // The line is complete before the status can go out, so a host that has its answer
    // finds the command in the trace.
    std::fprintf(trace_, "{%s}\n", line.c_str());
    std::fflush(trace_);
}

}  // namespace emu
