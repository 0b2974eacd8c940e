// Injected failures: WINSHIM_FAULTS="FUNCTION[#N]=CODE,...".

#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace winshim {
namespace {

struct Rule {
    std::string function;
    unsigned long call;  // 0: every call
    DWORD code;
};

bool ParseRule(const std::string &item, Rule &rule) {
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    std::string left = item.substr(0, eq), right = item.substr(eq + 1);
    size_t hash = left.find('#');
    rule.function = left.substr(0, hash);
    rule.call = 0;
    if (rule.function.empty())
        return false;
    char *end = nullptr;
    if (hash != std::string::npos) {
        std::string n = left.substr(hash + 1);
        rule.call = strtoul(n.c_str(), &end, 10);
        if (n.empty() || *end || rule.call == 0)
            return false;
    }
    unsigned long code = strtoul(right.c_str(), &end, 0);
    if (right.empty() || *end || code == 0 || code > 0xFFFFFFFFul)
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
            fprintf(stderr, "winshim: WINSHIM_FAULTS: ignoring \"%s\"\n", item.c_str());
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return rules;
}

}  // namespace

DWORD InjectedFault(const char *function) {
    static const std::vector<Rule> rules = LoadRules();
    static std::map<std::string, unsigned long> calls;
    if (rules.empty())
        return 0;
    unsigned long n = ++calls[function];
    for (const Rule &rule : rules)
        if (rule.function == function && (rule.call == 0 || rule.call == n))
            return rule.code;
    return 0;
}

}  // namespace winshim
