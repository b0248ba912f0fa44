// The registry below HKEY_LOCAL_MACHINE with the meaning of the advapi32 calls: keys opened or created
// with access rights and a registry view, values typed and kept with their exact data length.
//
// Key paths are relative to HKEY_LOCAL_MACHINE; "\" separates names, consecutive backslashes act as one
// (as the registry's cached lookup lets them), leading and trailing ones are ignored; no key has an
// empty name. Key and value names are compared ignoring case and keep the case they were created with.
// The caller is a 32-bit program: without a view flag it sees the 32-bit view, which on a 64-bit machine
// lies below "Software\Wow6432Node" for the redirected keys, as on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

// Access rights and view flags: the Windows values, so a caller writes what it would pass to Windows.
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kKeyWow64_64Key = 0x0100;
constexpr uint32_t kKeyWow64_32Key = 0x0200;

// Value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// An open key (HKEY); closed when destroyed. Every change is on disk when the call returns.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;

  // RegQueryValueExA. `name` empty is the default value. `type` may be null. With `data` null the
  // needed size is stored in *size and the call succeeds; with a buffer of *size bytes that is too small
  // the call fails with kMoreData, stores the needed size and the read fails (the buffer's content is
  // unspecified). Otherwise the exact stored bytes are copied (no terminating zero is added) and *size
  // is their count. kNotFound when the value does not exist or the key was deleted; kAccessDenied when
  // the key was not opened with kKeyQueryValue.
  virtual Status QueryValue(const std::string& name, uint32_t* type, void* data, uint32_t* size) = 0;

  // RegSetValueExA: stores exactly `size` bytes of `data` with the given type (a REG_SZ written without
  // its terminating zero stays so). kAccessDenied without kKeySetValue; kNotFound when the key was
  // deleted meanwhile; kIo when the store cannot be written (nothing changed then).
  virtual Status SetValue(const std::string& name, uint32_t type, const void* data, uint32_t size) = 0;

  // RegDeleteValueA: kNotFound when missing, kAccessDenied without kKeySetValue.
  virtual Status DeleteValue(const std::string& name) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // RegCreateKeyExA on HKEY_LOCAL_MACHINE (non-volatile, default security): opens the key, creating it
  // and every missing parent. `access` carries the rights and the view flag. `created` (may be null)
  // tells whether the key was new (REG_CREATED_NEW_KEY). kInvalid for an empty path.
  virtual Status CreateKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key,
                           bool* created = nullptr) = 0;

  // RegOpenKeyExA on HKEY_LOCAL_MACHINE: kNotFound when the key does not exist in the view.
  virtual Status OpenKey(const std::string& path, uint32_t access, std::unique_ptr<RegistryKey>* key) = 0;

  // RegDeleteKeyExA: deletes a key without subkeys (kAccessDenied when it has some, kNotFound when it
  // does not exist). `access` carries only the view flag.
  virtual Status DeleteKey(const std::string& path, uint32_t access) = 0;
};

}  // namespace platform
