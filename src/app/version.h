// Version texts of the assistant ("1.0.18.916") as four numbers that compare component by component.
#pragma once

#include <cstdint>
#include <string>

// Major, minor, build and revision, compared as unsigned numbers in that order.
struct VersionQuad {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t revision = 0;
};

// Reads a version text in either of its two forms. Each piece is converted by the usual decimal rule
// (leading blanks skipped, an optional sign, the leading digits; 0 when there are none), so leading
// zeros do not matter and "1.0.18.0916" equals "1.0.18.916". A negative piece wraps to its unsigned value.
//  - With a dot: the pieces between the dots, in order; text after a fourth dot is ignored.
//  - Without a dot: read by position: major from the first character, minor from the second, build
//    from the third and fourth, revision from the fifth to the end ("10180916" gives 1, 0, 18, 916).
// A text of fewer than four characters yields 0.0.0.0, and a dotted text with fewer than three dots
// yields 0 for every piece it lacks ("1.0.18" is 1.0.18.0): the registry value is written from the
// server's "v", so both normally carry four parts, and a damaged text then never looks newer than it is.
VersionQuad ParseVersion(const std::string& text);

// Negative, zero or positive as `a` is older than, equal to or newer than `b`; the first unequal
// component decides.
int CompareVersions(const VersionQuad& a, const VersionQuad& b);

inline bool operator==(const VersionQuad& a, const VersionQuad& b) { return CompareVersions(a, b) == 0; }
inline bool operator!=(const VersionQuad& a, const VersionQuad& b) { return CompareVersions(a, b) != 0; }
