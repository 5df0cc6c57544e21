// The name check that every element of a path built from text must pass, on the name's
// characters alone: UTF-16 units where the program holds names, bytes where a name is read
// as bytes of a code page whose ASCII bytes are ASCII characters. Free of the path library
// and of the platform, so that it is the same code wherever it is built.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

// Returns whether `element`, one element of a name (not empty), can be a file's name as it
// stands: no character 0-31 or < > : " / \ |, and no space or dot at its end unless it is
// "." or "..", which the system would strip, naming another file. Raises nothing.
template <class Char>
bool is_valid_element(std::basic_string_view<Char> element) {
  using Unit = std::make_unsigned_t<Char>;
  constexpr std::string_view kForbidden = "<>:\"/\\|";
  for (Char c : element) {
    const Unit unit = static_cast<Unit>(c);
    if (unit < 32 || (unit < 128 && kForbidden.find(static_cast<char>(unit)) != kForbidden.npos)) {
      return false;
    }
  }
  if (element.back() == Char(' ')) return false;
  if (element.back() != Char('.')) return true;
  return element.size() <= 2 && element.find_first_not_of(Char('.')) == element.npos;
}

// Returns the first element of `name` that fails is_valid_element, with '/' and '\' both
// separating elements; the drive ("C:") or share ("\\server") that starts a name is none,
// and the empty ones that a leading, doubled or trailing separator makes name nothing.
// Returns nothing when every element passes. Raises nothing.
template <class Char>
std::optional<std::basic_string_view<Char>> first_invalid_element(
    std::basic_string_view<Char> name) {
  const auto separator = [](Char c) { return c == Char('/') || c == Char('\\'); };
  std::size_t start = 0;
  const bool letter = name.size() >= 2 && ((name[0] >= Char('a') && name[0] <= Char('z')) ||
                                           (name[0] >= Char('A') && name[0] <= Char('Z')));
  if (letter && name[1] == Char(':')) {
    start = 2;
  } else if (name.size() >= 3 && separator(name[0]) && separator(name[1]) && !separator(name[2])) {
    start = 2;
    while (start < name.size() && !separator(name[start])) ++start;
  }
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !separator(name[end])) ++end;
    const std::basic_string_view<Char> element = name.substr(start, end - start);
    if (!element.empty() && !is_valid_element(element)) return element;
    start = end + 1;
  }
  return std::nullopt;
}
