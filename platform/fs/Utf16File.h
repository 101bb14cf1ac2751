#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"

namespace kst::utf16 {

// UTF-16 text files as the original platform writes its Unicode strings: a
// byte-order mark, then the text in the machine's native byte order. Text
// is handed in and out as UTF-8, the encoding of every other string of the
// system. Pure functions over a FileSystem; safe from any thread.
//
// Reading accepts a mark of either byte order (a file written on a machine
// of the other order is still text) and refuses, as "not UTF-16 text":
// an odd number of bytes, a missing mark, and unpaired surrogates. An empty
// file is empty text: there is nothing in it that could be wrong.

// The text of file bytes, or nothing when they are not UTF-16 text.
std::optional<std::string> decode(std::string_view bytes);
// The file bytes of UTF-8 text (mark and native order), or nothing when
// `text` is not valid UTF-8.
std::optional<std::string> encode(std::string_view text);

// The whole file as UTF-8, or nothing when it is missing, unreadable or not
// UTF-16 text.
std::optional<std::string> readFile(FileSystem& fs, const std::string& path);
// Replaces the file atomically with `text`. False (the old file left as it
// was) when `text` is not valid UTF-8 or the write fails.
bool writeFileAtomic(FileSystem& fs, const std::string& path, std::string_view text, bool createParents);

enum class AppendResult { kAppended, kCreated, kNotText, kBadInput, kWriteFailed };
// Appends `text` at the end of the file and rewrites it whole, atomically,
// in native order; a missing file is created holding `text` alone. An
// existing file that is not UTF-16 text is left unchanged (kNotText), as is
// every file when `text` is not valid UTF-8 (kBadInput).
AppendResult appendToFile(FileSystem& fs, const std::string& path, std::string_view text, bool createParents);

}  // namespace kst::utf16
