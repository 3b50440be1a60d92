// The process environment, names and values as UTF-8 bytes.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kel {

// The value of [name]; nullopt when it is not set (or the name cannot be one:
// empty, or holding '=' or NUL).
std::optional<std::string> env_get(const std::string& name);
// Sets [name] to [value], or removes it when [value] is null. False for a
// name that cannot be one, or a value holding NUL.
bool env_set(const std::string& name, const std::string* value);
// Every variable as (name, value), in the environment's order.
std::vector<std::pair<std::string, std::string>> env_list();

}  // namespace kel
