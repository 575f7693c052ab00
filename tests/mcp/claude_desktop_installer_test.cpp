// The Claude Desktop registration against configuration files in a private home: what is kept, what is
// written, and that a file the installer cannot understand is never touched.
#include "mcp/claude_desktop_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "support/temp_home.h"

namespace lumidex::mcp {
namespace {
namespace fs = std::filesystem;
using Json = nlohmann::json;
using Kind = ClaudeDesktopError::Kind;
using testing::readFile;
using testing::writeFile;

// Sets an environment variable for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (saved_) ::setenv(name_, saved_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

class ClaudeDesktopInstallerTest : public ::testing::Test {
protected:
    ClaudeDesktopInstallerTest() {
        writeFile(bridge, "#!/bin/sh\n");
        fs::permissions(bridge, fs::perms::owner_all);
    }

    void installClaude() { fs::create_directories(claudeFolder); }

    testing::ScopedHome home;
    // Nothing of the machine's own programs or desktop entries may count.
    ScopedVariable path{"PATH", (home.home() / "bin").string()};
    ScopedVariable dataDirs{"XDG_DATA_DIRS", (home.home() / "share").string()};
    const fs::path claudeFolder = home.configHome() / "Claude";
    const fs::path configFile = claudeFolder / "claude_desktop_config.json";
    const fs::path bridge = home.home() / "Lumidex/bin/lumidex-mcp";
    ClaudeDesktopInstaller installer{bridge};
};

TEST_F(ClaudeDesktopInstallerTest, RegistrationKeepsEverythingElseAndReplacesOnlyItsOwnEntry) {
    installClaude();
    const Json before = {
        {"globalShortcut", "Ctrl+Space"},
        {"mcpServers",
         {{"files", {{"command", "/usr/bin/files-mcp"}, {"args", {"--root", "/srv/data"}}}},
          {"lumidex", {{"command", "/old/place/lumidex-mcp"}, {"env", {{"LMX_TOKEN", "OLD"}}}, {"disabled", true}}}}},
        {"zeta", {{"nested/key", {1, 2.5, nullptr}}}},
    };
    writeFile(configFile, before.dump());
    EXPECT_EQ(installer.status().registered, true);
    EXPECT_EQ(installer.status().registeredPathMatches, false);

    ASSERT_FALSE(installer.install("TOKEN-1", 44478));

    Json expected = before;
    expected["mcpServers"]["lumidex"] = {{"command", bridge.string()},
                                         {"env", {{"LMX_TOKEN", "TOKEN-1"}, {"LMX_PORT", "44478"}}}};
    EXPECT_EQ(Json::parse(readFile(configFile)), expected);
    const ClaudeDesktopStatus status = installer.status();
    EXPECT_TRUE(status.claudeInstalled);
    EXPECT_TRUE(status.registered);
    EXPECT_TRUE(status.registeredPathMatches);

    // The application moved: still registered, but the entry names the old bridge.
    const ClaudeDesktopStatus moved = ClaudeDesktopInstaller(home.home() / "Moved/lumidex-mcp").status();
    EXPECT_TRUE(moved.registered);
    EXPECT_FALSE(moved.registeredPathMatches);
}

TEST_F(ClaudeDesktopInstallerTest, NewFileIsPrettySortedPrivateAndKeepsSlashesAsTheyAre) {
    // Found through its desktop entry but never started: the Claude folder does not exist yet.
    writeFile(home.dataHome() / "applications/claude-desktop.desktop", "[Desktop Entry]\n");
    ASSERT_TRUE(installer.isClaudeInstalled());
    ASSERT_FALSE(fs::exists(claudeFolder));

    ASSERT_FALSE(installer.install("T/K", 50123));

    const std::string text = readFile(configFile);
    EXPECT_EQ(text.find("\\/"), std::string::npos) << text;
    EXPECT_NE(text.find("\"command\": \"" + bridge.string() + "\""), std::string::npos) << text;
    EXPECT_LT(text.find("\"LMX_PORT\": \"50123\""), text.find("\"LMX_TOKEN\": \"T/K\"")) << text;
    EXPECT_LT(text.find("\"command\""), text.find("\"env\"")) << text;
    EXPECT_NE(text.find("\n    \"lumidex\": {\n"), std::string::npos) << "not indented: " << text;
    struct stat info {};
    ASSERT_EQ(::stat(configFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file holds the token";

    // Top-level keys of an existing file come out sorted as well.
    writeFile(configFile, R"({"zebra": 1, "alpha": {"b": 2, "a": 1}})");
    ASSERT_FALSE(installer.install("T", 1));
    const std::string resorted = readFile(configFile);
    EXPECT_LT(resorted.find("\"alpha\""), resorted.find("\"mcpServers\""));
    EXPECT_LT(resorted.find("\"mcpServers\""), resorted.find("\"zebra\""));
    EXPECT_LT(resorted.find("\"a\": 1"), resorted.find("\"b\": 2"));
}

TEST_F(ClaudeDesktopInstallerTest, ConfigurationThatIsNotAnObjectIsRefusedAndLeftUntouched) {
    installClaude();
    for (const std::string content : {"[]", "{\"mcpServers\": {", "", "null", "{\"mcpServers\": [\"x\"]}"}) {
        SCOPED_TRACE(content);
        writeFile(configFile, content);
        const auto error = installer.install("TOKEN", 44477);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind, Kind::configInvalidJson);
        EXPECT_EQ(readFile(configFile), content);
        EXPECT_FALSE(installer.status().registered);
    }

    // A file that exists but cannot be read is a read failure, not an empty configuration.
    fs::remove(configFile);
    fs::create_directories(configFile);
    const auto error = installer.install("TOKEN", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::configReadFailed);
    EXPECT_EQ(error->message(), "Could not read claude_desktop_config.json: Is a directory");
}

TEST_F(ClaudeDesktopInstallerTest, ChecksFailInOrderAndWriteNothing) {
    // Claude Code's `claude` command and a foreign desktop entry do not mean Claude Desktop.
    writeFile(home.home() / "bin/claude", "#!/bin/sh\n");
    fs::permissions(home.home() / "bin/claude", fs::perms::owner_all);
    writeFile(home.home() / "share/applications/claude-code.desktop", "[Desktop Entry]\n");
    fs::remove(bridge);
    auto error = installer.install("", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::claudeNotInstalled);
    EXPECT_EQ(error->message(), "Claude Desktop is not installed on this computer.");

    writeFile(home.home() / "bin/claude-desktop", "#!/bin/sh\n");
    fs::permissions(home.home() / "bin/claude-desktop", fs::perms::owner_all);
    ASSERT_TRUE(installer.isClaudeInstalled());
    error = installer.install("", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::tokenMissing);

    error = installer.install("TOKEN", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::bridgeBinaryMissing);
    EXPECT_EQ(error->message(), "The MCP bridge binary is missing at " + bridge.string() +
                                    ". Rebuild the app with the MCP bridge build phase.");
    writeFile(bridge, "not a program");
    fs::permissions(bridge, fs::perms::owner_read | fs::perms::owner_write);
    error = installer.install("TOKEN", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::bridgeBinaryMissing) << "a bridge that cannot be started is as good as none";
    EXPECT_FALSE(fs::exists(claudeFolder));

    // Something that is not a folder where the Claude folder belongs.
    fs::permissions(bridge, fs::perms::owner_all);
    writeFile(claudeFolder, "");
    error = installer.install("TOKEN", 44477);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, Kind::accessDenied);
    EXPECT_EQ(readFile(claudeFolder), "");
}

}  // namespace
}  // namespace lumidex::mcp
