#include "update/manifest.h"

// The digest uses the SHA-1 calls of OpenSSL's classic interface, which OpenSSL 3 marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <tinyxml.h>

#include <cstdio>
#include <cstring>

#include "crypto/codec.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kDigestBlock = 4096;
constexpr std::size_t kBlocksPerRead = 16;  // a file is read 64 KiB at a time

platform::FileSystem& Files() { return platform::Current().Files(); }

// The walk of the element search over one sibling chain and everything below it.
const TiXmlElement* WalkChain(const TiXmlNode* node, const char* name, int n, int& counter) {
  for (; node != nullptr; node = node->NextSibling()) {
    if (const TiXmlElement* element = node->ToElement()) {
      if (std::strcmp(element->Value(), name) == 0 && ++counter == n) return element;
    }
    if (const TiXmlElement* found = WalkChain(node->FirstChild(), name, n, counter)) return found;
  }
  return nullptr;
}

// Every element named `name` in the walk's order, up to `limit` of them.
void CollectChain(const TiXmlNode* node, const char* name, std::size_t limit,
                  std::vector<const TiXmlElement*>& out) {
  for (; node != nullptr && out.size() < limit; node = node->NextSibling()) {
    if (const TiXmlElement* element = node->ToElement()) {
      if (std::strcmp(element->Value(), name) == 0) out.push_back(element);
    }
    CollectChain(node->FirstChild(), name, limit, out);
  }
}

int CountElementChildren(const TiXmlElement* element) {
  int count = 0;
  for (const TiXmlElement* child = element->FirstChildElement(); child != nullptr;
       child = child->NextSiblingElement()) {
    ++count;
  }
  return count;
}

std::string AttributeText(const TiXmlElement* element, const char* attributeName) {
  if (element == nullptr) return std::string();
  const char* value = element->Attribute(attributeName);
  return value == nullptr ? std::string() : Utf8ToAnsi(value);
}

ManifestEntry EntryOf(const TiXmlElement* element) {
  return ManifestEntry{AttributeText(element, "Path"), AttributeText(element, "FileName"),
                       AttributeText(element, "Digest")};
}

// Zero bytes after a text given to the parser (see ParseXmlText).
constexpr std::size_t kParserPadding = 16;

// Line ends as the parser's own file loader leaves them: "\r\n" and a lone "\r" become "\n".
std::string NormaliseLineEnds(const std::string& data) {
  std::string out;
  out.reserve(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
    } else {
      out.push_back(data[i]);
    }
  }
  return out;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// One level of a relative entry: not empty, not made of dots and blanks only (Windows drops trailing
// dots and blanks, so "..." or ". ." would name the folder itself or its parent), and only characters
// Windows allows in a name.
bool IsSafeLevel(const std::string& level) {
  if (level.empty()) return false;
  if (level.find_first_not_of(". ") == std::string::npos) return false;
  for (char ch : level) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return false;
    if (std::strchr("<>:\"|?*", c) != nullptr) return false;
  }
  return true;
}

}  // namespace

std::string ManifestFileName(int kind, std::uint32_t bankId) {
  switch (kind) {
    case KindCommon:
      return "Digest.xml";
    case KindIfPresent:
      return "Digest_n.xml";
    case KindBank: {
      char name[32];
      std::snprintf(name, sizeof name, "Digest_%.3x.xml", static_cast<unsigned>(bankId));
      return name;
    }
    default:
      return std::string();
  }
}

ManifestLocations MakeManifestLocations(int kind, std::uint32_t bankId, const std::string& downloadBaseUrl,
                                        const std::string& installDir) {
  const std::string name = ManifestFileName(kind, bankId);
  if (name.empty()) return ManifestLocations{};
  return ManifestLocations{downloadBaseUrl + "/" + name, installDir + "\\DownLoad\\" + name,
                           installDir + "\\" + name};
}

XmlReader::XmlReader() = default;
XmlReader::~XmlReader() = default;

