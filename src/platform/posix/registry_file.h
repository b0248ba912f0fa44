// The registry store's text: HKEY_LOCAL_MACHINE in the Windows registry editor's format, version 5.00,
// in the system code page (UTF-8).
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Halvex]
//   "Text"="a REG_SZ whose data ends with one terminating zero"
//   "Exact"=hex(1):61,62          REG_SZ (or any type N) with exactly these bytes
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02
//   @="the key's default value"
//
// Every key is written as a section of its own, parents before children; long hex data may continue
// on the next line after a trailing backslash.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::posix {

struct RegValue {
  std::string name;  // as first written; compared ignoring case
  uint32_t type = 0;
  std::string data;  // the exact bytes
};

struct RegKeyNode {
  std::string name;  // as created; compared ignoring case
  std::vector<RegValue> values;
  std::map<std::string, std::unique_ptr<RegKeyNode>> children;  // by lower-case name

  RegKeyNode* Child(const std::string& name) const;
  RegKeyNode* AddChild(const std::string& name);
  RegValue* FindValue(const std::string& name);
  bool RemoveValue(const std::string& name);
};

// ASCII lower case, the registry's comparison.
std::string RegLower(const std::string& s);

// Parses the text into `root` (HKEY_LOCAL_MACHINE). False and a message naming the line when the text
// is not a registry file this store reads.
bool ParseRegistryFile(const std::string& text, RegKeyNode* root, std::string* error);

std::string FormatRegistryFile(const RegKeyNode& root);

}  // namespace platform::posix
