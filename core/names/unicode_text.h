// UTF-8 and UTF-16 as bytes, free of the platform: which bytes are UTF-8, and how the units
// of UTF-16 text become UTF-8. Lists from other tools come in both, whatever the system's
// code page, and the list's line rules and the name check must see the same characters on
// every system.
#pragma once

#include <string>
#include <string_view>

// Returns true when `text` is well-formed UTF-8: every character in its shortest form, no
// surrogate (U+D800-U+DFFF), nothing beyond U+10FFFF. Raises nothing.
bool is_utf8(std::string_view text);

// Returns true when `text` holds a byte of 0x80 or more: without one, text is read the
// same in UTF-8 and in every code page whose first 128 bytes are ASCII. Raises nothing.
bool beyond_ascii(std::string_view text);

// Appends the character `code` (at most U+10FFFF) to `out` in UTF-8. A surrogate, which
// only a lone UTF-16 unit gives, is appended in the three bytes that its value would take:
// no well-formed UTF-8, so no name check or decoder takes it for a character. Raises
// std::bad_alloc only.
void append_utf8(std::string& out, char32_t code);
