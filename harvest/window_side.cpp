// SPDX-License-Identifier: GPL-2.0-or-later
// The channel block that both window sides show for a channel: labelled lines whose values
// line up in a monospaced face.
#include "harvest/window_side.h"

#include "text/text.h"

namespace {

const char kCountryLabel[] = "Country:    ";
const char kChannelLabel[] = "Channel:    ";
const char kBitrateLabel[] = "Bitrate:    ";
const char kCategoryLabel[] = "Category:   ";
const char kAboutLabel[] = "About:      ";
const char kStreamLabel[] = "Stream URL: ";
const char kHomepageLabel[] = "Homepage:   ";
static_assert(sizeof kCountryLabel - 1 == kBlockLabelWidth, "labels are padded alike");

}  // namespace

HarvestObserver::~HarvestObserver() = default;

std::array<std::string, kBlockLineCount> ChannelBlockLines(const ChannelRecord& record) {
  return {Concat(kCountryLabel, record.country),   Concat(kChannelLabel, record.channel),
          Concat(kBitrateLabel, record.bitrate),   Concat(kCategoryLabel, record.category),
          Concat(kAboutLabel, record.about),       Concat(kStreamLabel, record.streamUrl),
          Concat(kHomepageLabel, record.homepage), std::string()};
}