bool ParseXmlText(const std::string& text, XmlReader& reader) {
  reader.m_document.reset();
  reader.m_matchCount = 0;
  reader.m_pFound = nullptr;
  auto document = std::make_unique<TiXmlDocument>();
  // The parser steps over a UTF-8 sequence by the length its lead byte claims, without looking for the
  // end of the text on the way: a text that ends inside a sequence (a cut or damaged manifest) would be
  // read past its end. Zero bytes after it keep every such step inside the buffer, where it stops.
  std::string normalised = NormaliseLineEnds(text);
  normalised.append(kParserPadding, '\0');
  document->Parse(normalised.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (document->Error()) return false;
  reader.m_document = std::move(document);
  return true;
}

bool LoadXmlFile(const std::string& path, XmlReader& reader) {
  std::string data;
  if (!Files().Exists(path) || !Files().ReadFile(path, &data).ok()) {
    (void)ParseXmlText(std::string(), reader);  // leaves the reader empty
    return false;
  }
  return ParseXmlText(data, reader);
}

const TiXmlElement* FindElement(XmlReader& reader, const char* name, int n) {
  reader.m_matchCount = 0;
  reader.m_pFound = nullptr;
  if (reader.Document() == nullptr || name == nullptr || n < 1) return nullptr;
  reader.m_pFound = WalkChain(reader.Document()->FirstChildElement(), name, n, reader.m_matchCount);
  return reader.m_pFound;
}

int CountEntries(XmlReader& reader, const char* name, int n) {
  const TiXmlElement* element = FindElement(reader, name, n);
  return element == nullptr ? 0 : CountElementChildren(element);
}

std::string GetAttributeText(XmlReader& reader, const char* elementName, int n, const char* attributeName) {
  if (attributeName == nullptr) return std::string();
  return AttributeText(FindElement(reader, elementName, n), attributeName);
}

std::string Utf8ToAnsi(const std::string& text) {
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      return std::string();  // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (size - i < length) return std::string();
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return std::string();
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) return std::string();
    if (code >= 0xD800 && code <= 0xDFFF) return std::string();
    if (code > 0x10FFFF) return std::string();
    i += length;
  }
  // The system code page is UTF-8: the checked text is already in it.
  return text;
}

struct DigestBuilder::State {
  SHA_CTX context{};
  bool ok = true;
  bool finished = false;
};

DigestBuilder::DigestBuilder() : m_state(std::make_unique<State>()) {
  m_state->ok = SHA1_Init(&m_state->context) == 1;
}

DigestBuilder::~DigestBuilder() = default;

void DigestBuilder::Add(const void* data, std::size_t size) {
  if (!m_state->ok || m_state->finished) {
    m_state->ok = false;
    return;
  }
  if (size > 0) m_state->ok = SHA1_Update(&m_state->context, data, size) == 1;
}

std::string DigestBuilder::Finish() {
  if (m_state->finished) return std::string();
  m_state->finished = true;
  unsigned char sha[SHA_DIGEST_LENGTH];
  if (SHA1_Final(sha, &m_state->context) != 1 || !m_state->ok) return std::string();
  char text[kDigestTextLength + 1];
  Base64Digest(sha, text);
  return std::string(text, kDigestTextLength);
}

std::string ComputeDataDigest(const std::string& data) {
  DigestBuilder builder;
  for (std::size_t offset = 0; offset < data.size(); offset += kDigestBlock) {
    const std::size_t block = data.size() - offset < kDigestBlock ? data.size() - offset : kDigestBlock;
    builder.Add(data.data() + offset, block);
  }
  return builder.Finish();
}

bool ComputeFileDigest(const std::string& path, std::string& digest) {
  digest.clear();
  // A file that opens exists; only a failed open needs the question whether something is there, which
  // keeps the common case to one lookup of the path.
  std::unique_ptr<platform::FileReader> reader;
  if (!Files().OpenForRead(path, &reader).ok()) return Files().Exists(path);
  // Read in pieces of several blocks (fewer calls into the file system for the small files most
  // components are), hashed block by block.
  DigestBuilder builder;
  constexpr std::size_t kPiece = kDigestBlock * kBlocksPerRead;
  const std::unique_ptr<unsigned char[]> piece(new unsigned char[kPiece]);
  for (;;) {
    std::size_t got = 0;
    if (!reader->Read(piece.get(), kPiece, &got).ok()) return true;  // unreadable: no digest
    for (std::size_t offset = 0; offset < got; offset += kDigestBlock) {
      builder.Add(piece.get() + offset, got - offset < kDigestBlock ? got - offset : kDigestBlock);
    }
    if (got < kPiece) break;  // a short piece is the end of the file
  }
  digest = builder.Finish();
  return true;
}

