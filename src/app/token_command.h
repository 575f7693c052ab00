// "token new|show": the bearer token of the local API server, kept under "apiServerTokenKey". The token
// is printed on the terminal only, never logged.
#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace lumidex {

// "token new" stores a new random token (a version-4 UUID, 36 characters, upper case), replacing any
// old one, and prints it; "token show" prints the stored one, or says there is none (exit code 1).
// A failed write ends with exit code 1 and the old token still in force.
void addTokenCommand(CLI::App& app);

// Stores a new random token in the shared settings, replacing any old one, and returns it; nullopt
// (with the reason in `error`) when it could not be stored, the old token then still in force.
std::optional<std::string> storeNewApiToken(std::string& error);

}  // namespace lumidex
