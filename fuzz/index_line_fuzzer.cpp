// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzzes ParseIndexLine: any line is either no link or a link whose address lies under the
// site's country folder.
#include <string>

#include "fuzz/fuzz_target.h"
#include "harvest/index_parser.h"
#include "text/text.h"

namespace {
const char kBase[] = "http://site.test/";
const char kLinkPrefix[] = "<a class=\"rb\"";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Half of the inputs get the link prefix, so the fields behind it are reached often.
  std::string line(reinterpret_cast<const char*>(data), size);
  if (size > 0 && data[0] % 2 == 0) line = Concat(kLinkPrefix, line.substr(1));
  const std::optional<CountryLink> link = ParseIndexLine(line, kBase);
  FUZZ_CHECK(link.has_value() == StartsWith(line, kLinkPrefix));
  if (!link) return 0;
  FUZZ_CHECK(StartsWith(link->address, "http://site.test/television/"));
  FUZZ_CHECK(link->name.find('>') == std::string::npos);
  return 0;
}
