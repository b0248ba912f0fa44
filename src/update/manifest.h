// Digest manifests: the signed XML lists of component files the update server publishes, the file
// digest, and the rule that decides which listed files an update or repair run fetches again.
//
// A manifest names its entries in a `FileInfo` element; entry i takes its attributes (`Path`,
// `FileName`, `Digest`, UTF-8 text) from the i-th `File` element of the document. Paths are Windows
// paths of the platform layer; every file is read through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

// The three manifests of a bank.
enum ManifestKind : int {
  KindCommon = 1,     // "Digest.xml": files shared by every bank
  KindIfPresent = 2,  // "Digest_n.xml": files refreshed only where they are installed already
  KindBank = 3,       // "Digest_%0.3x.xml" of the bank id: files of this bank
};

// The manifest's file name for a kind; the empty text for any other number. A bank id of four or more
// hexadecimal digits keeps all its digits ("Digest_1a2b.xml").
std::string ManifestFileName(int kind, std::uint32_t bankId);

// Where one kind's manifest comes from and goes to. Neither base has a trailing separator.
struct ManifestLocations {
  std::string url;            // download base URL + "/" + file name
  std::string stagingPath;    // installation folder + "\DownLoad\" + file name
  std::string installedPath;  // installation folder + "\" + file name
};
ManifestLocations MakeManifestLocations(int kind, std::uint32_t bankId, const std::string& downloadBaseUrl,
                                        const std::string& installDir);

// One parsed document and the state of one element search.
class XmlReader {
 public:
  XmlReader();
  ~XmlReader();
  XmlReader(const XmlReader&) = delete;
  XmlReader& operator=(const XmlReader&) = delete;

  // The parsed document, or nullptr before a successful LoadXmlFile.
  const TiXmlDocument* Document() const { return m_document.get(); }

  int m_matchCount = 0;                    // matches counted by the last search
  const TiXmlElement* m_pFound = nullptr;  // element found by the last search, or nullptr

 private:
  friend bool ParseXmlText(const std::string& text, XmlReader& reader);
  std::unique_ptr<TiXmlDocument> m_document;
};

// Reads and parses the file at `path`. False when nothing exists there, it cannot be read (a folder),
// or the parser fails; the reader then holds no document.
bool LoadXmlFile(const std::string& path, XmlReader& reader);

// Parses a document held in memory, with the line ends and encoding detection of LoadXmlFile.
bool ParseXmlText(const std::string& text, XmlReader& reader);

// The n-th (from 1) element named exactly `name` in a depth-first pre-order walk that starts at the
// document's first top-level element and continues through its following top-level siblings; nullptr
// when there is none (or no document, or n < 1).
const TiXmlElement* FindElement(XmlReader& reader, const char* name, int n);

// The number of element children of the n-th element named `name`; 0 when there is no such element.
int CountEntries(XmlReader& reader, const char* name, int n);

// The named attribute of the n-th element named `elementName`, converted by Utf8ToAnsi; the empty text
// when the element or the attribute is missing or the text is not valid UTF-8.
std::string GetAttributeText(XmlReader& reader, const char* elementName, int n, const char* attributeName);

// UTF-8 to the system code page. The prefix's code page is UTF-8, so valid UTF-8 comes back unchanged;
// text that is not valid UTF-8 (a bad sequence, an overlong form, a surrogate, a code point above
// U+10FFFF) and the empty text give the empty text.
std::string Utf8ToAnsi(const std::string& text);

// The file digest: Base64 of the SHA-1 of the file's whole contents, read in pieces of 64 KiB and hashed
// in 4096-byte blocks, never loaded whole.
// False and the empty text when nothing exists at the path; true and the empty text when something
// exists but cannot be read (a folder, a file that may not be opened).
bool ComputeFileDigest(const std::string& path, std::string& digest);

// The file digest of bytes in memory, hashed in the same 4096-byte blocks.
std::string ComputeDataDigest(const std::string& data);

