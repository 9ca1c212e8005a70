// The program's resources as Windows itself reads them: the version block
// Explorer shows, the icon, and the portable resources found with
// FindResource.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "os/resources.h"
#include "ui/ui.h"

namespace {

// The portable readers, named before <windows.h> turns LoadString and
// VerQueryValue into macros.
std::string PortableString(int id) { return ui::LoadString(os::ResourceModule::Self(), id); }
std::optional<std::string> PortableVersionValue(const std::string& path) {
  return ui::VerQueryValue(os::ResourceModule::Self(), path);
}

}  // namespace

#include <windows.h>

namespace {

std::vector<unsigned char> OwnVersionInfo() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  DWORD ignored = 0;
  std::vector<unsigned char> info(GetFileVersionInfoSizeA(self, &ignored));
  if (info.empty() || !GetFileVersionInfoA(self, 0, static_cast<DWORD>(info.size()), info.data())) return {};
  return info;
}

std::string StringValue(std::vector<unsigned char>& info, const char* path) {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), path, &value, &length) || length == 0) return {};
  return static_cast<const char*>(value);
}

// The project's version (DOTVANE_VERSION, "major.minor.patch.tweak"), in
// the block's numbers and its texts alike.
TEST(WindowsResources, TheVersionBlockIsTheProjectsInUsEnglish) {
  unsigned part[4] = {};
  ASSERT_EQ(std::sscanf(DOTVANE_VERSION, "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]), 4) << DOTVANE_VERSION;
  auto info = OwnVersionInfo();
  ASSERT_FALSE(info.empty());
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwFileVersionMS, (part[0] << 16) | part[1]);
  EXPECT_EQ(fixed->dwFileVersionLS, (part[2] << 16) | part[3]);
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x409);
  EXPECT_EQ(static_cast<const WORD*>(value)[1], 1252);
  for (const char* key : {"FileVersion", "ProductVersion"}) {
    EXPECT_EQ(StringValue(info, (std::string("\\StringFileInfo\\040904e4\\") + key).c_str()), DOTVANE_VERSION) << key;
  }
  // The portable block the About box reads says the same.
  for (const char* key : {"ProductName", "ProductVersion", "LegalCopyright"}) {
    const std::string path = std::string("\\StringFileInfo\\040904e4\\") + key;
    EXPECT_EQ(PortableVersionValue(path), StringValue(info, path.c_str())) << key;
  }
}

TEST(WindowsResources, TheIconLoadsAtTheSizesWindowsAsksFor) {
  for (int size : {16, 32, 48}) {
    HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128), IMAGE_ICON, size, size, 0);
    EXPECT_NE(icon, nullptr) << size;
    if (icon != nullptr) DestroyIcon(static_cast<HICON>(icon));
  }
}

// What Self() gives is what FindResource finds, under the names the
// program asks for; templates and strings are read from there.
TEST(WindowsResources, SelfFindsThemWithFindResource) {
  const os::ResourceModule& self = os::ResourceModule::Self();
  const auto image = self.Find("BIN_UPDATE", "BIN");
  ASSERT_TRUE(image.has_value());
  HRSRC found = FindResourceA(nullptr, "BIN_UPDATE", "BIN");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(LockResource(LoadResource(nullptr, found)), image->data());
  EXPECT_EQ(SizeofResource(nullptr, found), image->size());

  for (int id : {100, 102, 129, 131}) {
    const auto dialog = ui::LoadDialogTemplate(self, id);
    ASSERT_TRUE(dialog.has_value()) << id;
  }
  EXPECT_EQ(PortableString(101), "&About Dotvane...");
  EXPECT_FALSE(self.Find("IIC_UPDATE", "IIC").has_value());
  EXPECT_FALSE(self.Find("#129", "STRING").has_value());
}

}  // namespace
