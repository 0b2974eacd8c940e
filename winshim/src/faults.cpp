// Injected failures: WINSHIM_FAULTS="FUNCTION[#N]=CODE,...".

#include "internal.h"
#include "sys.h"

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include <unistd.h>

namespace winshim {

bool ParseUnsigned(std::string_view text, bool allow_hex, uint64_t max, uint64_t *out) {
    unsigned base = 10;
    if (allow_hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    uint64_t n = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (n > (max - digit) / base)
            return false;
        n = n * base + digit;
    }
    *out = n;
    return true;
}

namespace {

struct Rule {
    std::string function;
    uint64_t call;  // 0: every call
    DWORD code;
};

bool ParseRule(const std::string &item, Rule &rule) {
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    std::string_view left(item.data(), eq), right(item.data() + eq + 1, item.size() - eq - 1);
    size_t hash = left.find('#');
    rule.function = std::string(left.substr(0, hash));
    rule.call = 0;
    if (rule.function.empty())
        return false;
    if (hash != std::string_view::npos &&
        (!ParseUnsigned(left.substr(hash + 1), false, UINT32_MAX, &rule.call) || rule.call == 0))
        return false;
    uint64_t code;
    if (!ParseUnsigned(right, true, UINT32_MAX, &code) || code == 0)
        return false;
    rule.code = static_cast<DWORD>(code);
    return true;
}

std::vector<Rule> LoadRules() {
    std::vector<Rule> rules;
    const char *text = getenv("WINSHIM_FAULTS");
    if (!text)
        return rules;
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        std::string item = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Rule rule;
        if (ParseRule(item, rule))
            rules.push_back(rule);
        else if (!item.empty() || comma != std::string::npos)
            Tell("WINSHIM_FAULTS: ignoring \"" + item + "\"");
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return rules;
}

// WINSHIM_FAULTS_LOG: every failure injected appends "FUNCTION#N=CODE",
// so that a test knows which calls a run made.
void LogFault(const char *function, uint64_t call, DWORD code) {
    const char *path = getenv("WINSHIM_FAULTS_LOG");
    if (path && *path)
        sys::AppendUnfaulted(path, std::string(function) + "#" + std::to_string(call) + "=" + std::to_string(code) +
                                       "\n");
}

}  // namespace

DWORD InjectedFault(const char *function) {
    static const std::vector<Rule> rules = LoadRules();
    static std::map<std::string, uint64_t> calls;
    if (rules.empty())
        return 0;
    uint64_t n = ++calls[function];
    for (const Rule &rule : rules)
        if (rule.function == function && (rule.call == 0 || rule.call == n)) {
            LogFault(function, n, rule.code);
            return rule.code;
        }
    return 0;
}

void Tell(const std::string &text) {
    sys::WriteUnfaulted(STDERR_FILENO, "winshim: " + text + "\n");
}

void TellOnce(const std::string &topic, const std::string &text) {
    static auto *told = new std::set<std::string>;  // never destroyed: told up to the process's last word
    if (told->insert(topic).second)
        Tell(text);
}

void BadSetting(const char *variable, const char *value) {
    TellOnce(variable, std::string(variable) + ": ignoring \"" + value + "\"");
}

}  // namespace winshim
