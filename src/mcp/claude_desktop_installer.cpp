#include "mcp/claude_desktop_installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>
#include <variant>

#include <nlohmann/json.hpp>

#include "core/app_log.h"
#include "core/atomic_file.h"

namespace lumidex::mcp {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr const char* kConfigFileName = "claude_desktop_config.json";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

fs::path homeDirectory() { return environment("HOME"); }

std::string describe(const std::string& description) { return description.empty() ? "unknown error" : description; }

bool isExecutableFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

bool claudeDesktopOnPath() {
    std::istringstream folders(environment("PATH"));
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && isExecutableFile(fs::path(folder) / "claude-desktop")) return true;
    }
    return false;
}

bool claudeDesktopEntryIn(const fs::path& applications) {
    std::error_code ec;
    for (fs::directory_iterator it(applications, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name.starts_with("claude") && name.ends_with(".desktop") && !name.starts_with("claude-code")) return true;
    }
    return false;
}

bool claudeDesktopEntryExists() {
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (claudeDesktopEntryIn((dataHome.empty() ? homeDirectory() / ".local/share" : fs::path(dataHome)) / "applications")) {
        return true;
    }
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
    std::istringstream folders(dataDirs);
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && claudeDesktopEntryIn(fs::path(folder) / "applications")) return true;
    }
    return false;
}

struct ReadFailure {
    std::string description;
};
struct InvalidContent {};
using ReadResult = std::variant<Json, ReadFailure, InvalidContent>;

// A missing file is an empty configuration; anything that is not a JSON object is invalid.
ReadResult readConfig(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Json::object();
        return ReadFailure{std::strerror(errno)};
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return ReadFailure{std::strerror(error)};
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    Json config = Json::parse(bytes, nullptr, false);
    if (config.is_discarded() || !config.is_object()) return InvalidContent{};
    return config;
}

// Sorted keys come with the ordered map the default json type uses; slashes are never escaped by it.
std::string serialise(const Json& config) { return config.dump(2, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::string ClaudeDesktopError::message() const {
    switch (kind) {
    case Kind::bridgeBinaryMissing:
        return "The MCP bridge binary is missing at " + detail + ". Rebuild the app with the MCP bridge build phase.";
    case Kind::configReadFailed:
        return "Could not read claude_desktop_config.json: " + describe(detail);
    case Kind::configWriteFailed:
        return "Could not write claude_desktop_config.json: " + describe(detail);
    case Kind::claudeNotInstalled:
        return "Claude Desktop is not installed on this computer.";
    case Kind::tokenMissing:
        return "No API server token is set. Enable the API server and generate a token first.";
    case Kind::accessDenied:
        return "Access to Claude Desktop's config directory was denied.";
    case Kind::configInvalidJson:
        return "claude_desktop_config.json is not valid JSON. Please fix it manually or delete it.";
    case Kind::userCancelled:
        return "Cancelled.";
    }
    return "unknown error";
}

ClaudeDesktopInstaller::ClaudeDesktopInstaller(fs::path bridgePath) : bridgePath_(std::move(bridgePath)) {
    if (bridgePath_.empty()) bridgePath_ = executableDirectory() / bridgeBinaryName;
}

fs::path ClaudeDesktopInstaller::configDirectory() {
    const std::string configHome = environment("XDG_CONFIG_HOME");
    return (configHome.empty() ? homeDirectory() / ".config" : fs::path(configHome)) / "Claude";
}

fs::path ClaudeDesktopInstaller::configFilePath() { return configDirectory() / kConfigFileName; }

fs::path ClaudeDesktopInstaller::executableDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

bool ClaudeDesktopInstaller::isClaudeInstalled() const {
    std::error_code ec;
    return fs::is_directory(configDirectory(), ec) || claudeDesktopOnPath() || claudeDesktopEntryExists();
}

ClaudeDesktopStatus ClaudeDesktopInstaller::status() const {
    ClaudeDesktopStatus status;
    status.claudeInstalled = isClaudeInstalled();
    const ReadResult read = readConfig(configFilePath());
    const Json* config = std::get_if<Json>(&read);
    if (!config) return status;
    const auto servers = config->find("mcpServers");
    if (servers == config->end() || !servers->is_object()) return status;
    const auto entry = servers->find(std::string(serverKey));
    if (entry == servers->end()) return status;
    status.registered = true;
    if (entry->is_object()) {
        const auto command = entry->find("command");
        status.registeredPathMatches =
            command != entry->end() && command->is_string() && command->get<std::string>() == bridgePath_.string();
    }
    return status;
}

std::optional<ClaudeDesktopError> ClaudeDesktopInstaller::install(const std::string& token, uint16_t port) const {
    using Kind = ClaudeDesktopError::Kind;
    if (!isClaudeInstalled()) return ClaudeDesktopError{Kind::claudeNotInstalled, {}};
    if (token.empty()) return ClaudeDesktopError{Kind::tokenMissing, {}};
    if (!isExecutableFile(bridgePath_)) return ClaudeDesktopError{Kind::bridgeBinaryMissing, bridgePath_.string()};

    // Claude Desktop found by its program but never started yet: its folder is made here, as it would.
    const fs::path folder = configDirectory();
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
            ec == std::errc::read_only_file_system) {
            return ClaudeDesktopError{Kind::accessDenied, {}};
        }
        if (ec) return ClaudeDesktopError{Kind::configWriteFailed, ec.message()};
    }
    if (!fs::is_directory(folder, ec) || ::access(folder.c_str(), R_OK | W_OK | X_OK) != 0) {
        return ClaudeDesktopError{Kind::accessDenied, {}};
    }

    const fs::path file = folder / kConfigFileName;
    ReadResult read = readConfig(file);
    if (const auto* failure = std::get_if<ReadFailure>(&read)) {
        return ClaudeDesktopError{Kind::configReadFailed, failure->description};
    }
    if (std::holds_alternative<InvalidContent>(read)) return ClaudeDesktopError{Kind::configInvalidJson, {}};
    Json& config = std::get<Json>(read);
    Json& servers = config["mcpServers"];
    if (servers.is_null()) servers = Json::object();
    // Replacing a "mcpServers" of another type would drop whatever the user keeps there.
    if (!servers.is_object()) return ClaudeDesktopError{Kind::configInvalidJson, {}};
    servers[std::string(serverKey)] = {
        {"command", bridgePath_.string()},
        {"env", {{"LMX_TOKEN", token}, {"LMX_PORT", std::to_string(port)}}},
    };

    // The file holds the token: a new file is private to the user; an existing one keeps its mode.
    fs::perms permissions = fs::perms::owner_read | fs::perms::owner_write;
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) permissions = static_cast<fs::perms>(info.st_mode & 07777);
    if (const auto error = writeFileAtomically(file, serialise(config), permissions)) {
        appLog("[mcp] " + error->message());
        return ClaudeDesktopError{Kind::configWriteFailed, error->code.message()};
    }
    appLog("[mcp] Claude Desktop registration written to " + file.string());
    return std::nullopt;
}

}  // namespace lumidex::mcp
