#include "outgoing.hpp"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QUrl>

#include <set>

namespace composer {

namespace {

// The file behind a picture name, or "" when the picture lives only in the document.
QString LocalFileOf(const QTextDocument& document, const QString& name) {
  QUrl url(name);
  if (url.isRelative()) url = document.baseUrl().resolved(url);
  if (url.isLocalFile() && QFileInfo::exists(url.toLocalFile())) return url.toLocalFile();
  return QUrl(name).scheme().isEmpty() && QFileInfo::exists(name) ? name : QString();
}

QByteArray Png(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

// A style attribute's declarations without Qt's own; its block indent becomes a margin of
// the indent width Qt draws (40 px a step).
QString CleanStyle(const QString& style) {
  QStringList kept;
  int indent = 0;
  for (const QString& part : style.split(u';', Qt::SkipEmptyParts)) {
    const QString d = part.trimmed();
    if (d.isEmpty()) continue;
    if (d.startsWith("-qt-block-indent:")) {
      indent = d.mid(17).trimmed().toInt();
    } else if (!d.startsWith("-qt-")) {
      kept << d;
    }
  }
  if (indent > 0) {
    kept.removeIf([](const QString& d) { return d.startsWith("margin-left"); });
    kept << QStringLiteral("margin-left:%1px").arg(indent * 40);
  }
  return kept.join("; ");
}

QString Unescape(QString s) {
  s.replace("&quot;", "\"").replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&");
  return s;
}

}  // namespace

std::vector<InlineImage> ImagesOf(const QTextDocument& document) {
  std::vector<InlineImage> images;
  std::set<QString> seen;
  std::set<QString> file_names;
  for (QTextBlock b = document.begin(); b.isValid(); b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat f = it.fragment().charFormat();
      if (!f.isImageFormat()) continue;
      const QString name = f.toImageFormat().name();
      if (!seen.insert(name).second) continue;
      InlineImage image{name, {}, {}};
      if (const QString path = LocalFileOf(document, name); !path.isEmpty()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) continue;
        image.data = file.readAll();
        image.fileName = QFileInfo(path).fileName();
      } else {
        const QVariant r = document.resource(QTextDocument::ImageResource, QUrl(name));
        if (r.canConvert<QImage>() && !r.value<QImage>().isNull()) {
          image.data = Png(r.value<QImage>());
        } else if (r.canConvert<QPixmap>() && !r.value<QPixmap>().isNull()) {
          image.data = Png(r.value<QPixmap>().toImage());
        } else {
          continue;
        }
        image.fileName = QStringLiteral("image%1.png").arg(images.size() + 1);
      }
      // Names are keys of the message's parts: the second "logo.png" goes as "logo-2.png".
      for (int n = 2; !file_names.insert(image.fileName.toLower()).second; ++n) {
        const QFileInfo info(image.fileName);
        image.fileName = info.completeBaseName().section('-', 0, 0) + "-" + QString::number(n) +
                         (info.suffix().isEmpty() ? "" : "." + info.suffix());
      }
      images.push_back(std::move(image));
    }
  }
  return images;
}

