// The "search" and "duplicates" commands: query the index of the searchable folders from the command
// line, and list documents with the same extracted text.
//
// Both take the folders from a function called only when the command runs (the application fills it
// with its per-folder coordinators). Search text never makes a command fail: any text gives results or
// none. Bad option values, or a folder argument that is not a searchable folder, print the reason to
// stderr and end with exit code 1 by throwing CLI::RuntimeError from the callback. A search that could
// not read part of the index (a damaged file) still prints what it found, says so on stderr and ends
// with exit code 2.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "search/searchable_folder.h"

namespace CLI {
class App;
}

namespace lumidex {

using MailSourceFunction = std::function<std::shared_ptr<search::MailSearchSource>()>;

// "search QUERY [--folder PATH]... [--inside PATH] [--sort ORDER] [--from DATE] [--to DATE]
//  [--date-field FIELD]... [--exact] [--type CATEGORY]... [--tag NAME]... [--min-size BYTES]
//  [--max-size BYTES] [--min-pages N] [--max-pages N] [--min-matches N] [--limit N] [--json]".
// Mail hits join when "mailSourceEnabled" is on and `mail` yields a source.
void addSearchCommand(CLI::App& app, search::FolderListFunction folders, MailSourceFunction mail = {});

// One search over every folder with the settings' defaults, printed as `search` prints it (the
// interactive prompt uses it).
void searchAndPrint(const std::string& query, const search::FolderListFunction& folders);

// "duplicates [FOLDER]": every searchable folder when FOLDER is left out.
void addDuplicatesCommand(CLI::App& app, search::FolderListFunction folders);

}  // namespace lumidex
