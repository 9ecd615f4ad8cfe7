// SPDX-License-Identifier: GPL-2.0-or-later
// The web page of `serve`: HTML, CSS and script built into the program.
#pragma once
#include <string_view>
struct WebAsset {
  std::string_view path;         // "/", "/app.js", "/app.css"
  std::string_view contentType;  // "text/html; charset=utf-8", ...
  std::string_view body;
};
// The asset served at path, or nullptr.
const WebAsset* FindWebAsset(std::string_view path);
// The Content-Security-Policy header every answer of serve carries.
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