QString CleanHtml(const QTextDocument& document, const std::map<QString, QString>& sources) {
  QString html = document.toHtml();
  static const QRegularExpression meta(QStringLiteral(R"(<meta name="qrichtext"[^>]*>)"));
  html.remove(meta);
  static const QRegularExpression style(QStringLiteral(R"re( style="([^"]*)")re"));
  QString out;
  qsizetype last = 0;
  for (auto it = style.globalMatch(html); it.hasNext();) {
    const auto m = it.next();
    out += html.mid(last, m.capturedStart() - last);
    const QString cleaned = CleanStyle(m.captured(1));
    if (!cleaned.isEmpty()) out += " style=\"" + cleaned + "\"";
    last = m.capturedEnd();
  }
  out += html.mid(last);
  if (sources.empty()) return out;
  static const QRegularExpression img(QStringLiteral(R"re((<img\b[^>]*?\bsrc=")([^"]*)("))re"));
  QString result;
  last = 0;
  for (auto it = img.globalMatch(out); it.hasNext();) {
    const auto m = it.next();
    const auto found = sources.find(Unescape(m.captured(2)));
    result += out.mid(last, m.capturedStart(2) - last);
    result += found == sources.end() ? m.captured(2) : found->second.toHtmlEscaped();
    last = m.capturedEnd(2);
  }
  return result + out.mid(last);
}

QString PlainTextOf(const QTextDocument& document) {
  QStringList lines;
  for (QTextBlock b = document.begin(); b.isValid(); b = b.next()) {
    QString line;
    if (QTextList* list = b.textList()) {
      line += QString(2 * std::max(0, list->format().indent() - 1), u' ');
      const bool numbered = list->format().style() <= QTextListFormat::ListDecimal;
      line += numbered ? list->itemText(b) + " " : QStringLiteral("- ");
    }
    QString href, link_text;
    auto close_link = [&] {
      if (!href.isEmpty() && link_text.trimmed() != href) line += " <" + href + ">";
      href.clear();
      link_text.clear();
    };
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      const QTextCharFormat cf = f.charFormat();
      const QString fragment_href = cf.isAnchor() ? cf.anchorHref() : QString();
      if (fragment_href != href) close_link();
      if (cf.isImageFormat()) {
        line += "[image]";
        continue;
      }
      QString text = f.text();
      text.replace(QChar::LineSeparator, u'\n').replace(QChar::Nbsp, u' ');
      href = fragment_href;
      link_text += text;
      line += text;
    }
    close_link();
    lines << line;
  }
  while (!lines.isEmpty() && lines.last().trimmed().isEmpty()) lines.removeLast();
  return lines.join("\r\n").replace(u'\n', "\r\n").replace("\r\r\n", "\r\n") + "\r\n";
}

QStringList SplitAddresses(const QString& list) {
  QStringList entries;
  QString current;
  bool quoted = false;
  int angle = 0, comment = 0;
  for (qsizetype i = 0; i < list.size(); ++i) {
    const QChar c = list[i];
    if (quoted) {
      if (c == u'\\' && i + 1 < list.size())
        current += list[i++];
      else if (c == u'"')
        quoted = false;
    } else if (c == u'"') {
      quoted = true;
    } else if (c == u'<') {
      ++angle;
    } else if (c == u'>') {
      angle = std::max(0, angle - 1);
    } else if (c == u'(') {
      ++comment;
    } else if (c == u')') {
      comment = std::max(0, comment - 1);
    } else if ((c == u',' || c == u';') && angle == 0 && comment == 0) {
      if (!current.trimmed().isEmpty()) entries << current.trimmed();
      current.clear();
      continue;
    }
    current += c;
  }
  if (!current.trimmed().isEmpty()) entries << current.trimmed();
  return entries;
}

QString FirstMalformedAddress(const QString& list) {
  static const QRegularExpression address(QStringLiteral(
      R"(^[^\s@<>(),;:"\[\]\\]+@[A-Za-z0-9\x{80}-\x{10FFFF}]([A-Za-z0-9.\-\x{80}-\x{10FFFF}]*[A-Za-z0-9\x{80}-\x{10FFFF}])?$)"));
  static const QRegularExpression named(
      QStringLiteral(R"(^(?:"(?:[^"\\]|\\.)*"|[^<>"]*)\s*<([^<>]*)>\s*(?:\([^()]*\))?$)"));
  for (const QString& entry : SplitAddresses(list)) {
    const auto m = named.match(entry);
    QString bare = m.hasMatch() ? m.captured(1).trimmed() : entry;
    if (!m.hasMatch()) bare.remove(QRegularExpression(QStringLiteral(R"(\s*\([^()]*\)\s*)")));
    if (!address.match(bare).hasMatch() || bare.contains("..")) return entry;
  }
  return {};
}

}  // namespace composer
