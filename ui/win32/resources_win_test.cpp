// SPDX-License-Identifier: GPL-2.0-or-later
// The resources linked into morvek.exe: the program's icon, the application manifest and
// the version block.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The built program as a Windows path (Wine maps the Unix root to drive Z:).
std::string ProgramPath() {
  std::string path = MORVEK_WINDOW_PROGRAM;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

TEST(ResourcesTest, ProgramCarriesItsIconAndManifest) {
  HMODULE program = LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(program, nullptr) << ProgramPath();
  HICON icon = LoadIconA(program, MAKEINTRESOURCEA(1));
  ASSERT_NE(icon, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAP colour{};
  ASSERT_NE(info.hbmColor, nullptr);
  GetObjectA(info.hbmColor, sizeof(colour), &colour);
  EXPECT_EQ(colour.bmWidth, 32);
  EXPECT_EQ(colour.bmHeight, 32);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  // The icon's own directory entry: one 32 x 32 image with 8 bits per pixel (256 colours).
  HRSRC group = FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  ASSERT_NE(group, nullptr);
  const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(program, group)));
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir[4], 1);   // image count
  EXPECT_EQ(dir[6], 32);  // width
  EXPECT_EQ(dir[7], 32);  // height
  EXPECT_EQ(dir[12], 8);  // bits per pixel
  EXPECT_NE(FindResourceA(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)), nullptr);
  FreeLibrary(program);
}

TEST(ResourcesTest, VersionBlockNamesTheBuildsVersion) {
  const std::string path = ProgramPath();
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_GT(size, 0u) << path;
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, &block[0]));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\ProductVersion", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), MORVEK_VERSION);
}

}  // namespace
