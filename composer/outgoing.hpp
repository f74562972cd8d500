// The message as the reader gets it: the editor's document turned into clean HTML with its
// pictures as inline parts, a plain-text rendering, and checked address lists.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <vector>

class QTextDocument;

namespace composer {

// A picture of the document: the name it has there and the bytes that go out.
struct InlineImage {
  QString name;
  QString fileName;
  QByteArray data;
};

// The pictures of the document, each once, in the order they first appear. A picture that
// cannot be read is left out (its reference then stays as it is).
std::vector<InlineImage> ImagesOf(const QTextDocument& document);

// The document as a normal HTML document: no markup only Qt reads (its meta tag and
// "-qt-" styles; indentation becomes a margin), picture sources replaced through sources.
QString CleanHtml(const QTextDocument& document, const std::map<QString, QString>& sources = {});

// The text a reader without HTML sees: one line per paragraph, line breaks kept, list
// items as "- " or "1. ", links as "text <url>".
QString PlainTextOf(const QTextDocument& document);

// The entries of an address list separated by "," or ";" (not inside quotes, angle
// brackets or comments), trimmed, empty ones left out.
QStringList SplitAddresses(const QString& list);
// The first entry that is no mail address, or an empty text when all are.
QString FirstMalformedAddress(const QString& list);

}  // namespace composer
