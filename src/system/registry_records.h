// The registry records of an installation: the product key, the entry in the system's list of
// installed programs (Uninstall), the autostart entry of the pop-up program (Run), and the assistant's
// own key, read for the download address and the installation folder.
//
// Every key lies below HKEY_LOCAL_MACHINE. The Downloader is a 32-bit program: every key but the Run
// key is opened without a view flag and so lies in the 32-bit view; the Run key is opened in the
// 64-bit view. Strings are REG_SZ whose data length is the text's length, without a terminating zero.
#pragma once

#include <cstdint>
#include <string>

#include "app/globals.h"

// "Software\Halvex\ZivIV\" + the alliance code: the assistant's own key (read only).
std::string ZivIvRegistryKey(const std::string& allianceCode);

// "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\" + the product name.
std::string UninstallRegistryKey(const BankProfile& profile = g_bankProfile);

// The Run key, opened in the 64-bit view.
constexpr const char kRunRegistryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// The Publisher value of the Uninstall entry.
constexpr const char kUninstallPublisher[] = "Corvane";

// The pop-up program the Run entry starts: installDir + "\QuillonPop_" + "%03x" of the bank id + ".exe".
std::string PopupProgramPath(const std::string& installDir, const BankProfile& profile = g_bankProfile);

// Reads a value of the assistant's key (ZivIvRegistryKey, KEY_READ) as text, up to its first zero
// byte. The empty text when the key or the value is missing or the value is longer than 260 bytes.
std::string ReadZivIvValue(const std::string& allianceCode, const std::string& valueName);

// What a completed run records.
struct RegistryRecords {
  std::string version;     // the version just installed
  std::string installDir;  // the installation folder, no trailing separator
  bool addAutoStart = false;  // the Run entry is written (it is deleted first in any case)
};

// Writes, in this order: the product key's Version, Path and BankID (skipped when the key cannot be
// created); the Uninstall entry's UninstallString, Publisher, DisplayName, DisplayVersion and
// DisplayIcon; then deletes the Run value named after the product and, with addAutoStart, sets it to
// the pop-up program's path. False when the Uninstall entry or the Run key cannot be created, or the
// Run value cannot be written; nothing of this is shown to the user.
bool WriteRegistryRecords(const RegistryRecords& records, const BankProfile& profile = g_bankProfile);
