// The optional server-address file "serverip.dat" in the current directory: three lines that replace the
// update server's address parts of the bank profile.
#pragma once

#include <string>

#include "app/globals.h"

// Applies the file's text to the endpoint. Only the first three lines count: line 1 the base URL, line 2
// the text between base URL and request path, line 3 the version query's request path. Lines end with a
// line feed (a carriage return before it is dropped, as in a text-mode read); nothing is trimmed or
// validated; the last line may lack its line feed. False, with the endpoint unchanged, when the text has
// fewer than three lines.
bool ApplyServerAddress(const std::string& text, ServerEndpoint& server);

// Reads "serverip.dat" into g_server. File absent (or unreadable): the version query's default path, no
// path prefix, the bank profile's base URL stays; true. Present with fewer than three lines: false, and
// g_server is unchanged.
bool LoadServerAddress();
