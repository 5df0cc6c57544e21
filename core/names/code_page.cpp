#include "core/names/code_page.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include <boost/filesystem/path.hpp>

namespace {

// Which flags Windows takes for a code page, as its documentation lists them; any other
// flag fails the call with ERROR_INVALID_FLAGS.
enum class FlagRule {
  Any,             // MB_PRECOMPOSED, WC_NO_BEST_FIT_CHARS, the default-character report
  ErrorCheckOnly,  // UTF-8 and GB18030: MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS only
  None,            // UTF-7, Symbol, ISO-2022 and ISCII: no flag at all
};

FlagRule flag_rule(unsigned code_page) {
  if (code_page == CP_UTF8 || code_page == 54936) return FlagRule::ErrorCheckOnly;
  if (code_page == CP_UTF7 || code_page == 42 || (code_page >= 50220 && code_page <= 50229) ||
      (code_page >= 57002 && code_page <= 57011)) {
    return FlagRule::None;
  }
  return FlagRule::Any;
}

unsigned resolved(unsigned code_page) { return code_page == 0 ? file_code_page() : code_page; }

// MultiByteToWideChar on the whole of `text`; nothing when the call fails.
std::optional<std::wstring> utf16_of(std::string_view text, unsigned code_page, DWORD flags) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(code_page, flags, text.data(), length, wide.data(), size) != size) {
    return std::nullopt;
  }
  return wide;
}

// WideCharToMultiByte on the whole of `wide`, without a default character of its own;
// nothing when the call fails. `used_default`, where the code page takes it, is set when a
// character had no form and the default character stands for it.
std::optional<std::string> text_of(std::wstring_view wide, unsigned code_page, DWORD flags,
                                   BOOL* used_default) {
  if (wide.empty()) return std::string();
  if (wide.size() > INT_MAX) return std::nullopt;
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0,
                                       nullptr, used_default);
  if (size <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(code_page, flags, wide.data(), length, text.data(), size, nullptr,
                          used_default) != size) {
    return std::nullopt;
  }
  return text;
}

// The flags that make a conversion in `code_page` fail on bytes that form no character.
DWORD strict_flags_in(FlagRule rule) {
  switch (rule) {
    case FlagRule::Any: return MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
    case FlagRule::ErrorCheckOnly: return MB_ERR_INVALID_CHARS;
    case FlagRule::None: break;
  }
  return 0;
}

}  // namespace

unsigned file_code_page() { return AreFileApisANSI() ? GetACP() : GetOEMCP(); }

std::optional<std::string> exact_8bit(std::wstring_view wide, unsigned code_page) {
  code_page = resolved(code_page);
  const FlagRule rule = flag_rule(code_page);
  // Without WC_NO_BEST_FIT_CHARS the system would put a look-alike in silently; with it, a
  // character without a form of its own becomes the default character and says so. Where
  // the code page takes neither, the round trip below finds what it cannot hold all the same.
  BOOL used_default = FALSE;
  std::optional<std::string> text;
  switch (rule) {
    case FlagRule::Any: text = text_of(wide, code_page, WC_NO_BEST_FIT_CHARS, &used_default); break;
    case FlagRule::ErrorCheckOnly: text = text_of(wide, code_page, WC_ERR_INVALID_CHARS, nullptr); break;
    case FlagRule::None: text = text_of(wide, code_page, 0, nullptr); break;
  }
  if (!text || used_default) return std::nullopt;
  const std::optional<std::wstring> back = utf16_of(*text, code_page, strict_flags_in(rule));
  if (!back || *back != wide) return std::nullopt;
  return text;
}

std::optional<std::wstring> exact_utf16(std::string_view text, unsigned code_page) {
  code_page = resolved(code_page);
  const FlagRule rule = flag_rule(code_page);
  std::optional<std::wstring> wide = utf16_of(text, code_page, strict_flags_in(rule));
  if (!wide || rule == FlagRule::Any) return wide;
  // Where the code page gives every character one code, the round trip also finds what the
  // error check may let through (an overlong UTF-8 form, or any invalid byte where the code
  // page takes no flag). Shift-JIS has a second code for some characters, which stands
  // for the same character as the first, as it does in the 8-bit file calls: it is kept.
  const std::optional<std::string> back = exact_8bit(*wide, code_page);
  if (!back || *back != text) return std::nullopt;
  return wide;
}

std::optional<std::string> shown_8bit(std::wstring_view wide, unsigned code_page) {
  code_page = resolved(code_page);
  const DWORD flags = flag_rule(code_page) == FlagRule::Any ? WC_NO_BEST_FIT_CHARS : 0;
  return text_of(wide, code_page, flags, nullptr);
}

std::string shown_from(std::string_view text, unsigned code_page) {
  if (code_page == 0 || code_page == file_code_page()) return std::string(text);
  const std::optional<std::wstring> wide = utf16_of(text, code_page, 0);
  const std::optional<std::string> shown = wide ? shown_8bit(*wide) : std::nullopt;
  return shown.value_or(std::string(text));
}

std::size_t character_size(std::string_view text, unsigned code_page) {
  code_page = resolved(code_page);
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(0);
  if (code_page == CP_UTF8) {
    std::size_t size = 1;
    if (lead >= 0xC2 && lead <= 0xDF) size = 2;
    if (lead >= 0xE0 && lead <= 0xEF) size = 3;
    if (lead >= 0xF0 && lead <= 0xF4) size = 4;
    std::size_t taken = 1;
    while (taken < size && taken < text.size() && (byte(taken) & 0xC0) == 0x80) ++taken;
    return taken;
  }
  if (text.size() < 2) return 1;
  const unsigned second = byte(1);
  if (code_page == 54936) {
    if (lead < 0x81 || lead > 0xFE) return 1;
    // Four bytes: lead, digit, lead, digit.
    if (second >= 0x30 && second <= 0x39) return text.size() >= 4 ? 4 : 1;
    return second >= 0x40 && second != 0x7F && second != 0xFF ? 2 : 1;
  }
  // No double-byte code page has a trail byte below 0x40, so '/' is never one; '\' is.
  return IsDBCSLeadByteEx(code_page, static_cast<BYTE>(lead)) && second >= 0x40 ? 2 : 1;
}

PathCodePageFacet::result PathCodePageFacet::do_in(std::mbstate_t&, const char* from,
                                                   const char* from_end, const char*& from_next,
                                                   wchar_t* to, wchar_t* to_end,
                                                   wchar_t*& to_next) const {
  from_next = from;
  to_next = to;
  const std::optional<std::wstring> wide =
      exact_utf16(std::string_view(from, static_cast<std::size_t>(from_end - from)));
  if (!wide || wide->size() > static_cast<std::size_t>(to_end - to)) return error;
  to_next = std::copy(wide->begin(), wide->end(), to);
  from_next = from_end;
  return ok;
}

PathCodePageFacet::result PathCodePageFacet::do_out(std::mbstate_t&, const wchar_t* from,
                                                    const wchar_t* from_end,
                                                    const wchar_t*& from_next, char* to,
                                                    char* to_end, char*& to_next) const {
  from_next = from;
  to_next = to;
  const std::optional<std::string> text =
      shown_8bit(std::wstring_view(from, static_cast<std::size_t>(from_end - from)));
  if (!text || text->size() > static_cast<std::size_t>(to_end - to)) return error;
  to_next = std::copy(text->begin(), text->end(), to);
  from_next = from_end;
  return ok;
}

std::locale use_code_page_for_paths() {
  return boost::filesystem::path::imbue(std::locale(std::locale(), new PathCodePageFacet));
}
