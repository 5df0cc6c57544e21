#include "core/names/unicode_text.h"

bool is_utf8(std::string_view text) {
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t size = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      size = 3;
      if (lead == 0xE0) low = 0xA0;   // shorter forms exist below U+0800
      if (lead == 0xED) high = 0x9F;  // U+D800 and up are surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      size = 4;
      if (lead == 0xF0) low = 0x90;   // shorter forms exist below U+10000
      if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
      return false;
    }
    if (text.size() - i < size || byte(i + 1) < low || byte(i + 1) > high) return false;
    for (std::size_t k = 2; k < size; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
    }
    i += size;
  }
  return true;
}

bool beyond_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

void append_utf8(std::string& out, char32_t code) {
  const auto put = [&out](char32_t bits) { out += static_cast<char>(bits); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | code >> 6);
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | code >> 12);
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | code >> 18);
    put(0x80 | (code >> 12 & 0x3F));
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}
