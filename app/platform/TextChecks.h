#pragma once

#include <string_view>

namespace kf::app {

// Checks on text that reaches a path, a URL or a source line from outside the program (the
// resource list, a product folder, the saved state). Pure functions; any thread.

// A file name on its own: not empty, at most 255 bytes, not "." or "..", no '/', no control
// bytes. UTF-8 names pass.
bool IsPlainName(std::string_view name);

// A host for an HTTP source line and its Host header: letters, digits, '.' and '-' (at most 253),
// optionally followed by ':' and a port 1..65535. No spaces, CR/LF, '@', '/' or brackets.
bool IsPlainHost(std::string_view host);

// A URL path of plain names: begins with '/', '/'-separated names made of letters, digits and
// -._~!$&'()*+,;=:@ (no '%', '?', '#', spaces or control bytes), none of them "." or "..", none
// empty but the one after a final '/'.
bool IsPlainUrlPath(std::string_view path);

// One name of such a path (no '/'), not empty.
bool IsPlainUrlName(std::string_view name);

// An "https://" address (or "http://" when `allow_http`) with a host and nothing but printable
// ASCII without spaces.
bool IsWebUrl(std::string_view url, bool allow_http);

}  // namespace kf::app
