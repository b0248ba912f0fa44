// voda-release publish: a release folder from a folder of component files.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include <json/json.h>

#include "crypto/codec.h"
#include "server/publisher.h"
#include "server/release.h"

namespace fs = std::filesystem;

namespace {

// The top-level folder of the source whose files belong to the bank manifests.
const char kBankFolderName[] = "bank";

struct SourceFile {
  std::vector<std::string> segments;  // below files/ of the release: folders, then the file name
  bool bank = false;
  fs::path from;  // the file in the source folder
};

bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t value;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      value = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (value < least[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// A name that Windows can hold and the manifest can carry: UTF-8, no character Windows forbids in a
// name, and no final dot or blank (Windows drops them, so the installed name would differ).
bool CheckName(const std::string& name, std::string& why) {
  if (!IsValidUtf8(name)) {
    why = "is not UTF-8";
    return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string("<>:\"/\\|?*").find(c) != std::string::npos) {
      why = "holds a character Windows does not allow in names";
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    why = "ends with a dot or a blank";
    return false;
  }
  return true;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}

std::string XmlAttribute(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool ReadBytes(const fs::path& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return false;
  content = all.str();
  return true;
}

bool WriteBytes(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.flush();
  return static_cast<bool>(out);
}

bool CheckRequest(const PublishRequest& request, std::string& error) {
  int parts = 0;
  bool digitSeen = false;
  for (char c : request.version + ".") {
    if (c == '.') {
      if (!digitSeen) break;
      ++parts;
      digitSeen = false;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      digitSeen = true;
    } else {
      parts = -1;
      break;
    }
  }
  if (parts != 4 || std::count(request.version.begin(), request.version.end(), '.') != 3) {
    error = "--version needs four dot-separated numbers, such as 1.2.3.4";
    return false;
  }
  if (request.update.empty() || request.update.size() > 9 ||
      request.update.find_first_not_of("0123456789") != std::string::npos) {
    error = "--update needs a decimal number (1 offer the update, 2 install it at once)";
    return false;
  }
  const std::string& url = request.url;
  const bool schemeOk = url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0 ||
                        url.compare(0, std::char_traits<char>::length(kBaseToken), kBaseToken) == 0;
  if (!schemeOk || url.find_first_of(" \t\r\n\"\\") != std::string::npos) {
    error = "--url needs an http:// or https:// URL (or one beginning with {base})";
    return false;
  }
  if (url.back() == '/') {
    error = "--url must not end with \"/\": the Downloader adds it";
    return false;
  }
  if (request.banks.empty()) {
    error = "no bank to publish for";
    return false;
  }
  return true;
}

bool CollectSource(const fs::path& source, std::vector<SourceFile>& files, std::string& error) {
  std::error_code ec;
  if (!fs::is_directory(source, ec)) {
    error = source.string() + ": no such folder";
    return false;
  }
  fs::recursive_directory_iterator it(source, fs::directory_options::none, ec);
  const fs::recursive_directory_iterator end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code statError;
    if (entry.is_directory(statError)) continue;
    const fs::path relative = entry.path().lexically_relative(source);
    if (!entry.is_regular_file(statError)) {
      error = relative.string() + ": not a regular file";
      return false;
    }
    SourceFile file;
    for (const fs::path& part : relative) file.segments.push_back(part.string());
    for (const std::string& segment : file.segments) {
      std::string why;
      if (!CheckName(segment, why)) {
        error = relative.string() + ": the name " + why;
        return false;
      }
    }
    if (file.segments.size() > 1 && file.segments[0] == kBankFolderName) {
      file.bank = true;
      file.segments.erase(file.segments.begin());
    }
    file.from = entry.path();
    files.push_back(std::move(file));
  }
  if (ec) {
    error = source.string() + ": cannot list: " + ec.message();
    return false;
  }
  return true;
}

bool CheckNoClash(const std::vector<SourceFile>& files, const std::vector<std::uint32_t>& banks,
                  std::string& error) {
  // Windows compares names without regard to case: two entries that differ only so are one file.
  std::set<std::string> seen;
  std::set<std::string> manifests = {AsciiLower(kCommonManifestName)};
  for (std::uint32_t bank : banks) manifests.insert(AsciiLower(BankManifestName(bank)));
  for (const SourceFile& file : files) {
    const std::string key = AsciiLower(Joined(file.segments, "/"));
    if (file.segments.size() == 1 && manifests.count(key)) {
      error = Joined(file.segments, "/") + ": a component file may not take the name of a manifest";
      return false;
    }
    if (!seen.insert(key).second) {
      error = Joined(file.segments, "/") + ": listed twice (names differ only in case, or both in " +
              std::string(kBankFolderName) + "/ and outside it)";
      return false;
    }
  }
  return true;
}

// A fresh folder beside `destination` that becomes the release when complete.
bool MakeWorkFolder(const fs::path& destination, fs::path& work, std::string& error) {
  const fs::path parent = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const fs::path candidate = parent / ("." + destination.filename().string() + ".publishing-" +
                                         std::to_string(getpid()) + "-" + std::to_string(random() % 1000000));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      work = candidate;
      return true;
    }
    if (ec && ec != std::errc::file_exists) {
      error = "cannot create a folder in " + parent.string() + ": " + ec.message();
      return false;
    }
  }
  error = "cannot create a folder in " + parent.string();
  return false;
}

bool WriteRelease(const PublishRequest& request, const std::vector<SourceFile>& files, const fs::path& work,
                  std::string& error) {
  const fs::path filesFolder = work / kFilesFolderName;
  std::error_code ec;
  fs::create_directory(filesFolder, ec);
  std::vector<PublishedEntry> common;
  std::vector<PublishedEntry> bank;
  for (const SourceFile& file : files) {
    fs::path target = filesFolder;
    for (const std::string& segment : file.segments) target /= segment;
    fs::create_directories(target.parent_path(), ec);
    // One file in memory at a time; the digest is that of the bytes written.
    std::string content;
    if (!ReadBytes(file.from, content)) {
      error = file.from.string() + ": cannot read";
      return false;
    }
    if (!WriteBytes(target, content)) {
      error = "cannot write " + target.string();
      return false;
    }
    PublishedEntry entry;
    entry.path = Joined(std::vector<std::string>(file.segments.begin(), file.segments.end() - 1), "\\");
    entry.fileName = file.segments.back();
    entry.digest =
        ContentDigest(reinterpret_cast<const unsigned char*>(content.data()), content.size());
    (file.bank ? bank : common).push_back(entry);
  }
  auto byLocation = [](const PublishedEntry& a, const PublishedEntry& b) {
    return a.path != b.path ? a.path < b.path : a.fileName < b.fileName;
  };
  std::sort(common.begin(), common.end(), byLocation);
  std::sort(bank.begin(), bank.end(), byLocation);

  auto writeManifest = [&](const std::string& name, const std::vector<PublishedEntry>& entries) {
    std::string signedText;
    if (!SignManifest(request.signingKeyPem, ManifestText(entries), signedText, error)) {
      error = name + ": " + error;
      return false;
    }
    if (!WriteBytes(filesFolder / name, signedText)) {
      error = "cannot write " + (filesFolder / name).string();
      return false;
    }
    return true;
  };
  if (!writeManifest(kCommonManifestName, common)) return false;
  for (std::uint32_t id : request.banks) {
    if (!writeManifest(BankManifestName(id), bank)) return false;
  }

  Json::Value answer(Json::objectValue);
  answer["v"] = request.version;
  answer["url"] = request.url;
  answer["update"] = request.update;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  if (!WriteBytes(work / kAnswerFileName, Json::writeString(builder, answer) + "\n")) {
    error = "cannot write " + (work / kAnswerFileName).string();
    return false;
  }
  return true;
}

}  // namespace

