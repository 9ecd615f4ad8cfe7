// A stand-in page at "/" until the web page of serve is built in: it names the endpoints.
#include "serve/web_assets.h"

namespace {

const WebAsset kAssets[] = {
    {"/", "text/html; charset=utf-8",
     "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Morvek</title></head><body>\n"
     "<h1>Morvek</h1>\n<ul><li><a href=\"/playlist.m3u\">/playlist.m3u</a></li>\n"
     "<li><a href=\"/channels.json\">/channels.json</a></li>\n"
     "<li><a href=\"/status.json\">/status.json</a></li></ul>\n</body></html>\n"},
};

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
  for (const WebAsset& asset : kAssets) {
    if (asset.path == path) return &asset;
  }
  return nullptr;
}
