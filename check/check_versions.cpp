// SPDX-License-Identifier: GPL-2.0-or-later
// The versions of the media and XML libraries the check runs with, read from the libraries
// themselves, so that --version names what is loaded rather than what was compiled against.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}
#include <libxml/parser.h>

#include <string>

#include "check/check_command.h"
#include "text/text.h"

namespace {

// libxml2 gives its version as one number, e.g. "20914" for 2.9.14.
const int kXmlMajorScale = 10000;
const int kXmlMinorScale = 100;

std::string AvVersion(const char* name, unsigned version) {
  return Concat(name, "/", NumberToText(static_cast<int>(AV_VERSION_MAJOR(version))), ".",
                NumberToText(static_cast<int>(AV_VERSION_MINOR(version))), ".",
                NumberToText(static_cast<int>(AV_VERSION_MICRO(version))));
}

std::string XmlVersion() {
  const int number = TextToNumber(xmlParserVersion);
  return Concat("libxml2/", NumberToText(number / kXmlMajorScale), ".",
                NumberToText(number / kXmlMinorScale % kXmlMinorScale), ".",
                NumberToText(number % kXmlMinorScale));
}

}  // namespace

std::string CheckLibraryVersions() {
  return Concat(AvVersion("libavformat", avformat_version()), " ",
                AvVersion("libavcodec", avcodec_version()), " ",
                AvVersion("libavutil", avutil_version()), " ", XmlVersion());
}
