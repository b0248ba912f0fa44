#include "system/registry_records.h"

#include <cstring>
#include <memory>

#include "app/bank_profile.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace {

// Values are read into a zero-filled buffer of this many bytes.
constexpr std::uint32_t kValueBufferBytes = 260;

// Sets a REG_SZ whose data length is the text's length (no terminating zero).
platform::Status SetText(platform::RegistryKey& key, const char* name, const std::string& text) {
  return key.SetValue(name, platform::kRegSz, text.data(), static_cast<std::uint32_t>(text.size()));
}

}  // namespace

std::string ZivIvRegistryKey(const std::string& allianceCode) {
  return "Software\\Halvex\\ZivIV\\" + allianceCode;
}

std::string UninstallRegistryKey(const BankProfile& profile) {
  return "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + profile.productName;
}

std::string PopupProgramPath(const std::string& installDir, const BankProfile& profile) {
  return installDir + "\\QuillonPop_" + BankIdValue(profile) + ".exe";
}

std::string ReadZivIvValue(const std::string& allianceCode, const std::string& valueName) {
  std::unique_ptr<platform::RegistryKey> key;
  if (!platform::Current().Reg().OpenKey(ZivIvRegistryKey(allianceCode), platform::kKeyRead, &key).ok()) {
    return std::string();
  }
  // One byte more than is read, so that a value filling the whole buffer still ends in a zero.
  char buffer[kValueBufferBytes + 1];
  std::memset(buffer, 0, sizeof buffer);
  std::uint32_t size = kValueBufferBytes;
  std::uint32_t type = 0;
  if (!key->QueryValue(valueName, &type, buffer, &size).ok()) return std::string();
  return std::string(buffer);
}

bool WriteRegistryRecords(const RegistryRecords& records, const BankProfile& profile) {
  platform::Registry& registry = platform::Current().Reg();

  std::unique_ptr<platform::RegistryKey> product;
  if (registry.CreateKey(ProductRegistryKey(profile), platform::kKeyAllAccess, &product).ok()) {
    (void)SetText(*product, "Version", records.version);
    (void)SetText(*product, "Path", records.installDir);
    (void)SetText(*product, "BankID", BankIdValue(profile));
    product.reset();
  }

  std::unique_ptr<platform::RegistryKey> uninstall;
  if (!registry.CreateKey(UninstallRegistryKey(profile), platform::kKeyAllAccess, &uninstall).ok()) return false;
  (void)SetText(*uninstall, "UninstallString", records.installDir + "\\" + profile.uninstallerName);
  (void)SetText(*uninstall, "Publisher", kUninstallPublisher);
  (void)SetText(*uninstall, "DisplayName", profile.productName);
  (void)SetText(*uninstall, "DisplayVersion", records.version);
  (void)SetText(*uninstall, "DisplayIcon", records.installDir + "\\" + profile.mainExeName);
  uninstall.reset();

  std::unique_ptr<platform::RegistryKey> run;
  if (!registry.CreateKey(kRunRegistryKey, platform::kKeyAllAccess | platform::kKeyWow64_64Key, &run).ok()) {
    return false;
  }
  (void)run->DeleteValue(profile.productName);
  if (records.addAutoStart &&
      !SetText(*run, profile.productName.c_str(), PopupProgramPath(records.installDir, profile)).ok()) {
    return false;
  }
  return true;
}
