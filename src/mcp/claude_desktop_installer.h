// Registers Lumidex as an MCP server of Claude Desktop: one entry under "mcpServers" in Claude
// Desktop's claude_desktop_config.json ($XDG_CONFIG_HOME/Claude, default ~/.config/Claude), whose
// command is the `lumidex-mcp` bridge and whose environment carries the API token and port.
//
// Nothing else in the file changes, and the file is only rewritten after it was read and parsed (or was
// absent), so an unreadable or broken file stays exactly as it was. Writes are atomic.
//
// Claude Desktop counts as installed when any of these is found (none of them is made by Lumidex):
//  - its configuration folder $XDG_CONFIG_HOME/Claude (it creates the folder on its first start);
//  - a `claude-desktop` executable on PATH (the name Linux packages of Claude Desktop install; a bare
//    `claude` is the Claude Code command-line tool and says nothing about the desktop application);
//  - a desktop entry named claude*.desktop (not claude-code*) in the "applications" folder of
//    $XDG_DATA_HOME or one of $XDG_DATA_DIRS (packages and Flatpak export one).
//
// Thread-safety: an installer holds no mutable state; concurrent install calls on the same file each
// write atomically and the last one wins. Nothing is thrown: failures come back as ClaudeDesktopError.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumidex::mcp {

struct ClaudeDesktopStatus {
    bool claudeInstalled = false;
    bool registered = false;             // "mcpServers" has an entry under serverKey
    bool registeredPathMatches = false;  // that entry's "command" is this installer's bridge path
};

struct ClaudeDesktopError {
    enum class Kind {
        bridgeBinaryMissing,
        configReadFailed,
        configWriteFailed,
        claudeNotInstalled,
        tokenMissing,
        accessDenied,
        configInvalidJson,
        userCancelled,  // kept for other front ends; the command line never asks, so never cancels
    };
    Kind kind;
    std::string detail;  // bridgeBinaryMissing: the path; configRead/WriteFailed: the error description

    // The text shown to the user, e.g. "Claude Desktop is not installed on this computer."
    std::string message() const;
};

class ClaudeDesktopInstaller {
public:
    static constexpr std::string_view serverKey = "lumidex";
    static constexpr std::string_view bridgeBinaryName = "lumidex-mcp";

    // bridgePath empty: bridgeBinaryName beside the running executable.
    explicit ClaudeDesktopInstaller(std::filesystem::path bridgePath = {});

    // $XDG_CONFIG_HOME/Claude (~/.config/Claude when unset), and the configuration file inside it.
    static std::filesystem::path configDirectory();
    static std::filesystem::path configFilePath();
    // The folder of the running executable (from /proc/self/exe); empty when it cannot be read.
    static std::filesystem::path executableDirectory();

    const std::filesystem::path& bridgePath() const { return bridgePath_; }

    bool isClaudeInstalled() const;
    // An unreadable or invalid configuration file reports "not registered".
    ClaudeDesktopStatus status() const;

    // Writes "mcpServers"."lumidex" = {"command": bridgePath, "env": {"LMX_TOKEN": token, "LMX_PORT":
    // port}}. Checks, in order: Claude installed, token set, bridge present and executable, folder
    // accessible (created when missing), file readable and a JSON object whose "mcpServers", when
    // present, is an object. nullopt on success.
    std::optional<ClaudeDesktopError> install(const std::string& token, uint16_t port) const;

private:
    std::filesystem::path bridgePath_;
};

}  // namespace lumidex::mcp
