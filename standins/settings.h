// What a test asks of the stand-ins of one prefix: <prefix>/standin.cfg, one "key=value" a line (a later
// line of a key wins; lines without "=" are ignored). Every stand-in reads it when it starts, so a test
// writes it before it starts the programs it concerns.
//
//   moment_ms=500            how long a brief program (an uninstaller, msiexec.exe, a runtime installer)
//                            works before it ends by itself
//   hang_t=ZivIV_861.exe     image names (comma-separated, ignoring case; "*" for every one) whose "-t"
//                            never makes the running instance quit and never ends by itself
//   popup_answer=yes         how the pop-up program answers a command: "yes" or "no" sets the command's
//                            "_Yes" or "_No" event, "none" (the default) answers nothing
//   role:OldUninst.exe=brief plays that image name in a role of the table: "main", "popup", "brief",
//                            "until-terminated"
#pragma once

#include <string>

namespace standins {

constexpr const char* kSettingMomentMs = "moment_ms";
constexpr const char* kSettingHangQuit = "hang_t";
constexpr const char* kSettingPopupAnswer = "popup_answer";
constexpr const char* kSettingRolePrefix = "role:";

std::string SettingsPath(const std::string& prefixRoot);

// The value of a key, or the fallback when the file or the key is missing.
std::string ReadSetting(const std::string& prefixRoot, const std::string& key, const std::string& fallback);

// Appends "key=value" (which overrides an earlier value). False when the file cannot be written or the
// key or the value holds a line end or the key an "=".
bool WriteSetting(const std::string& prefixRoot, const std::string& key, const std::string& value);

}  // namespace standins
