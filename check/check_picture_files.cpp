// SPDX-License-Identifier: GPL-2.0-or-later
// Pictures of a check written beside its outputs, named by the entry's position only: a
// name or address from the list never becomes part of a path.
#include "check/check_picture_files.h"

#include <fstream>
#include <random>
#include <system_error>

#include "text/text.h"

namespace {

const char kPendingPrefix[] = ".morvek-pictures-";
const char kPictureSuffix[] = ".jpg";
const int kPendingNameTries = 16;

std::string FileName(size_t index) { return Concat(std::to_string(index + 1), kPictureSuffix); }

}  // namespace

std::string PictureFiles::Problem(const std::string& dir) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(dir, error);
  if (status.type() == std::filesystem::file_type::not_found) {
    if (std::filesystem::create_directory(dir, error)) return "";
    return Concat("cannot make the folder ", dir, ": ", error.message());
  }
  if (status.type() != std::filesystem::file_type::directory)
    return Concat(dir, " is not a folder");
  return "";
}

PictureFiles::PictureFiles(const std::string& dir, size_t count)
    : dir_(dir), written_(count, false) {
  std::random_device random;
  for (int i = 0; i < kPendingNameTries && pending_.empty(); ++i) {
    const std::filesystem::path path = dir_ / Concat(kPendingPrefix, std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(path, error)) pending_ = path;
    if (error) problem_ = Concat("cannot make a folder in ", dir, ": ", error.message());
  }
  if (!pending_.empty()) problem_.clear();
}

PictureFiles::~PictureFiles() {
  std::error_code ignored;
  if (!pending_.empty()) std::filesystem::remove_all(pending_, ignored);
}

void PictureFiles::Write(size_t index, const std::string& jpeg) {
  if (!problem_.empty() || pending_.empty() || index >= written_.size()) return;
  const std::filesystem::path path = pending_ / FileName(index);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(jpeg.data(), static_cast<std::streamsize>(jpeg.size()));
  file.close();
  if (!file) {
    problem_ = Concat("cannot write ", path.string());
    return;
  }
  written_[index] = true;
}

std::string PictureFiles::Commit() {
  if (!problem_.empty()) return problem_;
  for (size_t i = 0; i < written_.size(); ++i) {
    std::error_code error;
    const std::filesystem::path target = dir_ / FileName(i);
    if (written_[i]) {
      std::filesystem::rename(pending_ / FileName(i), target, error);
    } else if (std::filesystem::is_regular_file(std::filesystem::symlink_status(target, error))) {
      std::filesystem::remove(target, error);
    } else {
      error.clear();  // nothing there, or not a picture of ours (a link, a folder): left alone
    }
    if (error) return Concat("cannot put ", target.string(), " in place: ", error.message());
  }
  return "";
}
