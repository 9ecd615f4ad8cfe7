// SPDX-License-Identifier: GPL-2.0-or-later
// The rules for outputs: two outputs on one file or both on stdout clash, and what a save
// would refuse is refused before any work begins.
#include "cli/outputs.h"

#include <filesystem>
#include <system_error>

#include "base/file_replace.h"
#include "harvest/channel_export.h"
#include "text/text.h"

namespace {

const char kStdoutPlace[] = "standard output";
const char kNoFolder[] = "the folder does not exist";

// The file a save at path would replace, resolved as far as it exists.
std::filesystem::path ResolvedPath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(FindSaveTarget(path).path, error);
  if (error) return std::filesystem::path(path);
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
  return error ? absolute.lexically_normal() : resolved;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error)) return true;
  return ResolvedPath(a) == ResolvedPath(b);
}

std::string OutputClash(const std::vector<NamedOutput>& outputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      const NamedOutput& a = outputs[i];
      const NamedOutput& b = outputs[j];
      const bool aStdout = TextEquals(a.path, kStandardOutputName);
      const bool bStdout = TextEquals(b.path, kStandardOutputName);
      if (aStdout && bStdout) {
        return Concat(a.option, " and ", b.option, " would both write to ", kStdoutPlace);
      }
      if (!aStdout && !bStdout && SameFile(a.path, b.path)) {
        return Concat(a.option, " and ", b.option, " name the same file ", b.path);
      }
      if (aStdout != bStdout && StdoutIsFile(aStdout ? b.path : a.path)) {
        return Concat(a.option, " and ", b.option, " would both write to ",
                      aStdout ? b.path : a.path, ", which is ", kStdoutPlace);
      }
    }
  }
  return std::string();
}

std::string OutputTargetRefusal(const std::vector<NamedOutput>& outputs) {
  for (const NamedOutput& output : outputs) {
    if (TextEquals(output.path, kStandardOutputName)) continue;
    const SaveTarget target = FindSaveTarget(output.path);
    std::string refusal = target.refusal;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(target.path).parent_path();
    if (refusal.empty() && !folder.empty() && !std::filesystem::is_directory(folder, error)) {
      refusal = kNoFolder;
    }
    if (!refusal.empty()) return Concat(output.option, " ", output.path, ": ", refusal);
  }
  return std::string();
}
