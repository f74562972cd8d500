// The library's module functions: files, content types, temporary files, time zone,
// GUID and host name. Text is one character per byte.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace postwing::platform {

// The whole file as text; an empty file gives the empty text. Raises postwing::Exception
// with a file error (53 file not found, 70 permission denied, 75 path/file access).
std::string ReadWholeFile(const std::string& path);
// Raises the runtime file error for an errno of open, read or write (a missing file is 53
// when read, 76 when written).
[[noreturn]] void RaiseFileError(int err, bool writing);
// A large buffer about to be filled front to back: asks for huge pages, which save most of
// its page faults (a 100 MiB buffer would take 25,000). Only a hint; ignored where unsupported.
void AdviseLargeBuffer(void* data, size_t size);
// Creates or truncates the file and writes exactly the text's bytes.
void WriteWholeFile(const std::string& path, std::string_view text);
// The registered MIME type for the name's extension, or empty text.
std::string ContentTypeForFileName(std::string_view name);
// The registered MIME type for an extension (any case; dots are ignored), or empty text.
std::string ContentTypeForExtension(std::string_view extension);
// The extension without the dot (trimmed of spaces), or empty text; "/" and "\" both
// separate paths, so a dot in a directory name gives no extension.
std::string ExtensionOf(std::string_view name);
// The last path segment: the text after the last "/" or "\", trimmed of spaces; a text
// without either separator is the name itself.
std::string FileNameOf(std::string_view path);
// True when an existing non-directory file has this path.
bool IsExistingFile(const std::string& path);
// $TMPDIR or /tmp, ending with "/".
std::string TempPath();
// Creates a new empty file "~pw..." in TempPath and returns its path; the caller deletes it.
std::string TempFileName();
// The text after the first "@", or the whole text.
std::string DomainOf(std::string_view address);
// The local zone's offset from UTC now, e.g. "+0100", "-0500".
std::string TimeZoneText();
// The local date and time now, and the zone's offset from UTC then, in minutes east (daylight
// saving time included). A change of the zone is seen within a minute.
std::tm LocalTimeNow(int& offset_minutes);
// The rule behind TimeZoneText: bias in minutes (UTC = local + bias).
std::string TimeZoneText(int bias_minutes, int daylight_bias_minutes, bool daylight_in_effect);
// A new random GUID, 36 upper-case characters with dashes, or empty text.
std::string NewGuidText();
// The host name, or "UNKNOWN".
std::string ComputerName();

}  // namespace postwing::platform
