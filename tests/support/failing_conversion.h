// Path names that cannot be converted between UTF-16 and 8-bit text, as with
// Boost.Filesystem's own conversion under a UTF-8 system code page, where Windows refuses
// the flags it passes and every conversion raises. Installed through the library's own
// hook, path::imbue.
#pragma once

#include <cwchar>
#include <locale>

#include <boost/filesystem/path.hpp>

// Makes every conversion of a path name fail for the life of the object, then puts the
// previous conversion back. Not for use while another thread converts names.
class FailingPathConversion {
 public:
  FailingPathConversion()
      : previous_(boost::filesystem::path::imbue(std::locale(std::locale(), new Failing))) {}
  ~FailingPathConversion() { boost::filesystem::path::imbue(previous_); }
  FailingPathConversion(const FailingPathConversion&) = delete;
  FailingPathConversion& operator=(const FailingPathConversion&) = delete;

 private:
  struct Failing : std::codecvt<wchar_t, char, std::mbstate_t> {
    result do_out(std::mbstate_t&, const wchar_t*, const wchar_t*, const wchar_t*&, char*, char*,
                  char*&) const override {
      return error;
    }
    result do_in(std::mbstate_t&, const char*, const char*, const char*&, wchar_t*, wchar_t*,
                 wchar_t*&) const override {
      return error;
    }
  };
  std::locale previous_;
};
