// The program's resources as Windows itself reads them: the version block
// Explorer shows, the icon, and the portable resources found with
// FindResource.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "os/mo_catalogue.h"
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

// The manifest Windows reads before the program starts: the current common
// controls, per-monitor DPI awareness (V2, else V1), no elevation, Windows
// 7 to 11.  That Windows acts on it shows in the controls' library, which
// then comes from the side-by-side store rather than system32.
TEST(WindowsResources, TheManifestAsksForCommonControls6AndPerMonitorDpi) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                             SizeofResource(nullptr, found));
  for (const char* wanted :
       {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "<requestedExecutionLevel level=\"asInvoker\"",
        ">PerMonitorV2, PerMonitor</dpiAwareness>", ">true/pm</dpiAware>",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
        "version=\"1.0.2.2\""}) {
    EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
  }
  HMODULE controls = LoadLibraryW(L"comctl32.dll");
  ASSERT_NE(controls, nullptr);
  wchar_t path[MAX_PATH] = L"";
  GetModuleFileNameW(controls, path, MAX_PATH);
  std::wstring lower(path);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  EXPECT_NE(lower.find(L"winsxs"), std::wstring::npos) << "comctl32 from " << std::string(lower.begin(), lower.end());
  FreeLibrary(controls);
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

// Each language's catalogue is filed in its own LANGUAGE block, so that
// FindResourceEx with the user's display language finds it; English has
// none (its texts are the program's own).
TEST(WindowsResources, EachLanguagesCatalogueIsFiledUnderItsLanguage) {
  struct Language {
    WORD primary;
    const char* cancel;  // its word for Cancel, or nullptr for none
  };
  for (const Language language : {Language{LANG_GERMAN, "Abbrechen"}, Language{LANG_FRENCH, "Annuler"},
                                  Language{LANG_SPANISH, "Cancelar"}, Language{LANG_ENGLISH, nullptr}}) {
    HRSRC found = FindResourceExW(nullptr, L"DOTVANE_MO", MAKEINTRESOURCEW(1),
                                  MAKELANGID(language.primary, SUBLANG_NEUTRAL));
    if (language.cancel == nullptr) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    ASSERT_NE(found, nullptr) << language.primary;
    const void* data = LockResource(LoadResource(nullptr, found));
    const auto catalogue = os::i18n::MoCatalogue::Parse(
        {static_cast<const unsigned char*>(data), SizeofResource(nullptr, found)});
    ASSERT_TRUE(catalogue) << language.primary;
    EXPECT_STREQ(catalogue->Find("Cancel"), language.cancel);
  }
}

}  // namespace
