// mailto: links (RFC 6068), as a desktop hands them to the program that writes mail.
#pragma once

#include <QString>

#include <optional>

namespace composer {

// What a link fills in. Address lists are joined with ";", as the address boxes take them.
struct MailtoLink {
  QString to;
  QString cc;
  QString bcc;
  QString subject;
  QString body;  // lines end with "\n"
};

// Reads a mailto: link; nothing when the text is not one. Fields other than to, cc, bcc,
// subject and body are ignored, as RFC 6068 advises for a link's unsafe headers.
std::optional<MailtoLink> ParseMailto(const QString& link);

}  // namespace composer
