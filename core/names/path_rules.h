// How Tallyrun turns text into paths and paths back into text.
//
// Paths hold what the user gave, in the generic form with '/' between elements, in UTF-16
// as the system holds names, so that a file is opened and shown by its true name whatever
// the code page. Text is 8-bit in the system code page (under the UTF-8 code page, UTF-8),
// or in UTF-8 where a list says so or other tools wrote it; both directions go through
// code_page.h, so a name whose bytes convert exactly comes back as the same bytes.
#pragma once

#include <string>
#include <string_view>

#include <boost/filesystem/path.hpp>

// Returns the path named by `text`, 8-bit in `code_page` (0: the file code page; UTF-8 for
// a list that says it is written in UTF-8), with both '/' and '\' read as separators and
// stored as '/'. Raises std::invalid_argument with the text
//   boost::filesystem::path: invalid name "ELEMENT" in path: "TEXT"
// when an element (the leading drive or share is none) holds a character 0-31 or one of
// < > : " | , ends in a space, or ends in a dot without being "." or "..", and when the
// bytes of an element (here the drive or share too) have no exact UTF-16 form in the code
// page (exact_utf16 in code_page.h: invalid UTF-8, a broken double-byte pair): ELEMENT is
// then that element's bytes as given. Text in another code page than the file code page
// shows there as the system shows it, with a default character for what it lacks.
boost::filesystem::path make_path(std::string_view text, unsigned code_page = 0);

// Returns the path named by `wide`, the name as the system holds it in UTF-16, under the
// same rules and with the same error as make_path(text); the error shows the name in the
// 8-bit code page. The name is kept as given even where the code page has no exact form
// for it: the program opens and shows every file by this name.
boost::filesystem::path make_path(std::wstring_view wide);

// Returns the path's 8-bit text in generic form, with '/'.
std::string generic_string(const boost::filesystem::path& path);

// Returns the path's 8-bit text in native form, every '/' turned into '\', with the
// default character for what the code page lacks: for messages, never a name to open.
std::string native_string(const boost::filesystem::path& path);

// Returns the path's last element (its leaf): the text after the last separator, or after
// the drive colon when there is none.
std::string leaf(const boost::filesystem::path& path);

// Returns the last element of `name`, a path as UTF-16 text, by the same rule: the name as
// the system holds it, whatever the code page.
std::wstring leaf(const std::wstring& name);

// Returns the path without its last element; a root such as "C:/" keeps its separator,
// and a bare name gives the empty path.
boost::filesystem::path parent_folder(const boost::filesystem::path& path);
