#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

#include "os/resources.h"
#include "ui/ui.h"

namespace {

using namespace std::literals;
using ui::Align;
using ui::ControlKind;

TEST(ParseDialogTemplate, ReadsEveryStatementKind) {
  const std::string_view text =
      "# comment line\r\n"
      "DIALOG 7 100 50   # trailing comment\r\n"
      "\n"
      "CAPTION \"Say \\\"hi\\\" \\\\ #not a comment\"\n"
      "FONT 9 \"Some Face\"\n"
      "STYLE MINIMIZEBOX APPWINDOW\n"
      "DEFPUSHBUTTON 1 \"&OK\" 1 2 3 4 TABSTOP\n"
      "PUSHBUTTON 2 \"Cancel\" 5 6 7 8\n"
      "LTEXT -1 \"\" 0 0 0 0\n"
      "CTEXT 10 \"c\" 0 0 1 1\n"
      "RTEXT 11 \"r\" 0 0 1 1 NOPREFIX TABSTOP\n"
      "ICON -1 \"128\" 0 0 20 20";  // no final line break
  std::string error;
  const auto dialog = ui::ParseDialogTemplate(text, &error);
  ASSERT_TRUE(dialog) << error;
  EXPECT_EQ(dialog->id, 7);
  EXPECT_EQ(dialog->title, "Say \"hi\" \\ #not a comment");
  EXPECT_EQ(dialog->font, "Some Face");
  EXPECT_EQ(dialog->pointSize, 9);
  EXPECT_FALSE(dialog->systemMenu);  // a STYLE line lists all the styles
  EXPECT_TRUE(dialog->minimizeBox);
  EXPECT_TRUE(dialog->appWindow);
  ASSERT_EQ(dialog->controls.size(), 6u);
  const auto& ok = dialog->controls[0];
  EXPECT_EQ(ok.kind, ControlKind::kDefPushButton);
  EXPECT_EQ(ok.text, "&OK");
  EXPECT_EQ((std::array{ok.x, ok.y, ok.cx, ok.cy}), (std::array{1, 2, 3, 4}));
  EXPECT_TRUE(ok.tabStop);
  EXPECT_FALSE(dialog->controls[1].tabStop);
  EXPECT_EQ(dialog->controls[2].id, -1);
  EXPECT_EQ(dialog->controls[3].align, Align::kCenter);
  EXPECT_EQ(dialog->controls[4].align, Align::kRight);
  EXPECT_TRUE(dialog->controls[4].noPrefix && dialog->controls[4].tabStop);
  EXPECT_EQ(dialog->controls[5].kind, ControlKind::kIcon);
}

TEST(ParseDialogTemplate, RefusesMalformedInputWithItsLine) {
  struct Case {
    std::string_view body;  // follows a valid first line
    std::string_view why;
  };
  const Case cases[] = {
      {"CAPTION title", "caption not quoted"},
      {"CAPTION \"open", "unterminated text"},
      {"CAPTION \"a\\n\"", "unknown escape"},
      {"CAPTION \"a\"b", "text glued to a word"},
      {"CAPTION \"a\"\nCAPTION \"b\"", "second caption"},
      {"FONT \"Face\"", "font size missing"},
      {"FONT 0 \"Face\"", "font size zero"},
      {"STYLE SYSMENU BORDER", "unknown style"},
      {"BUTTON 1 \"x\" 0 0 1 1", "unknown kind"},
      {"LTEXT 1 \"x\" 0 0 1", "too few numbers"},
      {"LTEXT 1 \"x\" 0 0 1 1 HIDDEN", "unknown flag"},
      {"LTEXT x \"x\" 0 0 1 1", "id not a number"},
      {"LTEXT -2 \"x\" 0 0 1 1", "id below -1"},
      {"LTEXT 1 \"x\" 0 -1 1 1", "negative position"},
      {"LTEXT 1 \"x\" 0 0 1 99999999999", "number out of range"},
      {"LTEXT 1 \"x\" 0 0 1 1x", "trailing junk in number"},
      {"LTEXT 1 x 0 0 1 1", "text not quoted"},
      {"LTEXT 5 \"a\" 0 0 1 1\nLTEXT 5 \"b\" 0 0 1 1", "duplicate id"},
      {"ICON -1 \"logo\" 0 0 1 1", "icon text not a number"},
      {"DIALOG 2 10 10", "second DIALOG"},
      {"LTEXT 1 \"a\0b\" 0 0 1 1"sv, "NUL in text"},
  };
  for (const Case& c : cases) {
    const std::string text = "DIALOG 1 10 10\n" + std::string(c.body);
    std::string error;
    EXPECT_FALSE(ui::ParseDialogTemplate(text, &error)) << c.why;
    EXPECT_TRUE(error.starts_with("line 2: ") || error.starts_with("line 3: ")) << c.why << ": " << error;
  }
  for (std::string_view text : {"", "# only a comment\n", "CAPTION \"x\"\nDIALOG 1 10 10", "DIALOG 0 10 10",
                                "DIALOG 1 0 10", "DIALOG 1 10"}) {
    EXPECT_FALSE(ui::ParseDialogTemplate(text, nullptr)) << text;  // a null error pointer is allowed
  }
}

TEST(ParseDialogTemplate, StopsAtTheGivenBytes) {
  // The resource's bytes are not NUL-terminated: whatever lies past the end
  // must not be read as part of the template.
  const std::string_view buffer = "DIALOG 1 10 10\nLTEXT 1 \"x\" 0 0 1 1 TABSTOP";
  const auto dialog = ui::ParseDialogTemplate(buffer.substr(0, buffer.size() - 8), nullptr);
  ASSERT_TRUE(dialog);
  EXPECT_FALSE(dialog->controls.at(0).tabStop);
}

const os::ResourceModule& Self() { return os::ResourceModule::Self(); }

struct Expected {
  int id;
  ControlKind kind;
  std::string_view text;
  std::array<int, 4> box;
  bool tabStop;
};

void ExpectControls(const ui::DialogTemplate& dialog, std::initializer_list<Expected> expected) {
  ASSERT_EQ(dialog.controls.size(), expected.size()) << dialog.id;
  std::size_t i = 0;
  for (const Expected& e : expected) {
    const ui::ControlTemplate& c = dialog.controls[i++];
    SCOPED_TRACE(std::to_string(dialog.id) + " control " + std::to_string(i));
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(c.text, e.text);
    EXPECT_EQ((std::array{c.x, c.y, c.cx, c.cy}), e.box);
    EXPECT_EQ(c.tabStop, e.tabStop);
  }
}

TEST(ShippedTemplates, MatchTheDialogsTheProgramShows) {
  const auto main = ui::LoadDialogTemplate(Self(), 102);
  ASSERT_TRUE(main);
  EXPECT_EQ(main->title, "Orvanta Braille Display Update Firmware");
  EXPECT_EQ((std::array{main->cx, main->cy}), (std::array{259, 79}));
  EXPECT_TRUE(main->systemMenu && main->minimizeBox && main->appWindow);
  EXPECT_EQ(main->font, "MS Shell Dlg");
  ExpectControls(*main, {{1000, ControlKind::kDefPushButton, "Update Firmware...", {79, 56, 90, 16}, true},
                         {2, ControlKind::kPushButton, "Exit", {202, 56, 50, 16}, true},
                         {1013, ControlKind::kText, "Static", {33, 17, 193, 28}, false}});

  const auto update = ui::LoadDialogTemplate(Self(), 129);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->title, "Firmware Update");
  EXPECT_EQ((std::array{update->cx, update->cy}), (std::array{186, 71}));
  EXPECT_TRUE(update->systemMenu);
  EXPECT_FALSE(update->minimizeBox || update->appWindow);
  ExpectControls(*update,
                 {{1011, ControlKind::kText, "DO NOT unplug Braille display during update!", {7, 15, 172, 8}, false},
                  {1004, ControlKind::kProgress, "Firmware written", {7, 29, 172, 10}, false},
                  {1002, ControlKind::kPushButton, "Start Download", {7, 50, 73, 14}, true},
                  {1003, ControlKind::kPushButton, "Cancel", {129, 50, 50, 14}, true}});
  EXPECT_EQ(update->controls.at(0).align, Align::kCenter);

