#include "platform/posix/prefix.h"

#include <dirent.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/posix/host_file.h"

namespace platform::posix {
namespace {

const char kMachineIni[] = "machine.ini";
const char kRegistryHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

struct DriveTypeName {
  DriveType type;
  const char* name;
};
const DriveTypeName kDriveTypeNames[] = {
    {DriveType::kUnknown, "unknown"}, {DriveType::kRemovable, "removable"}, {DriveType::kFixed, "fixed"},
    {DriveType::kRemote, "remote"},   {DriveType::kCdRom, "cdrom"},         {DriveType::kRamDisk, "ramdisk"},
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool ParseUnsigned(const std::string& s, uint32_t max, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// A login name usable as a Windows user name, else "user".
std::string HostUserName() {
  const char* name = std::getenv("USER");
  std::string user;
  if (name != nullptr && *name != '\0') {
    user = name;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_name != nullptr) {
    user = pw->pw_name;
  }
  if (user.empty() || user.size() > 20) return "user";
  for (char c : user)
    if (!(IsLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-')) return "user";
  return user;
}

// A Windows path of the form "X:\..." (without trailing "\" unless it is the root).
bool IsAbsoluteWindowsPath(const std::string& p) {
  return p.size() >= 3 && IsLetter(p[0]) && p[1] == ':' && p[2] == '\\';
}

bool IsInvalidNameChar(unsigned char c) {
  return c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*';
}

// The entry of `folder` whose name equals `name` ignoring ASCII case; empty when none.
std::string FindCaseInsensitive(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
  if (dir == nullptr) return std::string();
  std::string found;
  while (dirent* e = ::readdir(dir)) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::string CurrentHostDirectory() {
  std::string buf(4096, '\0');
  while (::getcwd(&buf[0], buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

}  // namespace

Machine DefaultMachine(const std::string& userName) {
  Machine m;
  m.version.major = 6;
  m.version.minor = 2;
  m.version.build = 9200;
  m.version.platformId = 2;
  m.architecture = kArchitectureX64;
  m.screenWidth = 1920;
  m.screenHeight = 1080;
  m.userName = userName;
  m.drives.push_back(Drive{'C', DriveType::kFixed, "drive_c"});
  m.drives.push_back(Drive{'Z', DriveType::kFixed, "/"});
  m.commonDesktop = "C:\\Users\\Public\\Desktop";
  m.commonPrograms = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
  m.appData = "C:\\Users\\" + userName + "\\AppData\\Roaming";
  m.programFiles = "C:\\Program Files (x86)";
  m.temp = "C:\\Users\\" + userName + "\\AppData\\Local\\Temp";
  return m;
}

std::string FormatMachineIni(const Machine& m) {
  std::ostringstream out;
  out << "; The simulated Windows machine of this prefix.\n"
      << "; Version as reported to a 32-bit program without a compatibility declaration.\n"
      << "[version]\n"
      << "major = " << m.version.major << "\n"
      << "minor = " << m.version.minor << "\n"
      << "build = " << m.version.build << "\n"
      << "platform_id = " << m.version.platformId << "\n"
      << "service_pack =" << (m.version.servicePack.empty() ? "" : " ") << m.version.servicePack << "\n\n"
      << "[system]\n"
      << "architecture = " << (m.architecture == kArchitectureX86 ? "x86" : "x64") << "\n"
      << "screen_width = " << m.screenWidth << "\n"
      << "screen_height = " << m.screenHeight << "\n"
      << "user_name = " << m.userName << "\n\n"
      << "; letter = type host-folder (relative to the prefix, or absolute);\n"
      << "; types: unknown removable fixed remote cdrom ramdisk\n"
      << "[drives]\n";
  for (const Drive& d : m.drives) {
    const char* type = "unknown";
    for (const DriveTypeName& t : kDriveTypeNames)
      if (t.type == d.type) type = t.name;
    out << d.letter << " = " << type << " " << (d.hostRoot.empty() ? "/" : d.hostRoot) << "\n";
  }
  out << "\n; Special folders; program_files is the folder a 32-bit program is given.\n"
      << "[folders]\n"
      << "common_desktop = " << m.commonDesktop << "\n"
      << "common_programs = " << m.commonPrograms << "\n"
      << "app_data = " << m.appData << "\n"
      << "program_files = " << m.programFiles << "\n"
      << "temp = " << m.temp << "\n";
  return out.str();
}

bool ParseMachineIni(const std::string& text, const std::string& prefixRoot, Machine* machine,
                     std::string* error) {
  Machine m = DefaultMachine("user");
  bool userSeen = false;
  bool drivesSeen = false;
  std::map<std::string, bool> seen;
  std::string section;
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    *error = "machine.ini line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  if (text.find('\0') != std::string::npos) {
    *error = "machine.ini: not a text file";
    return false;
  }
  while (std::getline(in, raw)) {
    ++lineNo;
    if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw = raw.substr(3);  // saved by Notepad
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("unterminated section name");
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      if (section != "version" && section != "system" && section != "drives" && section != "folders")
        return fail("unknown section [" + section + "]");
      if (section == "drives" && !drivesSeen) {
        drivesSeen = true;
        m.drives.clear();
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    if (section.empty()) return fail("key outside a section");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    if (key.empty()) return fail("empty key");
    if (seen[section + "." + key]) return fail("duplicate key \"" + key + "\"");
    seen[section + "." + key] = true;
    uint32_t n = 0;
    if (section == "version") {
      if (key == "service_pack") {
        m.version.servicePack = value;
        continue;
      }
      uint32_t* target = key == "major"         ? &m.version.major
                         : key == "minor"       ? &m.version.minor
                         : key == "build"       ? &m.version.build
                         : key == "platform_id" ? &m.version.platformId
                                                : nullptr;
      if (target == nullptr) return fail("unknown key \"" + key + "\" in [version]");
      if (!ParseUnsigned(value, 0xFFFFFFFFu, target)) return fail("\"" + key + "\" is not a number");
    } else if (section == "system") {
      if (key == "architecture") {
        std::string v = Lower(value);
        if (v == "x86") {
          m.architecture = kArchitectureX86;
        } else if (v == "x64") {
          m.architecture = kArchitectureX64;
        } else {
          return fail("architecture must be x86 or x64");
        }
      } else if (key == "screen_width" || key == "screen_height") {
        if (!ParseUnsigned(value, 100000, &n) || n == 0) return fail("\"" + key + "\" is not a screen size");
        (key == "screen_width" ? m.screenWidth : m.screenHeight) = static_cast<int>(n);
      } else if (key == "user_name") {
        if (value.empty() || value.find_first_of("\\/:*?\"<>|") != std::string::npos)
          return fail("user_name is not a valid user name");
        m.userName = value;
        userSeen = true;
      } else {
        return fail("unknown key \"" + key + "\" in [system]");
      }
    } else if (section == "drives") {
      if (key.size() != 1 || !IsLetter(key[0])) return fail("a drive is named by one letter");
      size_t space = value.find_first_of(" \t");
      if (space == std::string::npos) return fail("a drive needs a type and a host folder");
      std::string type = Lower(value.substr(0, space));
      std::string host = Trim(value.substr(space));
      Drive d;
      d.letter = UpperLetter(key[0]);
      bool known = false;
      for (const DriveTypeName& t : kDriveTypeNames) {
        if (type == t.name) {
          d.type = t.type;
          known = true;
        }
      }
      if (!known) return fail("unknown drive type \"" + type + "\"");
      if (host.empty()) return fail("a drive needs a host folder");
      if (host[0] != '/') host = prefixRoot + "/" + host;
      // A blank before a final "/" ends the folder's name too, as it would when written back.
      while (host.size() > 1 && host.back() == '/') host = Trim(host.substr(0, host.size() - 1));
      d.hostRoot = host == "/" ? std::string() : host;
      m.drives.push_back(d);
    } else {  // folders
      std::string* target = key == "common_desktop"    ? &m.commonDesktop
                            : key == "common_programs" ? &m.commonPrograms
                            : key == "app_data"        ? &m.appData
                            : key == "program_files"   ? &m.programFiles
                            : key == "temp"            ? &m.temp
                                                       : nullptr;
      if (target == nullptr) return fail("unknown key \"" + key + "\" in [folders]");
      while (value.size() > 3 && value.back() == '\\') value = Trim(value.substr(0, value.size() - 1));
      if (!value.empty() && !IsAbsoluteWindowsPath(value))
        return fail("\"" + key + "\" is not an absolute Windows path (X:\\...)");
      if (!value.empty()) value[0] = UpperLetter(value[0]);
      *target = value;
    }
  }
  if (!drivesSeen) {
    for (Drive& d : m.drives)
      if (d.hostRoot == "drive_c") d.hostRoot = prefixRoot + "/drive_c";
  }
  for (Drive& d : m.drives)
    if (d.hostRoot == "/") d.hostRoot.clear();
  // Folders not named in the file follow the machine's architecture and user.
  if (!seen["folders.program_files"] && m.architecture == kArchitectureX86) m.programFiles = "C:\\Program Files";
  if (userSeen) {
    Machine forUser = DefaultMachine(m.userName);
    if (!seen["folders.app_data"]) m.appData = forUser.appData;
    if (!seen["folders.temp"]) m.temp = forUser.temp;
  }
  std::map<char, bool> letters;  // each letter once: a second one is a duplicate key above
  for (const Drive& d : m.drives) letters[d.letter] = true;
  for (const std::string* f : {&m.commonDesktop, &m.commonPrograms, &m.appData, &m.programFiles, &m.temp}) {
    if (!f->empty() && !letters[(*f)[0]]) {
      *error = "machine.ini: special folder " + *f + " lies on a drive the machine does not have";
      return false;
    }
  }
  *machine = m;
  return true;
}

std::string Prefix::DefaultRoot() {
  const char* prefix = std::getenv("VODA_PREFIX");
  if (prefix != nullptr && *prefix != '\0') return prefix;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/voda-prefix";
  const char* home = std::getenv("HOME");
  std::string base = (home != nullptr && *home != '\0') ? home : "";
  if (base.empty()) {
    const passwd* pw = ::getpwuid(::getuid());
    base = (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "/tmp";
  }
  return base + "/.local/share/voda-prefix";
}

bool Prefix::Open(const std::string& rootIn, std::unique_ptr<Prefix>* prefix, std::string* error) {
  if (rootIn.empty()) {
    *error = "the prefix folder is not named";
    return false;
  }
  std::string root = rootIn[0] == '/' ? rootIn : CurrentHostDirectory() + "/" + rootIn;
  if (int rc = MakeHostFolders(root); rc != 0) {
    *error = "cannot create the prefix " + root + ": " + std::strerror(rc);
    return false;
  }
  if (char* real = ::realpath(root.c_str(), nullptr)) {
    root = real;
    std::free(real);
  }
  std::string iniPath = root + "/" + kMachineIni;
  std::string text;
  int rc = ReadHostFile(iniPath, &text);
  bool newMachine = false;
  if (rc == ENOENT) {
    text = FormatMachineIni(DefaultMachine(HostUserName()));
    rc = CreateHostFileExclusive(iniPath, text, 0644);
    newMachine = rc == 0;
    if (rc == EEXIST) rc = ReadHostFile(iniPath, &text);  // another process made it first
  }
  if (rc != 0) {
    *error = "cannot read " + iniPath + ": " + std::strerror(rc);
    return false;
  }
  Machine machine;
  std::string why;
  if (!ParseMachineIni(text, root, &machine, &why)) {
    *error = root + "/" + why;
    return false;
  }
  std::unique_ptr<Prefix> p(new Prefix(root, machine));

  // What a machine has from the start: its run folder, an empty registry, drive C: and its folders.
  if (rc = MakeHostFolders(p->RunDir()); rc != 0) {
    *error = "cannot create " + p->RunDir() + ": " + std::strerror(rc);
    return false;
  }
  rc = CreateHostFileExclusive(p->RegistryFile(), kRegistryHeader, 0644);
  if (rc != 0 && rc != EEXIST) {
    *error = "cannot create " + p->RegistryFile() + ": " + std::strerror(rc);
    return false;
  }
  std::vector<std::string> folders = {machine.commonDesktop, machine.commonPrograms, machine.appData,
                                      machine.programFiles,  machine.temp,           "C:\\Windows\\System32"};
  if (p->Is64Bit()) folders.push_back("C:\\Program Files");
  // A new user profile has its Quick Launch folder; made once, with the machine, so that a machine
  // whose user removed it stays without one.
  if (newMachine && !machine.appData.empty()) {
    folders.push_back(machine.appData + "\\Microsoft\\Internet Explorer\\Quick Launch");
  }
  for (const std::string& f : folders) {
    std::string host;
    if (f.empty() || !p->ToHost(f, &host).ok()) continue;
    const Drive* d = p->FindDrive(f[0]);
    if (d == nullptr || d->hostRoot.empty() || d->hostRoot.compare(0, root.size(), root) != 0) continue;
    (void)MakeHostFolders(host);  // only inside the prefix; a folder that cannot be made is not an error
  }
  *prefix = std::move(p);
  return true;
}

const Drive* Prefix::FindDrive(char letter) const {
  char up = UpperLetter(letter);
  for (const Drive& d : machine_.drives)
    if (d.letter == up) return &d;
  return nullptr;
}

Status Prefix::ToHost(const std::string& windowsPath, std::string* hostPath) const {
  std::string path = windowsPath;
  if (path.find('\0') != std::string::npos) return Error::kInvalid;
  for (char& c : path)
    if (c == '/') c = '\\';
  if (path.compare(0, 4, "\\\\?\\") == 0) path = path.substr(4);  // the long-path form
  if (path.empty()) return Error::kNotFound;
  std::string absolute;
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') {
    absolute = path;
  } else if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    return Error::kInvalid;  // network names have no host
  } else {
    std::string cwd = ToWindows(CurrentHostDirectory());
    absolute = path[0] == '\\' ? cwd.substr(0, 2) + path : cwd + "\\" + path;
  }
  const Drive* drive = FindDrive(absolute[0]);
  if (drive == nullptr) return Error::kNotFound;

  std::vector<std::string> parts;
  size_t pos = 2;
  while (pos <= absolute.size()) {
    size_t next = absolute.find('\\', pos);
    if (next == std::string::npos) next = absolute.size();
    std::string part = absolute.substr(pos, next - pos);
    pos = next + 1;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    // Windows drops trailing dots and blanks of a name ("Bank. " is "Bank"); "." is this folder.
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    if (part.empty()) continue;
    for (unsigned char c : part)
      if (IsInvalidNameChar(c)) return Error::kInvalid;
    parts.push_back(part);
  }

  std::string host = drive->hostRoot;
  // Most paths name something that exists as written: one look at the whole path then gives what the
  // walk below would find, without a look per component.
  std::string whole = host;
  for (const std::string& part : parts) whole += "/" + part;
  struct stat st;
  if (!parts.empty() && ::lstat(whole.c_str(), &st) == 0) {
    *hostPath = std::move(whole);
    return Error::kOk;
  }
  bool existing = true;  // every component so far exists on the host
  for (const std::string& part : parts) {
    std::string exact = host + "/" + part;
    if (existing) {
      if (::lstat(exact.c_str(), &st) != 0) {
        std::string match = FindCaseInsensitive(host, part);
        if (match.empty()) {
          existing = false;
        } else {
          exact = host + "/" + match;
        }
      }
    }
    host = exact;
  }
  *hostPath = host.empty() ? "/" : host;
  return Error::kOk;
}

std::string Prefix::ToWindows(const std::string& hostPathIn) const {
  // Collapse repeated and trailing slashes.
  std::string host;
  for (char c : hostPathIn)
    if (!(c == '/' && !host.empty() && host.back() == '/')) host.push_back(c);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (host.empty() || host[0] != '/') host = "/" + host;

  const Drive* best = nullptr;
  for (const Drive& d : machine_.drives) {
    const std::string& r = d.hostRoot;
    bool under = r.empty() || host == r || (host.compare(0, r.size(), r) == 0 && host[r.size()] == '/');
    if (under && (best == nullptr || r.size() > best->hostRoot.size())) best = &d;
  }
  std::string rest;
  if (best != nullptr) {
    rest = host.substr(best->hostRoot.size());
  } else {
    rest = host;  // no drive holds the host root: answer as Z: would
  }
  for (char& c : rest)
    if (c == '/') c = '\\';
  if (rest.empty() || rest == "\\") rest = "\\";
  char letter = best != nullptr ? best->letter : 'Z';
  return std::string(1, letter) + ":" + rest;
}

}  // namespace platform::posix
