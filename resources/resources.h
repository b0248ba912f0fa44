// The program's own resources, embedded into the binary and found by numeric id and type name, as a
// Windows program finds the resources of its module.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace resources {

// Type names of the resources this program carries.
inline constexpr std::string_view kTypePng = "PNG";        // a PNG stream
inline constexpr std::string_view kTypeBitmap = "BITMAP";  // a packed device-independent bitmap
inline constexpr std::string_view kTypeIcon = "ICON";      // an icon group, as the bytes of an .ico file

struct EmbeddedResource {
  int id;
  const char* type;
  const unsigned char* data;
  std::size_t size;
};

// A found resource: its bytes live as long as the program. Empty (data null) when there is none.
struct ResourceView {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  explicit operator bool() const { return data != nullptr; }
};

// Looks up the resource with this id and type name (the name compares without regard to case, as on
// Windows).
ResourceView FindResource(int id, std::string_view type);

// The string resource with this id, in the system code page; empty when there is none.
std::string LoadString(int id);

}  // namespace resources
