// voda-release: the publisher's and operator's tool for sealed messages and signed manifests.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "crypto/codec.h"
#include "crypto/key_material.h"
#include "crypto/sealing.h"
#include "crypto/signed_file.h"
#include "server/publisher.h"
#include "server/release.h"

namespace {

const char kUsage[] =
    "usage: voda-release [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  seal             seal the plaintext read on standard input; writes the sealed text\n"
    "  unseal           open the sealed text read on standard input; writes the plaintext\n"
    "  sign IN OUT      write the signed form of manifest IN to OUT\n"
    "  verify FILE      exit 0 when the signature of FILE is valid, 1 otherwise\n"
    "  digest FILE      print the file digest of FILE (Base64 of its SHA-1)\n"
    "  publish SRC DEST --version V --url BASE --update N [--bank ID]...\n"
    "                   make the release folder DEST from the component files of SRC: files below\n"
    "                   SRC/bank go into the bank manifests, all others into Digest.xml. BASE is the\n"
    "                   download base URL of the answer (\"{base}\" stands for the server's own address);\n"
    "                   ID a bank id in hexadecimal (861 unless given; may be repeated)\n"
    "\n"
    "options (the build's keys by default):\n"
    "  --message-key FILE    the message key pair as an RSA private key PEM (seal, unseal)\n"
    "  --signing-key FILE    the manifest-signing private key PEM (sign)\n"
    "  --verify-key FILE     the manifest-signing public key PEM (verify)\n";

struct Options {
  std::string messageKeyFile;
  std::string signingKeyFile;
  std::string verifyKeyFile;
  std::string version;
  std::string url;
  std::string update;
  std::vector<std::string> banks;
  std::vector<std::string> args;
};

int Fail(const std::string& message) {
  std::cerr << "voda-release: " << message << "\n";
  return 1;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return false;
  text = all.str();
  return true;
}

std::string ReadStdin() {
  std::ostringstream all;
  all << std::cin.rdbuf();
  return all.str();
}

// Writes through a temporary file renamed into place, so OUT is never left half-written.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot write " + temporary;
      return false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + temporary;
      out.close();
      std::remove(temporary.c_str());
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::remove(temporary.c_str());
    error = "cannot write " + path + ": " + ec.message();
    return false;
  }
  return true;
}

bool LoadMessageKey(const Options& options, MessageKeyPair& pair, std::string& error) {
  if (options.messageKeyFile.empty()) {
    pair = BuildMessageKeyPair();
    return true;
  }
  std::string pem;
  if (!ReadFile(options.messageKeyFile, pem)) {
    error = "cannot read " + options.messageKeyFile;
    return false;
  }
  if (!MessageKeyPairFromPem(pem, pair, error)) {
    error = options.messageKeyFile + ": " + error;
    return false;
  }
  return true;
}

