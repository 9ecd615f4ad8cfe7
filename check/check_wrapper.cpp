// SPDX-License-Identifier: GPL-2.0-or-later
// Reads the entries of ASX (with libxml2's tolerant parser), M3U and PLS wrapper playlists.
#include "check/check_wrapper.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>
#include <libxml/uri.h>

#include <algorithm>
#include <memory>

#include "text/text.h"

namespace {

const char* const kAsxEntryElements[] = {"ref", "entryref"};
const char kAsxAddressAttribute[] = "href";
const char* const kPlsEntryKeys[] = {"file", "ref"};
const char kM3uComment = '#';
// libxml2's HTML parser in recover mode: it takes any element names, unclosed elements and
// the bare "&" that real ASX files put into addresses, where the XML parser drops text.
// Read as Latin-1, every byte is the character of its own value, so the text libxml2 gives back
// turns into the file's bytes again whatever encoding the file claims.
const char kAsxEncoding[] = "ISO-8859-1";
const char kHexDigits[] = "0123456789ABCDEF";
const int kParseOptions = HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NOERROR |
                          HTML_PARSE_NOWARNING | HTML_PARSE_NOBLANKS;

std::string XmlText(const xmlChar* text) {
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

bool IsAsxEntry(const xmlNode* node) {
  const std::string name = ToLowerCase(XmlText(node->name));
  for (const char* entry : kAsxEntryElements) {
    if (TextEquals(name, entry)) return true;
  }
  return false;
}

// The bytes of libxml2's UTF-8 for a Latin-1 document, bytes above 0x7F percent-encoded as
// they stand, as players request them.
std::string AsxAddressBytes(const std::string& utf8) {
  std::string address;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(utf8[i]);
    if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      byte = static_cast<unsigned char>(((byte & 0x03) << 6) | (utf8[++i] & 0x3F));
    }
    if (byte < 0x80) {
      address += static_cast<char>(byte);
    } else {
      address += Concat("%", std::string(1, kHexDigits[byte >> 4]), std::string(1, kHexDigits[byte & 0x0F]));
    }
  }
  return address;
}

// The href attribute, whatever its letter case.
std::string AsxAddress(const xmlNode* node) {
  for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
    if (!TextEquals(ToLowerCase(XmlText(attr->name)), kAsxAddressAttribute)) continue;
    xmlChar* value = xmlNodeListGetString(node->doc, attr->children, 1);
    std::string address = XmlText(value);
    xmlFree(value);
    return TrimSpaces(AsxAddressBytes(address));
  }
  return std::string();
}

void CollectAsxEntries(const xmlNode* node, std::vector<std::string>& entries) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (IsAsxEntry(node)) {
      std::string address = AsxAddress(node);
      if (!address.empty()) entries.push_back(address);
    }
    CollectAsxEntries(node->children, entries);
  }
}

std::vector<std::string> AsxEntries(const std::string& body) {
  std::vector<std::string> entries;
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
      htmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, kAsxEncoding, kParseOptions),
      xmlFreeDoc);
  if (doc) CollectAsxEntries(xmlDocGetRootElement(doc.get()), entries);
  return entries;
}

std::vector<std::string> Lines(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find_first_of("\r\n", start);
    if (end == std::string::npos) end = body.size();
    std::string line = TrimSpaces(body.substr(start, end - start));
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> M3uEntries(const std::string& body) {
  std::vector<std::string> entries;
  for (const std::string& line : Lines(body)) {
    if (line[0] != kM3uComment) entries.push_back(line);
  }
  return entries;
}

// "File1=address" or "Ref1=address": a key word, a number, "=".
std::vector<std::string> PlsEntries(const std::string& body) {
  std::vector<std::string> entries;
  for (const std::string& line : Lines(body)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = ToLowerCase(TrimSpaces(line.substr(0, equals)));
    for (const char* word : kPlsEntryKeys) {
      const std::string number = key.substr(std::min(key.size(), std::string(word).size()));
      if (StartsWith(key, word) && !number.empty() &&
          number.find_first_not_of("0123456789") == std::string::npos) {
        const std::string address = TrimSpaces(line.substr(equals + 1));
        if (!address.empty()) entries.push_back(address);
      }
    }
  }
  return entries;
}

}  // namespace

std::string AbsoluteAddress(const std::string& entry, const std::string& base) {
  xmlChar* built = xmlBuildURI(reinterpret_cast<const xmlChar*>(entry.c_str()),
                               reinterpret_cast<const xmlChar*>(base.c_str()));
  if (built == nullptr) return entry;
  std::string absolute = XmlText(built);
  xmlFree(built);
  return absolute;
}

std::vector<std::string> WrapperEntries(ContentKind kind, const std::string& body,
                                        const std::string& wrapperAddress) {
  std::vector<std::string> entries;
  if (kind == ContentKind::kAsx) entries = AsxEntries(body);
  if (kind == ContentKind::kM3u) entries = M3uEntries(body);
  if (kind == ContentKind::kPls) entries = PlsEntries(body);
  for (std::string& entry : entries) entry = AbsoluteAddress(entry, wrapperAddress);
  return entries;
}
