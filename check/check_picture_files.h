// SPDX-License-Identifier: GPL-2.0-or-later
// The pictures of a check's live entries as files DIR/<position>.jpg (1 for the list's first
// entry): written into a folder of their own inside DIR as results come, moved into place once
// the outputs are written, so that a stopped check leaves DIR as it was.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class PictureFiles {
 public:
  // "" when pictures can be written in dir (a folder, made when missing), else why not.
  static std::string Problem(const std::string& dir);
  PictureFiles(const std::string& dir, size_t count);
  // Removes the folder of pictures not moved into place, whatever ended the check.
  ~PictureFiles();
  PictureFiles(const PictureFiles&) = delete;
  PictureFiles& operator=(const PictureFiles&) = delete;

  void Write(size_t index, const std::string& jpeg);  // index from 0
  // Moves the pictures into DIR, and removes DIR's pictures of the entries that have none this
  // time (they would show what no longer plays). "" or why it failed.
  std::string Commit();

 private:
  std::filesystem::path dir_;
  std::filesystem::path pending_;
  std::vector<bool> written_;
  std::string problem_;
};
