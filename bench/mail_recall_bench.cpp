// Mail recall probe for bench/mail: reads one query per line from stdin, searches the mail index of the
// current home (HOME/XDG_* as `lumidex search` sees them) for each, and prints one JSON object:
// {"queries": N, "found": F, "missing": [the first 50 queries without a hit]}.
#include <nlohmann/json.hpp>

#include <iostream>
#include <string>

#include "mail/mail_fts.h"

int main() {
    lumidex::mail::MailFtsSqlite& fts = lumidex::mail::MailFtsSqlite::shared();
    if (!fts.ensureOpen()) {
        std::cerr << "mail_recall_bench: mail index not available: " << fts.openError() << '\n';
        return 1;
    }
    int64_t queries = 0;
    int64_t found = 0;
    nlohmann::json missing = nlohmann::json::array();
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        ++queries;
        if (!fts.search(line, 1, false).empty()) {
            ++found;
        } else if (missing.size() < 50) {
            missing.push_back(line);
        }
    }
    std::cout << nlohmann::json{{"queries", queries}, {"found", found}, {"missing", missing}}.dump() << '\n';
    return 0;
}
