#include "mailto.hpp"

#include <QRegularExpression>
#include <QStringList>

namespace composer {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" is one octet of UTF-8; a "%" without two hex digits stays as it is, and "+" is a
// plus sign, not a space (RFC 6068, unlike forms).
QString PercentDecode(const QString& text) {
  const QByteArray in = text.toUtf8();
  QByteArray out;
  out.reserve(in.size());
  for (qsizetype i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() && HexDigit(in[i + 1]) >= 0 && HexDigit(in[i + 2]) >= 0) {
      out.append(char(HexDigit(in[i + 1]) * 16 + HexDigit(in[i + 2])));
      i += 2;
    } else {
      out.append(in[i]);
    }
  }
  return QString::fromUtf8(out);
}

// A header box holds one line: line breaks in a link's field become a space, so no text of
// a link can start a header field of its own.
QString OneLine(const QString& text) {
  static const QRegularExpression kBreaks("[\\r\\n]+");
  return QString(text).replace(kBreaks, " ").trimmed();
}

void AppendAddresses(QString& list, const QString& encoded) {
  for (const QString& part : PercentDecode(encoded).split(',')) {
    const QString address = OneLine(part);
    if (address.isEmpty()) continue;
    list += (list.isEmpty() ? "" : "; ") + address;
  }
}

}  // namespace

std::optional<MailtoLink> ParseMailto(const QString& link) {
  static const QString kScheme = "mailto:";
  if (!link.startsWith(kScheme, Qt::CaseInsensitive)) return std::nullopt;
  const QString rest = link.mid(kScheme.size());
  const qsizetype question = rest.indexOf('?');
  MailtoLink result;
  AppendAddresses(result.to, rest.left(question));
  if (question < 0) return result;
  for (const QString& field : rest.mid(question + 1).split('&', Qt::SkipEmptyParts)) {
    const qsizetype eq = field.indexOf('=');
    const QString name = PercentDecode(field.left(eq)).toLower();
    const QString value = eq < 0 ? QString() : field.mid(eq + 1);
    if (name == "to") {
      AppendAddresses(result.to, value);
    } else if (name == "cc") {
      AppendAddresses(result.cc, value);
    } else if (name == "bcc") {
      AppendAddresses(result.bcc, value);
    } else if (name == "subject") {
      result.subject = OneLine(PercentDecode(value));
    } else if (name == "body") {
      result.body = PercentDecode(value).replace("\r\n", "\n").replace('\r', '\n');
    }
  }
  return result;
}

}  // namespace composer