// The file digest of bytes that arrive in pieces of any size: the digest of all of them in order.
class DigestBuilder {
 public:
  DigestBuilder();
  ~DigestBuilder();
  DigestBuilder(const DigestBuilder&) = delete;
  DigestBuilder& operator=(const DigestBuilder&) = delete;

  void Add(const void* data, std::size_t size);
  // The digest of everything added, or the empty text when hashing failed; nothing may be added after.
  std::string Finish();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// True unless the file at `installedPath` has exactly `digest`; always true when it is missing or
// unreadable, also for an empty `digest`.
bool FileDigestDiffers(const std::string& installedPath, const std::string& digest);

// The attributes of one entry, as converted by Utf8ToAnsi.
struct ManifestEntry {
  std::string path;      // folder below the installation folder, "\" between levels; empty for the top
  std::string fileName;
  std::string digest;
};

// Every entry of the manifest at `path`: CountEntries(reader, "FileInfo", 1) entries, entry i read
// from the i-th `File` element (all empty when there are fewer `File` elements). Empty when the file
// cannot be loaded. Same result as GetAttributeText per entry, in one walk of the document.
std::vector<ManifestEntry> ReadManifestEntries(const std::string& path);
std::vector<ManifestEntry> ReadManifestEntries(XmlReader& reader);

// `Path` + "\" + `FileName`, or `FileName` alone when `Path` is empty.
std::string RelativeEntry(const ManifestEntry& entry);

// installDir + "\" + RelativeEntry(entry).
std::string InstalledFilePath(const std::string& installDir, const ManifestEntry& entry);

// False for an entry that could name a file outside the installation folder or a name Windows refuses:
// an empty `FileName`; a ".", ".." or other all-dots name in any level; an empty level (a leading,
// trailing or doubled separator, "/" counting as a separator too); a drive or stream colon; a wildcard
// or another character Windows does not allow in names; a control character. Such an entry is never
// read, compared or written.
bool IsSafeManifestEntry(const ManifestEntry& entry);

// The installed manifest of one kind, parsed once for a whole run of comparisons.
class InstalledManifest {
 public:
  InstalledManifest() = default;
  // Loads the manifest at `path`; one that cannot be loaded has no entries and is not loaded().
  explicit InstalledManifest(const std::string& path);

  // False when there was no installed manifest to load: nothing is then known about the installed
  // files, and each entry is judged by its file alone.
  bool loaded() const { return m_loaded; }

  // The installed-manifest lookup: the first entry whose `FileName` and `Path` equal the given ones
  // (exactly, case-sensitively) decides: false when its digest equals `digest`, true otherwise.
  // True when no entry matches.
  bool EntryChanged(const std::string& path, const std::string& fileName, const std::string& digest) const;

  const std::vector<ManifestEntry>& Entries() const { return m_entries; }

 private:
  std::vector<ManifestEntry> m_entries;
  std::unordered_map<std::string, std::size_t> m_index;  // folder and name -> first entry of them
  bool m_loaded = false;
};

// The same lookup, loading the installed manifest for this one question.
bool ManifestEntryChanged(const std::string& installedManifestPath, const std::string& path,
                          const std::string& fileName, const std::string& digest);

// Kind 2 only: true when the entry is to be skipped because nothing matches its installed file path
// (a find-first-file search on that exact path). False for the other kinds.
bool SkippedByPresenceFilter(int kind, const std::string& installedFilePath);

// The update decision for one entry of a fresh manifest in an update or repair run.
enum class EntryDecision {
  kSkip,     // installed and unchanged: nothing to fetch
  kQueue,    // its relative entry goes on the work list
  kRefused,  // the entry is unsafe (IsSafeManifestEntry): it fails like a file that cannot be fetched
};

// Applies the presence filter (kind 2), then: an installed file whose entry the installed manifest
// records unchanged and whose digest is the entry's is skipped; everything else is queued. The file's
// digest is computed only when the installed manifest records the entry unchanged, or when there is no
// installed manifest at all (then the file alone decides).
EntryDecision DecideUpdateEntry(int kind, const std::string& installDir, const ManifestEntry& entry,
                                const InstalledManifest& installed);
