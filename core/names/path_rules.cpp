#include "core/names/path_rules.h"

#include <stdexcept>
#include <string_view>

#include "core/names/code_page.h"
#include "core/names/name_check.h"

namespace {

using WideString = boost::filesystem::path::string_type;

// The element as the error shows it, in the 8-bit code page.
std::string narrow(const WideString& text) { return shown_8bit(text).value_or(std::string()); }

[[noreturn]] void throw_invalid_name(std::string_view element, std::string_view text) {
  throw std::invalid_argument("boost::filesystem::path: invalid name \"" + std::string(element) +
                              "\" in path: \"" + std::string(text) + "\"");
}

// Raises the name-check error for `text`, 8-bit in `code_page`, whose bytes have no exact
// UTF-16 form, naming the first element whose bytes have none. Elements are split at whole
// characters, since a trail byte may be 0x5C.
[[noreturn]] void throw_inexact_name(std::string_view text, unsigned code_page) {
  std::size_t start = 0;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t size = at < text.size() ? character_size(text.substr(at), code_page) : 1;
    if (at == text.size() || (size == 1 && (text[at] == '/' || text[at] == '\\'))) {
      const std::string_view element = text.substr(start, at - start);
      if (!exact_utf16(element, code_page)) {
        throw_invalid_name(shown_from(element, code_page), shown_from(text, code_page));
      }
      start = at + 1;
    }
    at += size;
  }
  throw_invalid_name(shown_from(text, code_page), shown_from(text, code_page));
}

// Checks every element of `wide` and returns it in generic form; `text()` gives the name
// as the error shows it.
template <class Text>
boost::filesystem::path checked_path(WideString wide, Text text) {
  const std::optional<std::wstring_view> invalid = first_invalid_element(std::wstring_view(wide));
  if (invalid) throw_invalid_name(narrow(WideString(*invalid)), text());
  for (wchar_t& c : wide) {
    if (c == L'\\') c = L'/';
  }
  return boost::filesystem::path(wide);
}

}  // namespace

boost::filesystem::path make_path(std::string_view text, unsigned code_page) {
  // Convert first, then look at the characters: in a double-byte code page the second
  // byte of a character may be 0x5C, which is no separator. Bytes that form no character,
  // or that stand for a character other bytes stand for too, could name a file other than
  // the one meant: such a name is refused like any other invalid one.
  std::optional<std::wstring> wide = exact_utf16(text, code_page);
  if (!wide) throw_inexact_name(text, code_page);
  return checked_path(std::move(*wide), [text, code_page] { return shown_from(text, code_page); });
}

boost::filesystem::path make_path(std::wstring_view wide) {
  const WideString name(wide);
  return checked_path(name, [&name] { return narrow(name); });
}

std::string generic_string(const boost::filesystem::path& path) {
  return path.generic_path().string();
}

std::string native_string(const boost::filesystem::path& path) {
  return boost::filesystem::path(path).make_preferred().string();
}

std::wstring leaf(const std::wstring& name) {
  return boost::filesystem::path(name).filename().native();
}

std::string leaf(const boost::filesystem::path& path) {
  return boost::filesystem::path(leaf(path.native())).string();
}

boost::filesystem::path parent_folder(const boost::filesystem::path& path) {
  return path.parent_path();
}
