// Conversions between UTF-16, in which Windows holds names, and the 8-bit code page in
// which the program shows them, writes them into SFV files and reads them back.
//
// Windows takes different flags for different code pages: under UTF-8 (65001), GB18030
// (54936) and a few others any flag beyond the error check fails the call, and under UTF-8
// so does asking whether the default character was used. Every conversion of the program,
// and through path_code_page_facet every one that Boost.Filesystem makes, goes through
// here, where the flags are chosen by code page. Under any other code page the flags are
// those that Boost.Filesystem's own conversion passes: MB_PRECOMPOSED in and
// WC_NO_BEST_FIT_CHARS out, so a character without a form of its own never turns into a
// look-alike.
#pragma once

#include <cwchar>
#include <locale>
#include <optional>
#include <string>
#include <string_view>

// UTF-8 as a code page, which every system converts whatever its own code page.
inline constexpr unsigned kUtf8CodePage = 65001;

// Returns the code page of the 8-bit file calls: the system's ANSI code page, or its OEM
// code page after SetFileApisToOEM. Raises nothing.
unsigned file_code_page();

// Returns `wide` in `code_page` (0: file_code_page()) when it is exact: it converts back
// to `wide` unchanged. Returns nothing when a character has no form of its own there, for
// which Windows would put a look-alike (U+FF41, the full-width a, becomes 'a': a different
// file) or the default character '?', or when `wide` is no valid UTF-16 (a lone
// surrogate). Raises std::bad_alloc only.
std::optional<std::string> exact_8bit(std::wstring_view wide, unsigned code_page = 0);

// Returns `text`, 8-bit in `code_page` (0: file_code_page()), in UTF-16 when it is exact:
// every byte belongs to a valid character of the code page (under UTF-8 and the code pages
// that take no error check, the UTF-16 form also converts back to the same bytes). Returns
// nothing for invalid UTF-8, a broken or unassigned double-byte pair and the like, which
// Windows would turn into U+FFFD or a default character: a name of some other file.
// Raises std::bad_alloc only.
std::optional<std::wstring> exact_utf16(std::string_view text, unsigned code_page = 0);

// Returns `wide` in the 8-bit code page for showing it, with the default character (or,
// under UTF-8, U+FFFD) for what the code page cannot hold: never a name to open. Returns
// nothing only when the system refuses the conversion. Raises std::bad_alloc only.
std::optional<std::string> shown_8bit(std::wstring_view wide, unsigned code_page = 0);

// Returns `text`, 8-bit in `code_page`, as the file code page shows it: unchanged when the
// two are the same code page (or `code_page` is 0), else through UTF-16, with U+FFFD for
// bytes that form no character and then the default character for what the file code page
// lacks. For messages only, never a name to open. Raises std::bad_alloc only.
std::string shown_from(std::string_view text, unsigned code_page);

// Returns the number of bytes, at least 1 and at most text.size(), of the character that
// starts `text` (not empty) in `code_page` (0: file_code_page()): the trail bytes of a
// double-byte or UTF-8 character go with their lead byte, so a trail byte 0x5C is no
// separator. A byte that starts no valid character counts as one. Raises nothing.
std::size_t character_size(std::string_view text, unsigned code_page = 0);

// The conversion that Boost.Filesystem's paths use once path_code_page_facet is imbued:
// 8-bit text in the file code page to UTF-16 with exact_utf16 (bytes that have no exact
// form fail the conversion, and the library raises), UTF-16 to 8-bit text with
// shown_8bit. Each call converts the whole input at once, as the library asks.
class PathCodePageFacet : public std::codecvt<wchar_t, char, std::mbstate_t> {
 protected:
  result do_in(std::mbstate_t& state, const char* from, const char* from_end,
               const char*& from_next, wchar_t* to, wchar_t* to_end,
               wchar_t*& to_next) const override;
  result do_out(std::mbstate_t& state, const wchar_t* from, const wchar_t* from_end,
                const wchar_t*& from_next, char* to, char* to_end, char*& to_next) const override;
};

// Makes every later conversion of a Boost.Filesystem path use PathCodePageFacet, in
// place of the library's own, which passes flags that Windows refuses under UTF-8. Call
// it before anything converts a path, while no other thread does. Returns the locale that
// paths used before. Raises std::bad_alloc only.
std::locale use_code_page_for_paths();
