#include "tests/support/scripted_pipe.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "link/endian.h"
#include "link/report.h"

ScriptedPipe* ScriptedPipe::current = nullptr;

ScriptedPipe::ScriptedPipe() { current = this; }
ScriptedPipe::~ScriptedPipe() { current = nullptr; }

namespace {

void* Open(const std::string&) { return ScriptedPipe::current && ScriptedPipe::current->opens ? ScriptedPipe::current : nullptr; }

TransferResult Transfer(void* device, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* moved) {
    auto* s = static_cast<ScriptedPipe*>(device);
    PipeEvent e{pipe, len, {}};
    if ((pipe & 0x80) == 0) e.out.assign(buf, buf + len);
    const size_t index = s->events.size();
    s->events.push_back(e);
    const auto scripted = s->resultAt.find(index);
    if (scripted != s->resultAt.end() && scripted->second != TransferResult::kGood) {
        s->lastError = scripted->second == TransferResult::kGone ? s->goneCode : s->errorCode;
        return scripted->second;
    }
    if (s->failAt.count(index)) {
        // A failed IN transfer loses the message the device had sent.
        if ((pipe & 0x80) != 0 && !s->inQueue.empty()) s->inQueue.pop_front();
        s->lastError = s->errorCode;
        return s->goneCode != 0 && s->lastError == s->goneCode ? TransferResult::kGone : TransferResult::kError;
    }
    if ((pipe & 0x80) == 0) {
        if (len == 31 && GetLe32(buf) == 0x43425355) {
            s->lastTag = GetLe32(buf + 4);
            if (s->onCbw) s->onCbw(*s, buf);
        }
        *moved = len;
        return TransferResult::kGood;
    }
    if (s->inQueue.empty()) {
        s->lastError = 121;  // nothing answered: a timed-out transfer
        return TransferResult::kError;
    }
    std::vector<uint8_t> msg = std::move(s->inQueue.front());
    s->inQueue.pop_front();
    if (msg.size() > len) {
        s->lastError = 234;
        return TransferResult::kError;
    }
    if (msg.size() == 13 && GetLe32(&msg[4]) == ScriptedPipe::kEchoTag) PutLe32(&msg[4], s->lastTag);
    if (!msg.empty()) std::memcpy(buf, msg.data(), msg.size());
    *moved = static_cast<uint32_t>(msg.size());
    return msg.size() < len ? TransferResult::kShort : TransferResult::kGood;
}

int LastError(void* device) { return static_cast<ScriptedPipe*>(device)->lastError; }
void Close(void*) {}
std::string Location(void*) { return "scripted"; }
TransferResult ClearHalt(void* device, uint8_t pipe) {
    auto* s = static_cast<ScriptedPipe*>(device);
    char text[24];
    std::snprintf(text, sizeof text, "clear-halt 0x%02x", pipe);
    s->requests.push_back(text);
    return TransferResult::kGood;
}
TransferResult ClassReset(void* device) {
    auto* s = static_cast<ScriptedPipe*>(device);
    s->requests.push_back("reset");
    s->inQueue.clear();
    if (s->resetResult != TransferResult::kGood) s->lastError = s->errorCode;
    return s->resetResult;
}

}  // namespace

const PipeBackend ScriptedPipe::kBackend = {"scripted", Open, Transfer, LastError, Close, Location, ClearHalt, ClassReset, nullptr, nullptr, nullptr};

std::vector<uint8_t> ScriptedPipe::Csw(uint32_t signature, uint32_t residue, uint8_t status, uint32_t tag) {
    std::vector<uint8_t> c(13, 0);
    PutLe32(&c[0], signature);
    PutLe32(&c[4], tag);
    PutLe32(&c[8], residue);
    c[12] = status;
    return c;
}

void ScriptedPipe::ActAsController(const std::string& identity, const std::vector<uint32_t>& systemInfo) {
    onCbw = [identity, systemInfo](ScriptedPipe& s, const uint8_t* cbw) {
        const uint32_t length = GetLe32(cbw + 8);
        std::vector<uint8_t> data(length, 0);
        if (cbw[15] == 0x12) {
            std::memcpy(&data[8], identity.data(), std::min<size_t>(identity.size(), length - 8));
        } else if (cbw[15] == 0xFE && cbw[21] == 0x80) {
            for (size_t i = 0; i < systemInfo.size() && 4 * i + 4 <= length; ++i) PutBe32(&data[4 * i], systemInfo[i]);
        }
        if (length != 0 && (cbw[12] & 0x80)) s.inQueue.push_back(data);
        s.inQueue.push_back(Csw());
    };
}

std::vector<std::string>& CollectedFailures() {
    static std::vector<std::string> messages;
    return messages;
}

namespace {

void SayToStandardOutput(const char* text) { std::fputs(text, stdout); }
void KeepFailure(const char* text) {
    std::string line = text;
    if (line.rfind("[FAIL]", 0) != 0) {
        std::fputs(text, stderr);
        return;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    CollectedFailures().push_back(line);
}
const Reporter kCollecting{SayToStandardOutput, KeepFailure, nullptr};

}  // namespace

void CollectFailures() {
    CollectedFailures().clear();
    SetReporter(&kCollecting);
}

void StopCollectingFailures() { SetReporter(nullptr); }
