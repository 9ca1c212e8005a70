#include "os/i18n.h"

#include <algorithm>
#include <clocale>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "os/thread_safety.h"

#if defined(DOTVANE_HAVE_LIBINTL)
#include <libintl.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#elif defined(_WIN32)
#include <windows.h>

#include <optional>

#include "os/mo_catalogue.h"
#endif

namespace os::i18n {
namespace {

// Every distinct translated text handed out, with its English source.  The
// program has a few dozen texts; the bound only keeps a long run (identities
// of many displays, say) from growing it without end.
constexpr std::size_t kRemembered = 512;

struct Sources {
  Mutex mutex;
  std::map<std::string, std::string, std::less<>> source GUARDED_BY(mutex);  // translated -> English
  std::deque<std::string> order GUARDED_BY(mutex);                            // oldest first
};

Sources& Remembered() {
  static Sources sources;
  return sources;
}

void RememberOne(std::string translated, std::string english) {
  if (translated.empty() || translated == english) return;
  Sources& s = Remembered();
  MutexLock lock(s.mutex);
  const auto [it, added] = s.source.insert_or_assign(translated, std::move(english));
  if (!added) return;
  s.order.push_back(std::move(translated));
  if (s.order.size() > kRemembered) {
    s.source.erase(s.order.front());
    s.order.pop_front();
  }
}

// Button labels and menu items are shown without their mnemonic markers.
std::string WithoutMnemonics(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '&') {
      out += '&';
      ++i;
    } else if (text[i] != '&') {
      out += text[i];
    }
  }
  return out;
}

void Remember(std::string_view translated, std::string_view english) {
  if (translated == english) return;
  RememberOne(std::string(translated), std::string(english));
  if (translated.find('&') != std::string_view::npos || english.find('&') != std::string_view::npos) {
    RememberOne(WithoutMnemonics(translated), WithoutMnemonics(english));
  }
}

#if defined(DOTVANE_HAVE_LIBINTL)
// The catalogues lie at <prefix>/share/locale beside <prefix>/bin/dotvane,
// installed or in the build tree alike; a program moved elsewhere falls back
// to the folder it was configured to be installed with.
std::string LocaleDir() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    std::error_code error;
    const auto dir = std::filesystem::path(self).parent_path() / DOTVANE_LOCALEDIR_FROM_BINDIR;
    if (std::filesystem::is_directory(dir, error)) return dir.lexically_normal().string();
  }
  return DOTVANE_INSTALL_LOCALEDIR;
}
#elif defined(_WIN32)
// Windows has no gettext: the build files each language's catalogue as a
// resource of type DOTVANE_MO, number 1, in that language's LANGUAGE block
// (resources/CMakeLists.txt).  The user's display language picks one, the
// language alone (German for Austrian German) if there is none for the
// region; without either, the texts stay English.  Set once by Init(),
// before any other thread runs.
std::optional<MoCatalogue>& Catalogue() {
  static std::optional<MoCatalogue> catalogue;
  return catalogue;
}

std::optional<MoCatalogue> LoadCatalogue() {
  const LANGID user = GetUserDefaultUILanguage();
  for (const LANGID language : {user, static_cast<LANGID>(MAKELANGID(PRIMARYLANGID(user), SUBLANG_NEUTRAL))}) {
    HRSRC found = FindResourceExW(nullptr, L"DOTVANE_MO", MAKEINTRESOURCEW(1), language);
    if (found == nullptr) continue;
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded == nullptr ? nullptr : LockResource(loaded);
    if (data == nullptr) continue;
    return MoCatalogue::Parse({static_cast<const unsigned char*>(data), SizeofResource(nullptr, found)});
  }
  return std::nullopt;
}
#endif

}  // namespace

void Init() {
#if defined(DOTVANE_HAVE_LIBINTL)
  std::setlocale(LC_ALL, "");
  // Numbers are written the same in every language: versions, offsets and
  // the history's records must not gain a decimal comma.
  std::setlocale(LC_NUMERIC, "C");
  bindtextdomain(kDomain, LocaleDir().c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
#elif defined(_WIN32)
  Catalogue() = LoadCatalogue();
#endif
}

const char* Translate(const char* msgid) {
#if defined(DOTVANE_HAVE_LIBINTL)
  if (msgid[0] == '\0') return msgid;  // gettext's "" is the catalogue's header
  const char* translated = dgettext(kDomain, msgid);
  if (translated != msgid) Remember(translated, msgid);
  return translated;
#elif defined(_WIN32)
  if (msgid[0] == '\0' || !Catalogue()) return msgid;
  const char* translated = Catalogue()->Find(msgid);
  if (translated == nullptr) return msgid;
  Remember(translated, msgid);
  return translated;
#else
  return msgid;
#endif
}

const char* TranslatePlural(const char* one, const char* many, unsigned long n) {
#if defined(DOTVANE_HAVE_LIBINTL)
  const char* translated = dngettext(kDomain, one, many, n);
  const char* english = n == 1 ? one : many;
  if (translated != one && translated != many) Remember(translated, english);
  return translated;
#elif defined(_WIN32)
  const char* english = n == 1 ? one : many;
  const char* translated = Catalogue() ? Catalogue()->FindPlural(one, n) : nullptr;
  if (translated == nullptr) return english;
  Remember(translated, english);
  return translated;
#else
  return n == 1 ? one : many;
#endif
}

std::string Substitute(std::string_view format, std::initializer_list<std::string_view> values) {
  std::string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // %N$s; anything else is left as it stands (msgfmt -c keeps it out of the catalogues).
    std::size_t at = i + 1;
    std::size_t number = 0;
    while (at < format.size() && format[at] >= '0' && format[at] <= '9' && number < 100) {
      number = number * 10 + static_cast<std::size_t>(format[at++] - '0');
    }
    if (number >= 1 && number <= values.size() && at + 1 < format.size() && format[at] == '$' &&
        format[at + 1] == 's') {
      out += *(values.begin() + (number - 1));
      i = at + 1;
    } else {
      out += '%';
    }
  }
  return out;
}

std::string Format(const char* msgid, std::initializer_list<std::string_view> values) {
  const char* translated = Translate(msgid);
  std::string text = Substitute(translated, values);
  if (translated != msgid) Remember(text, Substitute(msgid, values));
  return text;
}

std::string FormatPlural(const char* one, const char* many, unsigned long n,
                         std::initializer_list<std::string_view> values) {
  const char* translated = TranslatePlural(one, many, n);
  std::string text = Substitute(translated, values);
  const char* english = n == 1 ? one : many;
  if (translated != english) Remember(text, Substitute(english, values));
  return text;
}

std::string ToSource(std::string_view shown) {
  Sources& s = Remembered();
  MutexLock lock(s.mutex);
  if (s.source.empty()) return std::string(shown);
  // Longest first: a whole sentence is put back before a word inside it.
  std::vector<const std::pair<const std::string, std::string>*> pairs;
  for (const auto& pair : s.source) pairs.push_back(&pair);
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto* a, const auto* b) { return a->first.size() > b->first.size(); });
  std::string text(shown);
  for (const auto* pair : pairs) {
    for (std::size_t at = text.find(pair->first); at != std::string::npos;
         at = text.find(pair->first, at + pair->second.size())) {
      text.replace(at, pair->first.size(), pair->second);
    }
  }
  return text;
}

}  // namespace os::i18n
