#include "app/history/record.h"

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "os/text_encoding.h"

namespace history {
namespace {

constexpr Result kResults[] = {Result::kDone,   Result::kRefused, Result::kDeclined, Result::kCancelled,
                               Result::kFailed, Result::kNotBack, Result::kWriting, Result::kLowBattery};

std::optional<std::array<std::uint8_t, 6>> FromHex(const std::string& text) {
  if (text.size() != 12 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return {};
  std::array<std::uint8_t, 6> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

nlohmann::ordered_json Text(const std::string& text) { return os::Utf8OrLatin1(text); }
nlohmann::ordered_json Text(const std::optional<std::string>& text) {
  return text ? Text(*text) : nlohmann::ordered_json(nullptr);
}
template <typename T>
nlohmann::ordered_json Number(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

// A value of a flat object: a text, a whole number, or null (true and false,
// which records never hold, are taken as null).
struct Value {
  enum class Kind { kString, kNumber, kNull } kind = Kind::kNull;
  std::string text;
  std::uint64_t number = 0;
};
using Fields = std::map<std::string, Value>;

// Collects the fields of one flat object from the parser's events; any other
// shape stops the parse.
class FlatObject : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit FlatObject(Fields* fields) : fields_(fields) {}
  bool null() override { return Put({}); }
  bool boolean(bool) override { return Put({}); }
  bool number_integer(number_integer_t) override { return false; }  // negative
  bool number_unsigned(number_unsigned_t value) override {
    // Records hold offsets, far below this; more digits were never written.
    if (value >= 1000000000000000ULL) return false;
    return Put({Value::Kind::kNumber, {}, value});
  }
  bool number_float(number_float_t, const string_t&) override { return false; }
  bool string(string_t& text) override { return Put({Value::Kind::kString, std::move(text), 0}); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return !std::exchange(opened_, true); }
  bool key(string_t& key) override {
    key_ = std::move(key);
    return true;
  }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return false; }
  bool end_array() override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Put(Value value) {
    if (!opened_) return false;  // a value alone is not a record
    (*fields_)[key_] = std::move(value);
    return true;
  }

  Fields* fields_;
  std::string key_;
  bool opened_ = false;
};

}  // namespace

std::string StatusHex(const std::array<std::uint8_t, 6>& bytes) {
  char text[13];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

const char* ResultName(Result result) {
  switch (result) {
    case Result::kDone: return "done";
    case Result::kRefused: return "refused";
    case Result::kDeclined: return "declined";
    case Result::kCancelled: return "cancelled";
    case Result::kFailed: return "failed";
    case Result::kNotBack: return "not back";
    case Result::kWriting: return "writing";
    case Result::kLowBattery: return "low battery";
  }
  return "failed";
}

std::string FormatLine(const Record& r) {
  // The fields in the order records have always had.
  nlohmann::ordered_json line = {{"time", Text(r.time)},
                                 {"maker", Text(r.maker)},
                                 {"model", Text(r.model)},
                                 {"serial", Text(r.serial)},
                                 {"version_before", Text(r.versionBefore)},
                                 {"version_after", Text(r.versionAfter)},
                                 {"image", Text(r.image)},
                                 {"result", ResultName(r.result)}};
  if (r.result == Result::kFailed) {
    line["step"] = Text(r.step);
    line["offset"] = Number(r.offset);
    line["status"] = r.status ? Text(StatusHex(*r.status)) : nlohmann::ordered_json(nullptr);
  } else if (r.result == Result::kWriting) {
    line["offset"] = Number(r.offset);
  } else if (r.result == Result::kLowBattery) {
    line["battery"] = Number(r.battery);
  }
  if (r.attempt) line["attempt"] = Text(r.attempt);
  // Every text is valid UTF-8 by now; replacing is only the last word.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::optional<Record> ParseLine(const std::string& line) {
  Fields fields;
  FlatObject reader(&fields);
  // A line edited with an 8-bit editor is read as written records are: bytes
  // that are not UTF-8 as Latin-1.
  if (!nlohmann::json::sax_parse(os::Utf8OrLatin1(line), &reader)) return {};
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.kind != Value::Kind::kString) return {};
    return it->second.text;
  };
  Record r;
  const auto time = text("time");
  const auto result = text("result");
  if (!time || !result) return {};
  bool known = false;
  for (Result candidate : kResults) {
    if (*result == ResultName(candidate)) r.result = candidate, known = true;
  }
  if (!known) return {};
  r.time = *time;
  r.maker = text("maker").value_or("");
  r.model = text("model").value_or("");
  r.serial = text("serial");
  r.versionBefore = text("version_before");
  r.versionAfter = text("version_after");
  r.image = text("image").value_or("");
  r.step = text("step");
  if (const auto it = fields.find("offset");
      it != fields.end() && it->second.kind == Value::Kind::kNumber && it->second.number <= UINT32_MAX) {
    r.offset = static_cast<std::uint32_t>(it->second.number);
  }
  if (const auto status = text("status")) r.status = FromHex(*status);
  r.attempt = text("attempt");
  if (const auto it = fields.find("battery");
      it != fields.end() && it->second.kind == Value::Kind::kNumber && it->second.number <= 100) {
    r.battery = static_cast<int>(it->second.number);
  }
  return r;
}

}  // namespace history