  const auto plugIn = ui::LoadDialogTemplate(Self(), 131);
  ASSERT_TRUE(plugIn);
  EXPECT_EQ(plugIn->title, "Braille Display Not Found");
  EXPECT_EQ((std::array{plugIn->cx, plugIn->cy}), (std::array{186, 65}));
  ExpectControls(*plugIn, {{2, ControlKind::kPushButton, "Cancel", {65, 44, 50, 14}, true},
                           {1012, ControlKind::kText, "", {15, 7, 156, 27}, false}});

  const auto about = ui::LoadDialogTemplate(Self(), 100);
  ASSERT_TRUE(about);
  EXPECT_EQ(about->title, "About Dotvane");
  EXPECT_EQ((std::array{about->cx, about->cy}), (std::array{235, 55}));
  ExpectControls(*about, {{-1, ControlKind::kIcon, "128", {11, 17, 20, 20}, false},
                          {-1, ControlKind::kText, "Tavix Firmware Updater Version", {15, 7, 123, 8}, false},
                          {-1, ControlKind::kText, "Copyright (C) Orvanta", {40, 25, 129, 8}, false},
                          {1, ControlKind::kDefPushButton, "OK", {178, 7, 50, 16}, true},
                          {1001, ControlKind::kText, "0.0", {142, 7, 25, 8}, false}});
  EXPECT_EQ(about->controls.at(1).align, Align::kRight);
  EXPECT_TRUE(about->controls.at(1).noPrefix);

