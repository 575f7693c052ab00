#include "app/desktop_command.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/command_line.h"
#include "core/atomic_file.h"
#include "platform/paths.h"

namespace lumidex {
namespace {

// A page with a magnifying glass over its lines.
constexpr std::string_view kIcon = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 64 64">
  <path d="M12 4h28l12 12v44H12z" fill="#fdfdfd" stroke="#5b6470" stroke-width="2.5" stroke-linejoin="round"/>
  <path d="M40 4v12h12" fill="none" stroke="#5b6470" stroke-width="2.5" stroke-linejoin="round"/>
  <path d="M19 24h22M19 31h16M19 38h12" stroke="#9aa3ad" stroke-width="3" stroke-linecap="round"/>
  <circle cx="38" cy="40" r="10" fill="#ffd24d" fill-opacity="0.55" stroke="#2f6fd0" stroke-width="4"/>
  <path d="M45.5 47.5l9 9" stroke="#2f6fd0" stroke-width="6" stroke-linecap="round"/>
</svg>
)";

// An Exec argument quoted as the desktop entry format asks: in double quotes, with `"`, `` ` ``, `$`
// and `\` escaped by a backslash, and the backslashes of that string escaped once more (the value is
// a string first).
std::string quotedExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        if (c == '%') {
            quoted += "%%";
            continue;
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string desktopEntry(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Lumidex\n"
           "GenericName=Document Search\n"
           "Comment=Search the text of your documents, scans and images\n"
           "Exec=" + quotedExecArgument(executable.string()) + " window %f\n"
           "Icon=lumidex\n"
           "Terminal=false\n"
           "Categories=Office;Utility;\n"
           "Keywords=search;documents;pdf;scan;text;\n"
           "StartupWMClass=lumidex\n";
}

std::optional<std::string> installDesktopFiles(const std::filesystem::path& dataHome,
                                               const std::filesystem::path& executable) {
    const auto entry = dataHome / "applications" / "lumidex.desktop";
    const auto icon = dataHome / "icons" / "hicolor" / "scalable" / "apps" / "lumidex.svg";
    for (const auto& [path, content] : {std::pair{icon, std::string(kIcon)}, {entry, desktopEntry(executable)}}) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return "Could not create " + path.parent_path().string() + ": " + ec.message();
        if (const auto error = writeFileAtomically(path, content)) return error->message();
    }
    return std::nullopt;
}

void addDesktopCommand(CLI::App& app) {
    auto* desktop = app.add_subcommand("desktop", "Desktop integration for the current user");
    desktop->require_subcommand(1);
    desktop->add_subcommand("install", "Add Lumidex to the applications menu (entry and icon under $XDG_DATA_HOME)")
        ->callback([] {
            std::error_code ec;
            std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
            // The entry starts the quick executable, whichever of the two runs this.
            if (!ec) self = self.parent_path() / "lumidex";
            const auto dataHome = platform::userDirectories().applicationSupport;
            if (const auto error = installDesktopFiles(dataHome, self)) {
                std::cerr << "lumidex desktop install: " << *error << '\n';
                throw CLI::RuntimeError(1);
            }
            std::cout << "Installed " << (dataHome / "applications" / "lumidex.desktop").string() << '\n';
        });
}

}  // namespace lumidex
