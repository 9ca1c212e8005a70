#include "os/mo_catalogue.h"

#include <cstring>

namespace os::i18n {
namespace {

constexpr std::uint32_t kMagic = 0x950412de;

// Reads the expression of a Plural-Forms line by recursive descent, with C's
// precedence: ?:, ||, &&, == !=, < > <= >=, + -, * / %, !, and parentheses.
class PluralParser {
 public:
  PluralParser(std::string_view text, unsigned long n) : text_(text), n_(n) {}

  std::optional<unsigned long> Run() {
    const unsigned long value = Conditional();
    Skip();
    if (failed_ || at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;  // a catalogue is data: no expression may exhaust the stack

  void Skip() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  bool Take(std::string_view token) {
    Skip();
    if (text_.substr(at_, token.size()) != token) return false;
    // "<" must not take the start of "<=", "!" not that of "!=".
    if (token.size() == 1 && at_ + 1 < text_.size() && text_[at_ + 1] == '=' &&
        (token == "<" || token == ">" || token == "!" || token == "=")) {
      return false;
    }
    at_ += token.size();
    return true;
  }
  unsigned long Fail() {
    failed_ = true;
    return 0;
  }

  unsigned long Conditional() {
    if (++depth_ > kMaxDepth) return Fail();
    const unsigned long condition = Or();
    unsigned long value = condition;
    if (Take("?")) {
      const unsigned long yes = Conditional();
      if (!Take(":")) return Fail();
      const unsigned long no = Conditional();
      value = condition ? yes : no;
    }
    --depth_;
    return value;
  }
  unsigned long Or() {
    unsigned long value = And();
    while (Take("||")) value = (And() != 0) || value != 0;
    return value;
  }
  unsigned long And() {
    unsigned long value = Equality();
    while (Take("&&")) value = (Equality() != 0) && value != 0;
    return value;
  }
  unsigned long Equality() {
    unsigned long value = Relation();
    for (;;) {
      if (Take("==")) {
        value = value == Relation();
      } else if (Take("!=")) {
        value = value != Relation();
      } else {
        return value;
      }
    }
  }
  unsigned long Relation() {
    unsigned long value = Sum();
    for (;;) {
      if (Take("<=")) {
        value = value <= Sum();
      } else if (Take(">=")) {
        value = value >= Sum();
      } else if (Take("<")) {
        value = value < Sum();
      } else if (Take(">")) {
        value = value > Sum();
      } else {
        return value;
      }
    }
  }
  unsigned long Sum() {
    unsigned long value = Product();
    for (;;) {
      if (Take("+")) {
        value += Product();
      } else if (Take("-")) {
        value -= Product();
      } else {
        return value;
      }
    }
  }
  unsigned long Product() {
    unsigned long value = Unary();
    for (;;) {
      if (Take("*")) {
        value *= Unary();
      } else if (Take("/") || Take("%")) {
        const bool divide = text_[at_ - 1] == '/';
        const unsigned long by = Unary();
        if (by == 0) return Fail();
        value = divide ? value / by : value % by;
      } else {
        return value;
      }
    }
  }
  unsigned long Unary() {
    if (Take("!")) {
      if (++depth_ > kMaxDepth) return Fail();
      const unsigned long value = !Unary();
      --depth_;
      return value;
    }
    Skip();
    if (at_ < text_.size() && text_[at_] == 'n') {
      ++at_;
      return n_;
    }
    if (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      unsigned long value = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
        value = value * 10 + static_cast<unsigned long>(text_[at_++] - '0');
        if (value > 1000000000UL) return Fail();
      }
      return value;
    }
    if (Take("(")) {
      const unsigned long value = Conditional();
      if (!Take(")")) return Fail();
      return value;
    }
    return Fail();
  }

  std::string_view text_;
  unsigned long n_;
  std::size_t at_ = 0;
  int depth_ = 0;
  bool failed_ = false;
};

std::uint32_t Read32(std::span<const unsigned char> bytes, std::size_t at, bool swap) {
  const std::uint32_t b0 = bytes[at], b1 = bytes[at + 1], b2 = bytes[at + 2], b3 = bytes[at + 3];
  return swap ? (b0 << 24 | b1 << 16 | b2 << 8 | b3) : (b3 << 24 | b2 << 16 | b1 << 8 | b0);
}

// The string that a (length, offset) descriptor names, which msgfmt ends
// with a NUL that the length leaves out; nothing when it lies outside.
std::optional<std::string_view> StringAt(std::span<const unsigned char> bytes, std::size_t descriptor, bool swap) {
  if (descriptor > bytes.size() || bytes.size() - descriptor < 8) return std::nullopt;
  const std::uint64_t length = Read32(bytes, descriptor, swap);
  const std::uint64_t offset = Read32(bytes, descriptor + 4, swap);
  if (offset + length + 1 > bytes.size() || bytes[offset + length] != 0) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

}  // namespace

std::optional<unsigned long> EvaluatePlural(std::string_view expression, unsigned long n) {
  return PluralParser(expression, n).Run();
}

std::optional<MoCatalogue> MoCatalogue::Parse(std::span<const unsigned char> bytes) {
  if (bytes.size() < 28) return std::nullopt;
  bool swap = false;
  if (Read32(bytes, 0, false) != kMagic) {
    if (Read32(bytes, 0, true) != kMagic) return std::nullopt;
    swap = true;
  }
  const std::uint64_t count = Read32(bytes, 8, swap);
  const std::uint64_t originals = Read32(bytes, 12, swap);
  const std::uint64_t translations = Read32(bytes, 16, swap);
  if (originals + count * 8 > bytes.size() || translations + count * 8 > bytes.size()) return std::nullopt;

  MoCatalogue catalogue;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto original = StringAt(bytes, originals + i * 8, swap);
    const auto translation = StringAt(bytes, translations + i * 8, swap);
    if (!original || !translation) return std::nullopt;
    // A plural entry's original is "one\0many": it is found by its first form.
    const std::string_view msgid = original->substr(0, original->find('\0'));
    if (msgid.empty()) {
      // The header: "Plural-Forms: nplurals=2; plural=(n != 1);".
      const std::size_t line = translation->find("Plural-Forms:");
      if (line == std::string_view::npos) continue;
      const std::string_view forms = translation->substr(line, translation->find('\n', line) - line);
      const std::size_t count_at = forms.find("nplurals=");
      const std::size_t plural_at = forms.find("plural=", count_at == std::string_view::npos ? 0 : count_at + 9);
      if (count_at == std::string_view::npos || plural_at == std::string_view::npos) continue;
      const unsigned long declared = std::strtoul(std::string(forms.substr(count_at + 9)).c_str(), nullptr, 10);
      std::string_view expression = forms.substr(plural_at + 7);
      if (expression.ends_with(';')) expression.remove_suffix(1);
      if (declared >= 1 && declared <= 16 && EvaluatePlural(expression, 1)) {
        catalogue.forms_ = declared;
        catalogue.plural_ = std::string(expression);
      }
      continue;
    }
    catalogue.translations_.emplace(msgid, *translation);
  }
  return catalogue;
}

const char* MoCatalogue::Find(const char* msgid) const {
  const auto it = translations_.find(msgid);
  return it == translations_.end() || it->second.empty() ? nullptr : it->second.data();
}

unsigned long MoCatalogue::PluralIndex(unsigned long n) const {
  const unsigned long index = EvaluatePlural(plural_, n).value_or(n == 1 ? 0 : 1);
  return index < forms_ ? index : 0;
}

const char* MoCatalogue::FindPlural(const char* one, unsigned long n) const {
  const auto it = translations_.find(one);
  if (it == translations_.end()) return nullptr;
  std::string_view forms = it->second;
  for (unsigned long index = PluralIndex(n); index > 0; --index) {
    const std::size_t end = forms.find('\0');
    if (end == std::string_view::npos) return nullptr;
    forms.remove_prefix(end + 1);
  }
  return forms.empty() ? nullptr : forms.data();
}

}  // namespace os::i18n
