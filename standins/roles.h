// What the stand-in's roles share, for role rows kept outside standin.cpp.
#pragma once

#include <string>
#include <vector>

namespace standins {

// One started stand-in.
struct Context {
  std::string prefixRoot;  // empty: not on a prefix, nothing is recorded
  std::string image;       // the file name it was started as
  std::string show;        // VODA_SHOW, "-" when none was given
  std::string parameters;  // the parameters text as the starter gave it
  std::vector<std::string> args;  // the arguments after the program name
};

// Runs until SIGTERM or SIGINT, then records its end.
int RunUntilTerminated(const Context& context);
// Works a moment (moment_ms of the settings, 500 ms by default; cut short by SIGTERM or SIGINT), then
// records its end and ends.
int RunBriefly(const Context& context);

// Further image names (fnmatch patterns, ignoring case) for the roles of standin.cpp, by role name
// ("main", "popup", "brief", "until-terminated"). A pattern with a "/" is matched against the host path
// the program was started from ("*/Vendor/Product/uninst.exe"), so a common file name plays the role
// only in that folder. The rows live in extra_roles.cpp.
struct ExtraRole {
  const char* imagePattern;
  const char* roleName;
};
const std::vector<ExtraRole>& ExtraRoles();

}  // namespace standins
