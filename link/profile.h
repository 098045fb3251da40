#pragma once
// A small reader and writer for private-profile files (the usual INI text:
// "[Section]" lines, "key=value" lines), behaving like the Windows
// GetPrivateProfileString / WritePrivateProfileString pair the settings file
// was designed around. QSettings is not used because it rewrites the whole
// file in its own layout and treats backslashes as escapes, so "DEF_DIR=\"
// would not survive, and users' comments would be lost.
//
// Reading:
//  - section and key names match without regard to ASCII case;
//  - blanks around the key and the value are dropped;
//  - the value is cut to kMaxProfileValueLength characters;
//  - the first matching section is the only one looked at, and in it the
//    first matching key wins;
//  - lines starting with ';' or '#' are comments, even if they hold a '=';
//  - CR LF, LF and CR alone all end a line;
//  - the file's bytes after any UTF-8 byte-order mark are taken as UTF-8 when
//    they are valid UTF-8, otherwise as Latin-1;
//  - only a regular file of at most kMaxProfileFileBytes is read (see
//    regular_file.h): anything else reads as unreadable.
//
// Writing changes one line, or adds one, and leaves every other byte as it
// was; see writePrivateProfileString.

#include <QString>

namespace tavrel {

// A value read back is never longer than this (the 255-byte buffer of the
// original API, less its terminating zero).
inline constexpr int kMaxProfileValueLength = 254;

// A settings file is a few hundred bytes; anything past this is no settings
// file.
inline constexpr qint64 kMaxProfileFileBytes = 1024 * 1024;

// Why the file at `filePath` is not read (a FIFO, a folder, a device, too
// big, no permission), in French and without the path; empty when it is read
// or is missing.
QString profileFileProblem(const QString &filePath);

// The value of `key` in `section` of the file at `filePath`, blanks around it
// removed and cut to kMaxProfileValueLength characters. Empty when the file,
// the section or the key is missing, when the value is empty, or when the
// file cannot be read.
QString getPrivateProfileString(const QString &section, const QString &key, const QString &filePath);

// Sets `key` in `section` to `value`:
//  - an existing key line (the first one, in the first matching section) is
//    rewritten in place; the key keeps its spelling and the text before its
//    value, and the line keeps its line end;
//  - a missing key is added after the last key line of its section (before any
//    blank lines, comments or unknown lines that follow it), or right after
//    the section line when the section has no key yet;
//  - a missing section is added at the end of the file;
//  - a missing file, and its folder, are created.
// New lines take the line end the file already uses (LF for a new file).
// The file keeps its encoding (UTF-8, or Latin-1), its byte-order mark and
// every byte outside the line written (a new file is UTF-8).
// The file is written to a temporary file in the same folder and renamed over
// the old one, so a crash or a full disk never leaves half a file behind.
// Blanks around `section` and `key` are ignored, as on reading.
// Returns false, leaving the file as it was, when the file cannot be read or
// written, or when the names or the value could not be read back as written:
// a character the file's encoding cannot hold (a euro sign in a Latin-1
// file), an empty or blank `section` or `key`, a line break anywhere (it
// would split the line), a ']' in `section`, a '=' in `key`, or a `key`
// starting with ';', '#' or '[' (the line would read as a comment or a
// section).
bool writePrivateProfileString(const QString &section, const QString &key, const QString &value,
                               const QString &filePath);

} // namespace tavrel