bool FileDigestDiffers(const std::string& installedPath, const std::string& digest) {
  // A missing or unreadable file has no digest; it differs even from an empty one.
  std::string computed;
  if (!ComputeFileDigest(installedPath, computed) || computed.empty()) return true;
  return computed != digest;
}

std::vector<ManifestEntry> ReadManifestEntries(const std::string& path) {
  XmlReader reader;
  if (!LoadXmlFile(path, reader)) return {};
  return ReadManifestEntries(reader);
}

std::vector<ManifestEntry> ReadManifestEntries(XmlReader& reader) {
  if (reader.Document() == nullptr) return {};
  const int count = CountEntries(reader, "FileInfo", 1);
  std::vector<const TiXmlElement*> files;
  CollectChain(reader.Document()->FirstChildElement(), "File", static_cast<std::size_t>(count), files);
  std::vector<ManifestEntry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    entries.push_back(static_cast<std::size_t>(i) < files.size() ? EntryOf(files[static_cast<std::size_t>(i)])
                                                                 : ManifestEntry{});
  }
  return entries;
}

std::string RelativeEntry(const ManifestEntry& entry) {
  return entry.path.empty() ? entry.fileName : entry.path + "\\" + entry.fileName;
}

std::string InstalledFilePath(const std::string& installDir, const ManifestEntry& entry) {
  return installDir + "\\" + RelativeEntry(entry);
}

bool IsSafeManifestEntry(const ManifestEntry& entry) {
  if (entry.fileName.empty()) return false;
  const std::string relative = RelativeEntry(entry);
  std::size_t start = 0;
  while (true) {
    std::size_t end = start;
    while (end < relative.size() && !IsSeparator(relative[end])) ++end;
    if (!IsSafeLevel(relative.substr(start, end - start))) return false;
    if (end == relative.size()) return true;
    start = end + 1;
  }
}

namespace {

// The index key of an entry: its folder and name, which cannot hold a zero byte, joined by one.
std::string EntryKey(const std::string& path, const std::string& fileName) {
  std::string key;
  key.reserve(path.size() + 1 + fileName.size());
  key.append(path).push_back('\0');
  key.append(fileName);
  return key;
}

}  // namespace

InstalledManifest::InstalledManifest(const std::string& path) {
  XmlReader reader;
  m_loaded = LoadXmlFile(path, reader);
  if (!m_loaded) return;
  m_entries = ReadManifestEntries(reader);
  m_index.reserve(m_entries.size());
  // emplace keeps the first entry of a folder and name: the first one decides.
  for (std::size_t i = 0; i < m_entries.size(); ++i) {
    m_index.emplace(EntryKey(m_entries[i].path, m_entries[i].fileName), i);
  }
}

bool InstalledManifest::EntryChanged(const std::string& path, const std::string& fileName,
                                     const std::string& digest) const {
  const auto found = m_index.find(EntryKey(path, fileName));
  return found == m_index.end() || m_entries[found->second].digest != digest;
}

bool ManifestEntryChanged(const std::string& installedManifestPath, const std::string& path,
                          const std::string& fileName, const std::string& digest) {
  return InstalledManifest(installedManifestPath).EntryChanged(path, fileName, digest);
}

bool SkippedByPresenceFilter(int kind, const std::string& installedFilePath) {
  if (kind != KindIfPresent) return false;
  std::vector<platform::DirEntry> found;
  return !Files().FindFiles(installedFilePath, &found).ok() || found.empty();
}

EntryDecision DecideUpdateEntry(int kind, const std::string& installDir, const ManifestEntry& entry,
                                const InstalledManifest& installed) {
  if (!IsSafeManifestEntry(entry)) return EntryDecision::kRefused;
  const std::string installedPath = InstalledFilePath(installDir, entry);
  if (SkippedByPresenceFilter(kind, installedPath)) return EntryDecision::kSkip;
  // A missing file is queued like a changed one: FileDigestDiffers is true for it, so it needs no
  // question of its own. Without an installed manifest (deleted, or never written) the file itself
  // tells whether it is current, so a lost manifest does not make the run fetch every file again.
  if (installed.loaded() && installed.EntryChanged(entry.path, entry.fileName, entry.digest)) {
    return EntryDecision::kQueue;
  }
  return FileDigestDiffers(installedPath, entry.digest) ? EntryDecision::kQueue : EntryDecision::kSkip;
}