  EXPECT_FALSE(ui::LoadDialogTemplate(Self(), 101));  // a string, not a dialog
  EXPECT_TRUE(Self().Find("#128", "ICON"));
}

TEST(ShippedStrings, AboutItemAndVersionBlock) {
  EXPECT_EQ(ui::LoadString(Self(), 101), "&About Dotvane...");
  EXPECT_EQ(ui::LoadString(Self(), 102), "");
  EXPECT_EQ(ui::VerQueryValue(Self(), "\\StringFileInfo\\040904e4\\ProductVersion"), DOTVANE_VERSION);
  EXPECT_EQ(ui::VerQueryValue(Self(), "\\StringFileInfo\\040904e4\\CompanyName"), "Orvanta");
  EXPECT_FALSE(ui::VerQueryValue(Self(), "\\StringFileInfo\\040904b0\\ProductVersion"));
  EXPECT_FALSE(ui::VerQueryValue(Self(), "\\StringFileInfo\\040904e4\\Product"));  // no prefix match
}

TEST(Resources, MisfiledOrMissingOnesGiveNothing) {
  static constexpr std::string_view kDialog = "DIALOG 5 10 10\n";
  static constexpr std::string_view kString = "text\r\n\n";
  static constexpr std::string_view kVersion = "\\A=1\n\\B=x=y\r\n";
  const auto bytes = [](std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  const std::array<os::ResourceEntry, 4> table{{{"#6", "DIALOG", bytes(kDialog), kDialog.size()},
                                                {"#5", "DIALOG", bytes(kDialog), kDialog.size() - 3},
                                                {"#9", "STRING", bytes(kString), kString.size()},
                                                {"#1", "VERSION", bytes(kVersion), kVersion.size()}}};
  const os::ResourceModule module(table);
  EXPECT_FALSE(ui::LoadDialogTemplate(module, 6));  // says it is dialog 5
  EXPECT_FALSE(ui::LoadDialogTemplate(module, 5));  // cut short: "DIALOG 5 10"
  EXPECT_FALSE(ui::LoadDialogTemplate(module, 7));
  EXPECT_EQ(ui::LoadString(module, 9), "text\r\n");  // only one line break is dropped
  EXPECT_EQ(ui::VerQueryValue(module, "\\B"), "x=y");
  EXPECT_FALSE(ui::VerQueryValue(module, ""));

  const os::ResourceModule empty(std::span<const os::ResourceEntry>{});
  EXPECT_EQ(ui::LoadString(empty, 101), "");
  EXPECT_FALSE(ui::VerQueryValue(empty, "\\A"));
}

}  // namespace
