#include "os/mo_catalogue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct PluralCase {
  const char* expression;
  unsigned long n;
  std::optional<unsigned long> expected;
};

class EvaluatePlural : public testing::TestWithParam<PluralCase> {};

// The rules languages really have (German, French, Polish, Russian), and
// expressions a damaged catalogue could hold, which must be refused rather
// than crash or loop.
TEST_P(EvaluatePlural, FollowsCsOperatorsAndRefusesWhatIsNotAnExpression) {
  EXPECT_EQ(os::i18n::EvaluatePlural(GetParam().expression, GetParam().n), GetParam().expected)
      << GetParam().expression << " for " << GetParam().n;
}

constexpr char kPolish[] = "(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2)";
constexpr char kRussian[] =
    "(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2)";

INSTANTIATE_TEST_SUITE_P(
    Rules, EvaluatePlural,
    testing::Values(PluralCase{"(n != 1)", 1, 0}, PluralCase{"(n != 1)", 0, 1}, PluralCase{"(n > 1)", 0, 0},
                    PluralCase{"(n > 1)", 2, 1}, PluralCase{kPolish, 1, 0}, PluralCase{kPolish, 3, 1},
                    PluralCase{kPolish, 12, 2}, PluralCase{kPolish, 22, 1}, PluralCase{kRussian, 21, 0},
                    PluralCase{kRussian, 11, 2}, PluralCase{"!(n <= 1) + 0*n - 0", 5, 1}, PluralCase{"0", 7, 0},
                    PluralCase{"n +", 1, std::nullopt}, PluralCase{"(n", 1, std::nullopt},
                    PluralCase{"n % 0", 1, std::nullopt}, PluralCase{"n ? 1", 1, std::nullopt},
                    PluralCase{"n = 1", 1, std::nullopt}, PluralCase{"x", 1, std::nullopt},
                    PluralCase{"", 1, std::nullopt},
                    PluralCase{"((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((n))))))))))))))))))))))"
                               "))))))))))))))))))))))))))))))))))))))))))))))",
                               1, std::nullopt}));

#if defined(DOTVANE_TEST_LOCALEDIR)
std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The French catalogue of this build, as the Windows build carries it: its
// texts, and the plural rule of French (0 takes the singular), which differs
// from the English one the program would otherwise fall back to.
TEST(MoCatalogue, ReadsTheBuildsOwnCatalogueWithItsPluralRule) {
  const auto bytes = ReadFile(std::string(DOTVANE_TEST_LOCALEDIR) + "/fr/LC_MESSAGES/dotvane.mo");
  ASSERT_FALSE(bytes.empty());
  const auto catalogue = os::i18n::MoCatalogue::Parse(bytes);
  ASSERT_TRUE(catalogue);
  EXPECT_STREQ(catalogue->Find("Cancel"), "Annuler");
  EXPECT_EQ(catalogue->Find("a text no catalogue has"), nullptr);
  const char* one =
      "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes "
      "at most %1$s minute.";
  EXPECT_NE(std::string(catalogue->FindPlural(one, 0)).find("%1$s minute."), std::string::npos);
  EXPECT_NE(std::string(catalogue->FindPlural(one, 2)).find("%1$s minutes."), std::string::npos);

  // Cut anywhere, the catalogue is refused, never read past its end.
  for (std::size_t size : {std::size_t{0}, std::size_t{27}, bytes.size() / 2, bytes.size() - 1}) {
    EXPECT_FALSE(os::i18n::MoCatalogue::Parse({bytes.data(), size})) << size;
  }
}
#endif

}  // namespace