std::string TrimmedText(const std::string& text) {
  const char* space = " \t\r\n";
  const std::size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

int Seal(const Options& options) {
  MessageKeyPair pair;
  std::string error;
  if (!LoadMessageKey(options, pair, error)) return Fail(error);
  const std::string plaintext = ReadStdin();
  if (plaintext.empty()) return Fail("nothing to seal: the plaintext on standard input is empty");
  if (plaintext.size() > kMaxSealedPlaintext) {
    return Fail("the plaintext is too long to seal (at most " + std::to_string(kMaxSealedPlaintext) +
                " bytes)");
  }
  std::string sealed;
  if (!SealToString(pair, plaintext, sealed)) return Fail("sealing failed");
  std::cout << sealed << "\n";
  return std::cout.good() ? 0 : Fail("cannot write the sealed text");
}

int Unseal(const Options& options) {
  MessageKeyPair pair;
  std::string error;
  if (!LoadMessageKey(options, pair, error)) return Fail(error);
  const std::string text = TrimmedText(ReadStdin());
  if (text.size() > UINT32_MAX) return Fail("the sealed text is too long");
  std::vector<unsigned char> plaintext(text.size() + 1, 0);
  std::uint32_t capacity = static_cast<std::uint32_t>(text.size());
  if (UnsealMessage(pair, capacity, text.data(), plaintext.data(), &capacity) != 0) {
    return Fail("the sealed text does not open (damaged, not a sealed message, or sealed for another key)");
  }
  std::cout.write(reinterpret_cast<const char*>(plaintext.data()), capacity);
  return std::cout.good() ? 0 : Fail("cannot write the plaintext");
}

int Sign(const Options& options) {
  const std::string& in = options.args[1];
  const std::string& out = options.args[2];
  std::string key = BuildManifestSigningKey();
  if (!options.signingKeyFile.empty() && !ReadFile(options.signingKeyFile, key)) {
    return Fail("cannot read " + options.signingKeyFile);
  }
  std::string manifest;
  if (!ReadFile(in, manifest)) return Fail("cannot read " + in);
  std::string signedText;
  std::string error;
  if (!SignManifest(key, manifest, signedText, error)) return Fail(in + ": " + error);
  if (!WriteFileAtomically(out, signedText, error)) return Fail(error);
  return 0;
}

int Verify(const Options& options) {
  const std::string& path = options.args[1];
  std::string key = FileSignatureKey();
  if (!options.verifyKeyFile.empty() && !ReadFile(options.verifyKeyFile, key)) {
    return Fail("cannot read " + options.verifyKeyFile);
  }
  if (!VerifySignedFile(key.c_str(), path.c_str())) return Fail(path + ": signature not valid");
  std::cout << path << ": signature valid\n";
  return 0;
}

int Publish(const Options& options) {
  PublishRequest request;
  request.source = options.args[1];
  request.destination = options.args[2];
  if (options.version.empty() || options.url.empty() || options.update.empty()) {
    return Fail("publish needs --version, --url and --update");
  }
  request.version = options.version;
  request.url = options.url;
  request.update = options.update;
  for (const std::string& text : options.banks) {
    std::uint32_t id = 0;
    if (!ParseBankId(text, id) || id == 0 || id > 0xFFFF) {
      return Fail("--bank needs a bank id of one to four hexadecimal digits, such as 861");
    }
    request.banks.push_back(id);
  }
  if (request.banks.empty()) request.banks.push_back(0x861);
  request.signingKeyPem = BuildManifestSigningKey();
  if (!options.signingKeyFile.empty() && !ReadFile(options.signingKeyFile, request.signingKeyPem)) {
    return Fail("cannot read " + options.signingKeyFile);
  }
  std::string error;
  if (!PublishRelease(request, error)) return Fail(error);
  std::cout << "published " << request.version << " into " << request.destination << "\n";
  return 0;
}

int Digest(const Options& options) {
  const std::string& path = options.args[1];
  std::string content;
  if (!ReadFile(path, content)) return Fail("cannot read " + path);
  std::cout << ContentDigest(reinterpret_cast<const unsigned char*>(content.data()), content.size())
            << "\n";
  return 0;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string* target = nullptr;
    if (arg == "--message-key") target = &options.messageKeyFile;
    if (arg == "--signing-key") target = &options.signingKeyFile;
    if (arg == "--verify-key") target = &options.verifyKeyFile;
    if (arg == "--version") target = &options.version;
    if (arg == "--url") target = &options.url;
    if (arg == "--update") target = &options.update;
    if (arg == "--bank") {
      options.banks.emplace_back();
      target = &options.banks.back();
    }
    if (target != nullptr) {
      if (i + 1 >= argc) {
        error = arg + (arg.size() > 6 && arg.compare(arg.size() - 4, 4, "-key") == 0 ? " needs a file"
                                                                                      : " needs a value");
        return false;
      }
      *target = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && options.args.empty()) {
      error = "unknown option " + arg;
      return false;
    } else {
      options.args.push_back(arg);
    }
  }
  return true;
}

int RunTool(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::cerr << "voda-release: " << error << "\n" << kUsage;
    return 1;
  }
  struct Command {
    const char* name;
    std::size_t args;
    int (*run)(const Options&);
  };
  static const Command kCommands[] = {
      {"seal", 0, Seal}, {"unseal", 0, Unseal}, {"sign", 2, Sign}, {"verify", 1, Verify}, {"digest", 1, Digest},
      {"publish", 2, Publish},
  };
  if (options.args.empty()) {
    std::cerr << kUsage;
    return 1;
  }
  for (const Command& command : kCommands) {
    if (options.args[0] != command.name) continue;
    if (options.args.size() != command.args + 1) {
      std::cerr << "voda-release: " << command.name << " takes " << command.args << " argument(s)\n"
                << kUsage;
      return 1;
    }
    return command.run(options);
  }
  std::cerr << "voda-release: unknown command " << options.args[0] << "\n" << kUsage;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return RunTool(argc, argv);
  } catch (const std::exception& e) {
    return Fail(std::string("failed: ") + e.what());
  }
}
