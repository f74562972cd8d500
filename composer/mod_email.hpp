// modEmail: the composer's small shared functions: paths, colours, settings, errors,
// temporary files and the mouse pointer.
#pragma once

#include <QString>

#include <cstdint>

#include <postwing/send_mail.hpp>

class QWidget;

namespace modEmail {

// The settings section and keys, spelled as stored ("Sever" is the stored spelling).
inline constexpr const char* kSection = "Configuration";
inline constexpr const char* kKeyServer = "SMTP Sever";
inline constexpr const char* kKeyPort = "SMTP Sever Port";
inline constexpr const char* kKeyUser = "User";
inline constexpr const char* kKeyPassword = "Password";
inline constexpr const char* kKeyFromAddress = "From Address";
inline constexpr const char* kKeyConfigured = "Configured";
inline constexpr const char* kKeySecurity = "Security";
inline constexpr const char* kKeyGeometry = "Window Geometry";
inline constexpr const char* kKeySpelling = "Spelling Language";

// The path followed by "/" unless it already ends with a separator; "" gives "/".
QString AddBackslash(const QString& path);
// The text after the last separator ("/" or "\"), trimmed; then after the last ":" if
// any. A path without a separator gives "".
QString FileNamePart(const QString& path);
// The text up to and including the last separator, trimmed; "" without one.
QString FolderPart(const QString& path);
// A colour with red in the lowest byte as six upper-case hex digits red, green, blue.
QString ColorToHtml(int32_t colour);
// The first character of pad repeated (width - length of s) times, then s.
// Raises postwing::Exception 5 when s is longer than width.
QString PadLeft(const QString& s, int32_t width, const QString& pad);
// Restores the default pointer and shows the message in a box titled "Error Message".
void ShowError(const QString& message, QWidget* parent = nullptr);

// $TMPDIR or /tmp, ending with "/". Raises postwing::Exception (errno, "postWing",
// "Error determining TempPath").
QString TempPath();
// A new empty file "~pw..." in TempPath; the caller deletes it. Raises
// postwing::Exception (errno, "postWing", "Error determining TempFileName").
QString TempFileName();

// The per-user folders of the composer (XDG): data (drafts live below it) and config.
QString DataFolder();
QString DraftsFolder();
QString SettingsFileName();
// Reads a value of the "Configuration" section, or def when it is missing.
QString GetSetting(const QString& key, const QString& def);
// Writes a value; the settings file is kept readable by its owner only (0600).
// Raises postwing::Exception when the store cannot be written.
void SaveSetting(const QString& key, const QString& value);

// The text as a Boolean the way the automation runtime converts it: "True"/"False" in
// any case, or a number (0 is false). Raises postwing::Exception 13 otherwise.
bool TextToBoolean(const QString& text);
// The number at the start of the text (leading blanks skipped; none gives 0), rounded to
// the nearest whole number, halves to even. Raises postwing::Exception 6 beyond 32 bits.
int32_t LeadingNumberToLong(const QString& text);
// The stored "Security" text ("None", "STARTTLS", "TLS"; "" is None) as the library's
// value. Raises postwing::Exception 13 for any other text, so a typo never sends in clear.
postwing::SecurityTypes SecurityFromText(const QString& text);

// Twips (1/1440 inch) and pixels at the widget's logical DPI.
int TwipsToPixelsX(int twips, const QWidget* widget);
int TwipsToPixelsY(int twips, const QWidget* widget);
int PixelsToTwipsX(int pixels, const QWidget* widget);
int PixelsToTwipsY(int pixels, const QWidget* widget);
// Places a widget at a rectangle given in twips.
void PlaceTwips(QWidget* widget, int left, int top, int width, int height);

// The mouse pointers the windows use.
enum class MousePointer { Default, Hourglass, ArrowHourglass };
void SetMousePointer(MousePointer pointer);

// The description of any exception, for ShowError.
QString DescriptionOf(const std::exception& error);

}  // namespace modEmail