std::string ManifestText(const std::vector<PublishedEntry>& entries) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Digest>\r\n<FileInfo>\r\n";
  for (const PublishedEntry& entry : entries) {
    text += "<File Path=\"" + XmlAttribute(entry.path) + "\" FileName=\"" + XmlAttribute(entry.fileName) +
            "\" Digest=\"" + XmlAttribute(entry.digest) + "\"/>\r\n";
  }
  // The signature block goes between these two closing tags, outside FileInfo.
  text += "</FileInfo></Digest>\r\n";
  return text;
}

bool PublishRelease(const PublishRequest& request, std::string& error) {
  if (!CheckRequest(request, error)) return false;
  const fs::path destination(request.destination);
  std::error_code ec;
  if (fs::exists(destination, ec) && !(fs::is_directory(destination, ec) && fs::is_empty(destination, ec))) {
    error = request.destination + ": exists and is not an empty folder";
    return false;
  }
  const fs::path sourceReal = fs::weakly_canonical(request.source, ec);
  const fs::path destinationReal = fs::weakly_canonical(destination, ec);
  const std::string sourceText = sourceReal.string() + "/";
  if (destinationReal.string().compare(0, sourceText.size(), sourceText) == 0 || destinationReal == sourceReal) {
    error = request.destination + ": the release folder may not lie inside the source folder";
    return false;
  }
  std::vector<SourceFile> files;
  if (!CollectSource(request.source, files, error) || !CheckNoClash(files, request.banks, error)) return false;

  fs::path work;
  if (!MakeWorkFolder(destination, work, error)) return false;
  bool ok = WriteRelease(request, files, work, error);
  if (ok) {
    fs::rename(work, destination, ec);
    if (ec) {
      error = "cannot move the release into " + request.destination + ": " + ec.message();
      ok = false;
    }
  }
  if (!ok) fs::remove_all(work, ec);
  return ok;
}
