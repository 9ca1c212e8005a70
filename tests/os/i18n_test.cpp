#include "os/i18n.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#if defined(DOTVANE_TEST_LOCALEDIR)
#include <libintl.h>
#endif

namespace {

struct SubstituteCase {
  const char* format;
  const char* expected;
};

class Substitute : public testing::TestWithParam<SubstituteCase> {};

// A translation may put the values in any order; anything that is not %N$s
// with a value for N, or %%, stays as written rather than reading past the
// values given.
TEST_P(Substitute, PutsEachValueWhereItsNumberStands) {
  EXPECT_EQ(os::i18n::Substitute(GetParam().format, {"Orvanta", "5.71"}), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Substitute,
    testing::Values(SubstituteCase{"%1$s, version %2$s.", "Orvanta, version 5.71."},
                    SubstituteCase{"Version %2$s von %1$s", "Version 5.71 von Orvanta"},
                    SubstituteCase{"%1$s%1$s", "OrvantaOrvanta"}, SubstituteCase{"100%% %2$s", "100% 5.71"},
                    SubstituteCase{"%3$s %0$s %1$d %s %", "%3$s %0$s %1$d %s %"},
                    SubstituteCase{"%99999999999999999999$s", "%99999999999999999999$s"},
                    SubstituteCase{"%2$", "%2$"}, SubstituteCase{"", ""}));

// Without a catalogue (the C locale of the tests), every text is its English.
TEST(Translate, InTheCLocaleEveryTextIsItsEnglish) {
  const char* text = "Download Done";
  EXPECT_EQ(_(text), text);
  EXPECT_STREQ(os::i18n::TranslatePlural("%1$s minute", "%1$s minutes", 1), "%1$s minute");
  EXPECT_STREQ(os::i18n::TranslatePlural("%1$s minute", "%1$s minutes", 0), "%1$s minutes");
  EXPECT_EQ(os::i18n::Format("%1$s, %2$s Braille display", {"Orvanta", "Vantor 3"}), "Orvanta, Vantor 3 Braille display");
  EXPECT_EQ(os::i18n::ToSource("box \"Download Done\""), "box \"Download Done\"");
}

#if defined(DOTVANE_TEST_LOCALEDIR)
// With the German catalogue of this build: what a script in English must
// still find in a German line comes back as English, sentences built from
// several translated texts and mnemonic-free labels included.
TEST(Translate, GermanLinesTurnBackIntoTheirEnglish) {
  setenv("LANGUAGE", "de", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  os::i18n::Init();
  bindtextdomain(os::i18n::kDomain, DOTVANE_TEST_LOCALEDIR);

  EXPECT_STREQ(_("Cancel"), "Abbrechen");
  EXPECT_STREQ(_(""), "");  // not the catalogue's header
  const std::string identity = os::i18n::Format("%1$s, %2$s Braille display, current Firmware Version %3$s.",
                                                {"Orvanta", "Vantor 3", "5.60"});
  EXPECT_EQ(identity, "Orvanta, Vantor 3 Braille-Zeile, aktuelle Firmware-Version 5.60.");
  const char* one =
      "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes "
      "at most %1$s minute.";
  const char* many =
      "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes "
      "at most %1$s minutes.";
  EXPECT_NE(os::i18n::FormatPlural(one, many, 1, {"1"}).find("höchstens 1 Minute."), std::string::npos);
  EXPECT_NE(os::i18n::FormatPlural(one, many, 2, {"2"}).find("höchstens 2 Minuten."), std::string::npos);
  const std::string ready = _("Ready to update firmware.");
  _("&About Dotvane...");

  EXPECT_EQ(os::i18n::ToSource("text 1013 \"" + identity + " " + ready + "\""),
            "text 1013 \"Orvanta, Vantor 3 Braille display, current Firmware Version 5.60. Ready to update firmware.\"");
  EXPECT_EQ(os::i18n::ToSource("  menu 16 \"Über Dotvane...\""), "  menu 16 \"About Dotvane...\"");
  EXPECT_EQ(os::i18n::ToSource("Die Firmware wurde geschrieben. Warten, bis die Braille-Zeile mit ihrer neuen Firmware "
                               "neu gestartet ist. Das dauert höchstens 2 Minuten."),
            "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This "
            "takes at most 2 minutes.");

  unsetenv("LANGUAGE");
  setenv("LC_ALL", "C", 1);
  std::setlocale(LC_ALL, "C");
  EXPECT_STREQ(_("Cancel"), "Cancel");
}
#endif

}  // namespace
