// The process environment (see env.h).
#include "runtime/platform/env.h"

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kel {

namespace {

bool valid_name(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

std::optional<std::string> env_get(const std::string& name) {
    if (!valid_name(name)) return std::nullopt;
    const char* v = getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

bool env_set(const std::string& name, const std::string* value) {
    if (!valid_name(name)) return false;
    if (!value) return unsetenv(name.c_str()) == 0;
    if (value->find('\0') != std::string::npos) return false;
    return setenv(name.c_str(), value->c_str(), 1) == 0;
}

std::vector<std::pair<std::string, std::string>> env_list() {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** e = environ; e && *e; e++) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || eq == *e) continue;
        out.emplace_back(std::string(*e, static_cast<size_t>(eq - *e)), std::string(eq + 1));
    }
    return out;
}

}  // namespace kel
