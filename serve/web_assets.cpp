// SPDX-License-Identifier: GPL-2.0-or-later
// The web page of serve, built in: serve/web/web.cmake turns serve/web/'s files into the
// byte arrays of web_assets_data.inc.
#include "serve/web_assets.h"

namespace {

#include "web_assets_data.inc"

// The bytes of a generated array, less the closing zero.
template <size_t N>
constexpr std::string_view Bytes(const char (&data)[N]) {
  return std::string_view(data, N - 1);
}

const WebAsset kAssets[] = {
    {"/", "text/html; charset=utf-8", Bytes(kWeb_index_html)},
    {"/app.js", "text/javascript; charset=utf-8", Bytes(kWeb_app_js)},
    {"/app.css", "text/css; charset=utf-8", Bytes(kWeb_app_css)},
};

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
  for (const WebAsset& asset : kAssets) {
    if (asset.path == path) return &asset;
  }
  return nullptr;
}
