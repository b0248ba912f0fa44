#include "platform/posix/registry_file.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace platform::posix {
namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kRoot[] = "HKEY_LOCAL_MACHINE";
const uint32_t kRegSzType = 1;
const uint32_t kRegDwordType = 4;
const uint32_t kRegBinaryType = 3;

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += len;
  }
  return true;
}

// Text that can stand between quotes: printable, valid UTF-8, no zero.
bool Quotable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return false;
  return ValidUtf8(s);
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string HexBytes(const std::string& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
    if (i > 0) out.push_back(',');
    out += buf;
  }
  return out;
}

std::string FormatValue(const RegValue& v) {
  std::string line = v.name.empty() ? "@" : Quote(v.name);
  line.push_back('=');
  if (v.type == kRegSzType && !v.data.empty() && v.data.back() == '\0' &&
      Quotable(v.data.substr(0, v.data.size() - 1))) {
    return line + Quote(v.data.substr(0, v.data.size() - 1));
  }
  if (v.type == kRegDwordType && v.data.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<size_t>(i)]);
    char buf[20];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return line + buf;
  }
  if (v.type == kRegBinaryType) return line + "hex:" + HexBytes(v.data);
  char buf[24];
  std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
  return line + buf + HexBytes(v.data);
}

void FormatKey(const RegKeyNode& key, const std::string& path, std::string* out) {
  if (!path.empty()) {  // the root section is written only when it has values
    *out += "[" + path + "]\r\n";
    for (const RegValue& v : key.values) *out += FormatValue(v) + "\r\n";
    *out += "\r\n";
  }
  for (const auto& [lower, child] : key.children) {
    (void)lower;
    FormatKey(*child, (path.empty() ? std::string(kRoot) : path) + "\\" + child->name, out);
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string at s[*pos] (which is '"'); advances past the closing quote.
bool ReadQuoted(const std::string& s, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      c = s[++i];
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

bool ParseHexList(const std::string& s, std::string* out) {
  out->clear();
  size_t i = 0;
  auto skipBlank = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  skipBlank();
  if (i == s.size()) return true;
  for (;;) {
    skipBlank();
    if (i + 2 > s.size()) return false;
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
    skipBlank();
    if (i == s.size()) return true;
    if (s[i] != ',') return false;
    ++i;
  }
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

}  // namespace

std::string RegLower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

RegKeyNode* RegKeyNode::Child(const std::string& childName) const {
  auto it = children.find(RegLower(childName));
  return it == children.end() ? nullptr : it->second.get();
}

RegKeyNode* RegKeyNode::AddChild(const std::string& childName) {
  auto& slot = children[RegLower(childName)];
  if (!slot) {
    slot = std::make_unique<RegKeyNode>();
    slot->name = childName;
  }
  return slot.get();
}

RegValue* RegKeyNode::FindValue(const std::string& valueName) {
  std::string lower = RegLower(valueName);
  for (RegValue& v : values)
    if (RegLower(v.name) == lower) return &v;
  return nullptr;
}

bool RegKeyNode::RemoveValue(const std::string& valueName) {
  std::string lower = RegLower(valueName);
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (RegLower(it->name) == lower) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

bool ParseRegistryFile(const std::string& textIn, RegKeyNode* root, std::string* error) {
  std::string text = textIn;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text = text.substr(3);
  if (text.find('\0') != std::string::npos) {
    *error = "registry.reg: not a text file";
    return false;
  }
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    *error = "registry.reg line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  bool headerSeen = false;
  RegKeyNode* current = nullptr;
  while (std::getline(in, line)) {
    ++lineNo;
    line = TrimRight(line);
    if (line.empty() || line[0] == ';') continue;
    if (!headerSeen) {
      if (line != kHeader) return fail(std::string("expected \"") + kHeader + "\"");
      headerSeen = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') return fail("unterminated key name");
      std::string path = line.substr(1, line.size() - 2);
      if (!path.empty() && path[0] == '-') return fail("key deletions are not part of a store");
      size_t rootLen = std::strlen(kRoot);
      if (RegLower(path.substr(0, rootLen)) != RegLower(kRoot) ||
          (path.size() > rootLen && path[rootLen] != '\\'))
        return fail("only HKEY_LOCAL_MACHINE is kept");
      current = root;
      size_t pos = rootLen;
      while (pos < path.size()) {
        size_t next = path.find('\\', pos + 1);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(pos + 1, next - pos - 1);
        if (name.empty()) return fail("empty key name");
        current = current->AddChild(name);
        pos = next;
      }
      continue;
    }
    if (line[0] != '"' && line[0] != '@') return fail("expected a [key] or a \"value\"=data line");
    if (current == nullptr) return fail("value outside a key");
    RegValue value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, &pos, &value.name)) {
      return fail("unterminated value name");
    }
    if (pos >= line.size() || line[pos] != '=') return fail("expected = after the value name");
    std::string data = line.substr(pos + 1);
    if (!data.empty() && data[0] == '"') {
      size_t q = 0;
      if (!ReadQuoted(data, &q, &value.data) || q != data.size()) return fail("malformed string data");
      value.type = kRegSzType;
      value.data.push_back('\0');
    } else if (data.compare(0, 6, "dword:") == 0) {
      std::string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) return fail("malformed dword data");
      uint32_t n = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) return fail("malformed dword data");
        n = n * 16 + static_cast<uint32_t>(d);
      }
      value.type = kRegDwordType;
      for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
    } else if (data.compare(0, 3, "hex") == 0) {
      size_t colon = data.find(':');
      if (colon == std::string::npos) return fail("malformed hex data");
      std::string kind = data.substr(3, colon - 3);
      if (kind.empty()) {
        value.type = kRegBinaryType;
      } else {
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
          return fail("malformed hex type");
        uint32_t t = 0;
        for (size_t i = 1; i + 1 < kind.size(); ++i) {
          int d = HexDigit(kind[i]);
          if (d < 0) return fail("malformed hex type");
          t = t * 16 + static_cast<uint32_t>(d);
        }
        value.type = t;
      }
      std::string bytes = data.substr(colon + 1);
      while (!bytes.empty() && bytes.back() == '\\') {  // continued on the next line
        bytes.pop_back();
        std::string more;
        if (!std::getline(in, more)) return fail("hex data continues past the end");
        ++lineNo;
        bytes += TrimRight(more);
      }
      if (!ParseHexList(bytes, &value.data)) return fail("malformed hex data");
    } else {
      return fail("unknown data form");
    }
    if (RegValue* existing = current->FindValue(value.name)) {
      *existing = value;
    } else {
      current->values.push_back(value);
    }
  }
  return true;  // a file without any line is an empty registry
}

std::string FormatRegistryFile(const RegKeyNode& root) {
  std::string out = std::string(kHeader) + "\r\n\r\n";
  if (!root.values.empty()) {
    out += std::string("[") + kRoot + "]\r\n";
    for (const RegValue& v : root.values) out += FormatValue(v) + "\r\n";
    out += "\r\n";
  }
  FormatKey(root, std::string(), &out);
  return out;
}

}  // namespace platform::posix
