// Image names that play a role of the table under a name of their own: the earlier assistant
// products' uninstallers, which work a moment and end like any uninstaller.
#include "standins/roles.h"

namespace standins {

const std::vector<ExtraRole>& ExtraRoles() {
  static const std::vector<ExtraRole> rows = {
      {"*/Halvex/HxGuard/uninst.exe", "brief"},
      {"*/LumenCheck/Uninstall.exe", "brief"},
  };
  return rows;
}

}  // namespace standins
