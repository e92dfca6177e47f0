// POSIX only: the fault hook that lets tests fail one chosen system call of the layer.
// Costs one atomic load per call when no rule is set; it never touches the file system itself.
#include "platform/fault.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace twinfold::fault {

namespace {

struct State {
    std::mutex mutex;
    Rule rule;
    unsigned uses = 0;
    bool actionDone = false;
};

State& TheState() {
    static State state;
    return state;
}

std::atomic<bool> g_ruleActive{false};
std::once_flag g_environmentRead;

struct Name {
    const char* text;
    int value;
};

constexpr Name kCalls[] = {
    {"open", static_cast<int>(Call::open)},     {"read", static_cast<int>(Call::read)},
    {"write", static_cast<int>(Call::write)},   {"rename", static_cast<int>(Call::rename)},
    {"mkdir", static_cast<int>(Call::mkdir)},   {"unlink", static_cast<int>(Call::unlink)},
    {"rmdir", static_cast<int>(Call::rmdir)},   {"list", static_cast<int>(Call::list)},
    {"lookup", static_cast<int>(Call::lookup)}, {"symlink", static_cast<int>(Call::symlink)},
    {"reparse", static_cast<int>(Call::reparse)}, {"untyped", static_cast<int>(Call::untyped)},
};

// EINTR and EAGAIN are left out on purpose: the layer retries those, so a persistent rule would spin.
constexpr Name kErrnos[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},   {"EIO", EIO},         {"EBADF", EBADF},
    {"ENOMEM", ENOMEM}, {"EACCES", EACCES},   {"EBUSY", EBUSY},     {"EEXIST", EEXIST},
    {"EXDEV", EXDEV},   {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},   {"EINVAL", EINVAL},
    {"ENFILE", ENFILE}, {"EMFILE", EMFILE},   {"EFBIG", EFBIG},     {"ENOSPC", ENOSPC},
    {"EROFS", EROFS},   {"ELOOP", ELOOP},     {"EDQUOT", EDQUOT},   {"ENOTEMPTY", ENOTEMPTY},
    {"ESTALE", ESTALE}, {"ENOTSUP", ENOTSUP}, {"ENAMETOOLONG", ENAMETOOLONG},
};

// In place of an errno: the process sends itself the signal at the nth use, and the call goes on.
constexpr Name kSignals[] = {{"SIGHUP", SIGHUP}, {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGSTOP", SIGSTOP}};

// A decimal number without sign, spaces or overflow.
bool ParseUnsigned(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= limit;
}

void InstallLocked(State& state, Rule rule) {
    state.rule = std::move(rule);
    state.uses = 0;
    state.actionDone = false;
    g_ruleActive.store(true, std::memory_order_release);
}

const char* g_reportPath = nullptr;

// A sweep stops once a run no longer reaches the rule's nth use; only the process can tell it that.
void WriteReport() {
    std::FILE* out = std::fopen(g_reportPath, "w");
    if (out == nullptr) return;
    std::fprintf(out, "%u\n", MatchingUses());
    std::fclose(out);
}

// A rule from the environment covers the whole process, so it is read once, before any other use.
void ReadEnvironmentOnce() {
    std::call_once(g_environmentRead, [] {
        const char* text = std::getenv("TWINFOLD_FAULT");
        if (text == nullptr || *text == '\0') return;
        g_reportPath = std::getenv("TWINFOLD_FAULT_REPORT");
        if (g_reportPath != nullptr && *g_reportPath != '\0') {
            TheState();  // constructed first, so it is destroyed only after the report is written
            std::atexit(WriteReport);
        }
        Rule rule;
        if (!ParseRule(text, rule)) {
            // A test that meant to inject a fault must not pass silently because of a typo.
            std::fprintf(stderr, "twinfold: ignoring malformed TWINFOLD_FAULT \"%s\"\n", text);
            return;
        }
        State& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        InstallLocked(state, std::move(rule));
    });
}

}  // namespace

bool ParseRule(const std::string& text, Rule& rule) {
    // call:N[+]:ERRNO[:pathPart]; the path part is the rest of the text, so it may hold ':' itself.
    const std::size_t first = text.find(':');
    if (first == std::string::npos) return false;
    const std::size_t second = text.find(':', first + 1);
    if (second == std::string::npos) return false;
    const std::size_t third = text.find(':', second + 1);

    const std::string callText = text.substr(0, first);
    std::string countText = text.substr(first + 1, second - first - 1);
    const std::string errnoText =
        text.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);

    Rule parsed;
    bool callFound = false;
    for (const Name& name : kCalls) {
        if (callText == name.text) {
            parsed.call = static_cast<Call>(name.value);
            callFound = true;
        }
    }
    if (!callFound) return false;

    if (!countText.empty() && countText.back() == '+') {
        parsed.persistent = true;
        countText.pop_back();
    }
    unsigned long count = 0;
    if (!ParseUnsigned(countText, 100000000, count) || count == 0) return false;
    parsed.nth = static_cast<unsigned>(count);

    bool errnoFound = false;
    for (const Name& name : kSignals) {
        if (errnoText == name.text) {
            const int signal = name.value;
            parsed.action = [signal] { std::raise(signal); };
            errnoFound = true;
        }
    }
    for (const Name& name : kErrnos) {
        if (errnoText == name.text) {
            parsed.error = name.value;
            errnoFound = true;
        }
    }
    if (!errnoFound) {
        unsigned long number = 0;
        if (!ParseUnsigned(errnoText, 4095, number) || number == 0) return false;
        parsed.error = static_cast<int>(number);
    }

    if (third != std::string::npos) {
        parsed.pathPart = text.substr(third + 1);
        if (parsed.pathPart.empty()) return false;  // a trailing ':' promises a path part
    }
    rule = std::move(parsed);
    return true;
}

void Install(Rule rule) {
    ReadEnvironmentOnce();
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    InstallLocked(state, std::move(rule));
}

void Clear() {
    ReadEnvironmentOnce();
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    g_ruleActive.store(false, std::memory_order_release);
    state.rule = Rule{};
    state.uses = 0;
    state.actionDone = false;
}

unsigned MatchingUses() {
    ReadEnvironmentOnce();
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.uses;
}

bool Strike(Call call, const char* path) {
    ReadEnvironmentOnce();
    if (!g_ruleActive.load(std::memory_order_acquire)) return false;

    State& state = TheState();
    std::function<void()> action;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!g_ruleActive.load(std::memory_order_relaxed) || state.rule.call != call) return false;
        if (!state.rule.pathPart.empty() &&
            (path == nullptr || std::strstr(path, state.rule.pathPart.c_str()) == nullptr)) {
            return false;
        }
        ++state.uses;
        const bool hit = state.uses == state.rule.nth || (state.rule.persistent && state.uses > state.rule.nth);
        if (!hit) return false;
        if (state.rule.action) {
            if (state.actionDone) return false;
            state.actionDone = true;
            action = state.rule.action;
        } else {
            // An errno of 0 would read as success to the caller; a failure must stay a failure.
            error = state.rule.error > 0 ? state.rule.error : EIO;
        }
    }
    if (action) {
        // Outside the lock: the action may well call into the layer itself.
        action();
        return false;
    }
    errno = error;
    return true;
}

}  // namespace twinfold::fault
