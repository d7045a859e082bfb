// Text forms shared by the two tools: JSON string literals and one-line
// printable renderings of byte strings. Header-only so that siptrunk-uasim can
// use it without a library of its own.
//
// Pure functions, no state: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace siptrunk {
namespace tools {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes there
// are not one (overlong forms, surrogates and code points above U+10FFFF are
// refused).
inline size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t len = 0;
  uint32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
  if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
  return len;
}

// A JSON string literal (with its quotes) for the byte string s. Well-formed
// UTF-8 passes through; quotes, backslashes and control characters are
// escaped; every byte that is not part of well-formed UTF-8 becomes \u00XX,
// so the output is always valid JSON in plain ASCII-compatible UTF-8.
inline std::string JsonString(const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    const size_t len = (c < 0x20 || c == 0x7F) ? 0 : Utf8SequenceLength(s, i);
    if (len == 0) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++i;
    } else {
      out.append(s, i, len);
      i += len;
    }
  }
  out += '"';
  return out;
}

// A one-word printable rendering of the byte string s for line-oriented
// output: printable ASCII other than blank, backslash and the given extra
// delimiters passes through, every other byte becomes \xNN. The result never
// holds white space, so "key=value" words split cleanly.
inline std::string PrintableWord(const std::string& s, const char* delimiters = "") {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    bool plain = c > 0x20 && c < 0x7F && c != '\\';
    for (const char* d = delimiters; plain && *d != '\0'; ++d) {
      if (ch == *d) plain = false;
    }
    if (plain) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

// A rendering of the byte string s for human-readable lines: well-formed UTF-8
// and blanks pass through, a backslash is doubled, control characters and
// bytes that are not well-formed UTF-8 become \xNN, so s stays on one line.
inline std::string PrintableText(const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t len = (c < 0x20 || c == 0x7F) ? 0 : Utf8SequenceLength(s, i);
    if (c == '\\') {
      out += "\\\\";
      ++i;
    } else if (len == 0) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++i;
    } else {
      out.append(s, i, len);
      i += len;
    }
  }
  return out;
}

}  // namespace tools
}  // namespace siptrunk
