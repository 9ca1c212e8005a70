// A gettext catalogue (.mo, as msgfmt writes it) read from memory: how the
// Windows build finds its translations, which it carries as resources, one
// per language, since Windows has no gettext of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace os::i18n {

class MoCatalogue {
 public:
  // Nothing when the bytes are not a whole catalogue.  The bytes must
  // outlive the catalogue (a resource does: it is mapped with the program).
  static std::optional<MoCatalogue> Parse(std::span<const unsigned char> bytes);

  // The translation of msgid, or nullptr when the catalogue has none.
  const char* Find(const char* msgid) const;
  // The form for n of the text whose English forms are one and many
  // (chosen by the catalogue's Plural-Forms), or nullptr.
  const char* FindPlural(const char* one, unsigned long n) const;

  // Which form the catalogue's plural rule takes for n.
  unsigned long PluralIndex(unsigned long n) const;

 private:
  std::unordered_map<std::string_view, std::string_view> translations_;  // msgid -> msgstr (forms NUL-separated)
  std::string plural_ = "n != 1";  // the expression of Plural-Forms
  unsigned long forms_ = 2;
};

// A Plural-Forms expression (C's operators on n) evaluated for n; nothing
// when it is malformed.  Exposed for the tests.
std::optional<unsigned long> EvaluatePlural(std::string_view expression, unsigned long n);

}  // namespace os::i18n
