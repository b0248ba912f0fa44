// A release folder, as `voda-release publish` writes it and `update-server` serves it:
//
//   answer.json           the answer to the version query: a JSON object with the string members "v",
//                         "url" and "update" (other members are passed on as they are). In "url" the
//                         text {base} stands for the address of the listener that received the query,
//                         such as http://127.0.0.1:8080.
//   files/                everything below the answer's "url": the manifests Digest.xml and
//                         Digest_<bank id>.xml and the component files in their folders.
//
// The server answers the version query of every bank that has its bank manifest in files/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr const char kAnswerFileName[] = "answer.json";
constexpr const char kFilesFolderName[] = "files";
constexpr const char kCommonManifestName[] = "Digest.xml";
constexpr const char kBaseToken[] = "{base}";

// "Digest_%0.3x.xml": the bank id in lower-case hexadecimal, zero-padded to at least three digits.
std::string BankManifestName(std::uint32_t bankId);

// Reads a bank id given as hexadecimal digits (either case, at most eight, no prefix). False otherwise.
bool ParseBankId(const std::string& text, std::uint32_t& bankId);

// The segments of a request path: percent-decoded already, with "/" and "\" both separating folders,
// empty and "." segments dropped. False when a segment is "..", or holds a zero byte or a colon, so
// that no request can name anything outside the folder it is served from.
bool SplitRequestPath(const std::string& path, std::vector<std::string>& segments);

// The segments joined as "/a/b" ("/" for none): the form fault rules and the router compare.
std::string JoinedPath(const std::vector<std::string>& segments);

// The path part of a URL ("https://host:1/a/b" gives "/a/b", a URL without path gives ""); a text
// without "://" is taken as a path.
std::string UrlPath(const std::string& url);

class Release {
 public:
  // Loads the answer of the release folder `folder`. False with a message in `error` when the folder or
  // its answer is missing or damaged.
  bool Load(const std::string& folder, std::string& error);

  const std::string& FilesFolder() const { return m_filesFolder; }

  // The JSON text of the answer, with {base} in "url" replaced by `base`.
  std::string AnswerFor(const std::string& base) const;

  // The segments of the answer's "url" path: requests below it are served from files/.
  std::vector<std::string> UrlSegments(const std::string& base) const;

  // Whether the release serves bank `bankId` (its bank manifest is there).
  bool ServesBank(std::uint32_t bankId) const;

  // The regular file of files/ that `segments` (from SplitRequestPath, below the "url" path) name;
  // false when there is none or it would lie outside files/ (through a symbolic link, say).
  bool FindFile(const std::vector<std::string>& segments, std::string& file) const;

 private:
  std::string m_filesFolder;
  std::string m_answerJson;  // the object as stored, members in their order
  std::string m_url;
};
