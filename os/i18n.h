// The program's texts in the user's language, through gettext's conventions.
//
// English is the source: every text the user reads is written in English in
// the code and marked, and the catalogues (po/LL.po) give its translation:
// on Linux through the C library's gettext, from
// share/locale/LL/LC_MESSAGES/dotvane.mo; on Windows from the same
// catalogues compiled into the program as resources, one per language,
// chosen by the user's display language.  Without a catalogue for the
// user's language, or in the C locale, every function here returns the
// English text unchanged.
//
//   _("text")             a text, translated where it is used
//   N_("text")            a text marked for the catalogue, translated later
//   i18n::Format(...)     a text with values: "%1$s" is the first value, "%2$s"
//                         the second (a translation may reorder them), "%%" a
//                         percent sign; no other directive exists
//   i18n::FormatPlural    the same, for a sentence whose form follows a number
//
// Texts nobody reads (the trace, the history's JSON keys, the text
// interface's keywords) are never marked.
//
// Scripts of the text interface are written in English and must keep working
// in any language: every translated text handed out here is remembered with
// its English source (a bounded number of them), and i18n::ToSource() turns a
// shown line back into English as far as it is made of such texts.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace os::i18n {

// The catalogues' domain, and the folder under the install prefix (or the
// build tree) that holds them.
inline constexpr char kDomain[] = "dotvane";

// Takes the user's language from the environment (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG) and finds the catalogues next to the program.  Numbers
// keep the C locale's form.  Without this call every text stays English.
void Init();

const char* Translate(const char* msgid);
const char* TranslatePlural(const char* one, const char* many, unsigned long n);

std::string Format(const char* msgid, std::initializer_list<std::string_view> values);
std::string FormatPlural(const char* one, const char* many, unsigned long n,
                         std::initializer_list<std::string_view> values);

// `format` with its %N$s replaced by values[N-1]; exposed for the tests.
std::string Substitute(std::string_view format, std::initializer_list<std::string_view> values);

// `shown` with every translated text it contains replaced by its English source.
std::string ToSource(std::string_view shown);

}  // namespace os::i18n

// wxWidgets has a _() of its own (for its catalogue); its headers define it
// only where none exists, and the wx back end calls Translate() by name.
#ifndef _
#define _(text) ::os::i18n::Translate(text)
#endif
#ifndef N_
#define N_(text) text
#endif
