#include "tools/keystonectl/status_view.h"

#include <algorithm>
#include <cctype>

namespace keystonectl {
namespace {

// The engine's object has a few dozen keys; anything far beyond is not its reply.
constexpr size_t kMaxPairs = 256;

class Reader {
 public:
  explicit Reader(std::string_view input) : text(input) {}

  void SkipBlanks() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  }
  bool Take(char c) {
    SkipBlanks();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected '") + c + "'");
  }
  bool AtEnd() {
    SkipBlanks();
    return at == text.size();
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (at < text.size() && text[at] != '"') {
      const char c = text[at++];
      if (static_cast<unsigned char>(c) < 0x20) Fail("control byte in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at >= text.size()) Fail("escape at the end");
      const char e = text[at++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': out += Unicode(); break;
        default: Fail("unknown escape");
      }
    }
    if (at >= text.size()) Fail("unterminated string");
    ++at;
    return out;
  }
  // A number, true, false or null, as written.
  std::string Scalar() {
    SkipBlanks();
    const size_t start = at;
    while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) ||
                                text[at] == '-' || text[at] == '+' || text[at] == '.')) {
      ++at;
    }
    const std::string_view word = text.substr(start, at - start);
    if (word == "true" || word == "false" || word == "null") return std::string(word);
    const bool numeric = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.' ||
             c == 'e' || c == 'E';
    });
    if (!numeric) Fail("expected a string, number, true, false or null");
    return std::string(word);
  }
  char Peek() {
    SkipBlanks();
    return at < text.size() ? text[at] : '\0';
  }
  [[noreturn]] void Fail(const std::string& what) const {
    throw StatusFormatError("malformed status reply at byte " + std::to_string(at) + ": " + what);
  }

 private:
  // \u00XX only: the engine writes no other.
  char Unicode() {
    if (at + 4 > text.size()) Fail("short \\u escape");
    const std::string_view digits = text.substr(at, 4);
    at += 4;
    if (digits.substr(0, 2) != "00") Fail("\\u escape beyond one byte");
    unsigned value = 0;
    for (const char d : digits.substr(2)) {
      const int nibble = std::isdigit(static_cast<unsigned char>(d))
                             ? d - '0'
                             : (std::tolower(static_cast<unsigned char>(d)) >= 'a' &&
                                std::tolower(static_cast<unsigned char>(d)) <= 'f')
                                   ? std::tolower(static_cast<unsigned char>(d)) - 'a' + 10
                                   : -1;
      if (nibble < 0) Fail("bad hex digit");
      value = value * 16 + static_cast<unsigned>(nibble);
    }
    return static_cast<char>(value);
  }

  std::string_view text;
  size_t at = 0;
};

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseStatusObject(std::string_view json) {
  Reader reader(json);
  std::vector<std::pair<std::string, std::string>> pairs;
  reader.Expect('{');
  if (!reader.Take('}')) {
    do {
      if (pairs.size() == kMaxPairs) reader.Fail("too many keys");
      std::string key = reader.String();
      reader.Expect(':');
      std::string value = reader.Peek() == '"' ? reader.String() : reader.Scalar();
      pairs.emplace_back(std::move(key), std::move(value));
    } while (reader.Take(','));
    reader.Expect('}');
  }
  if (!reader.AtEnd()) reader.Fail("bytes after the object");
  return pairs;
}

std::string StatusText(const std::vector<std::pair<std::string, std::string>>& pairs) {
  size_t width = 0;
  for (const auto& [key, value] : pairs) width = std::max(width, key.size());
  std::string out;
  for (const auto& [key, value] : pairs) {
    out += key;
    out.append(width - key.size() + 2, ' ');
    out += value;
    out += '\n';
  }
  return out;
}

}  // namespace keystonectl
