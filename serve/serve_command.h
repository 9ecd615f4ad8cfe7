// SPDX-License-Identifier: GPL-2.0-or-later
// `morvek-cli serve`: the long-running program that keeps the channel list fresh in a
// database and serves playlists to players over HTTP. In morvek-check; morvek-cli hands it over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

const int64_t kMaxDurationSeconds = 366 * 86400;

// "90", "90s", "15m", "6h", "2d" as seconds from 1 to kMaxDurationSeconds; none otherwise.
std::optional<int64_t> ParseDuration(const std::string& text);

// The whole `serve` command; args are the arguments after "serve". Returns the exit code.
int RunServeCommand(const std::vector<std::string>& args);
