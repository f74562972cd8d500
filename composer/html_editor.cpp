#include "html_editor.hpp"

#include <QBuffer>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringConverter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextList>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

#include <postwing/exception.hpp>

#include "dialogs.hpp"
#include "spell_checker.hpp"

namespace composer {

namespace {

const QString kNormal = QStringLiteral("Normal");
const QString kFormatted = QStringLiteral("Formatted");
const QString kNumbered = QStringLiteral("Numbered List");
const QString kBulleted = QStringLiteral("Bulleted List");

// The size steps that Qt's own HTML import gives <h1> to <h6>.
int HeadingSizeAdjustment(int level) {
  return 4 - level;
}

[[noreturn]] void RaiseArgument(const std::string& what) {
  throw postwing::Exception(5, "composer", what);
}

// Calls f with a cursor selecting each run of text with one format inside [from, to).
// The runs are collected first: changing a format merges and splits fragments.
void ForEachFragment(QTextDocument* doc, int from, int to,
                     const std::function<void(QTextCursor&, QTextCharFormat)>& f) {
  struct Run {
    int start, end;
    QTextCharFormat format;
  };
  std::vector<Run> runs;
  for (QTextBlock block = doc->findBlock(from); block.isValid() && block.position() <= to;
       block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const int start = std::max(fragment.position(), from);
      const int end = std::min(fragment.position() + fragment.length(), to);
      if (start < end) runs.push_back({start, end, fragment.charFormat()});
    }
  }
  for (Run& run : runs) {
    QTextCursor c(doc);
    c.setPosition(run.start);
    c.setPosition(run.end, QTextCursor::KeepAnchor);
    f(c, run.format);
  }
}

QTextCharFormat WithoutProperties(QTextCharFormat format, std::initializer_list<int> properties) {
  for (int p : properties) format.clearProperty(p);
  return format;
}

}  // namespace

HtmlEditor::HtmlEditor(QWidget* parent) : QTextEdit(parent) {
  setAcceptRichText(true);
  setTabChangesFocus(false);
  document()->setDocumentMargin(6);
  document()->setModified(false);
}

QStringList HtmlEditor::FormatNames() {
  return {kNormal,     kFormatted,  "Heading 1", "Heading 2", "Heading 3",
          "Heading 4", "Heading 5", "Heading 6", kNumbered,   kBulleted};
}

QString HtmlEditor::CurrentFormatName() const {
  const QTextCursor c = textCursor();
  if (QTextList* list = c.currentList()) {
    switch (list->format().style()) {
      case QTextListFormat::ListDecimal:
      case QTextListFormat::ListLowerAlpha:
      case QTextListFormat::ListUpperAlpha:
      case QTextListFormat::ListLowerRoman:
      case QTextListFormat::ListUpperRoman:
        return kNumbered;
      default:
        return kBulleted;
    }
  }
  const QTextBlockFormat bf = c.blockFormat();
  if (bf.headingLevel() >= 1 && bf.headingLevel() <= 6) {
    return QStringLiteral("Heading %1").arg(bf.headingLevel());
  }
  if (bf.nonBreakableLines()) return kFormatted;
  return kNormal;
}

QVariant HtmlEditor::ExecCommand(int command, int option, const QVariant& argument) {
  QVariant copy = argument;
  return ExecCommand(command, option, copy);
}

QVariant HtmlEditor::ExecCommand(int command, int /*option*/, QVariant& argument) {
  switch (command) {
    case DECMD_BOLD:
    case DECMD_ITALIC:
    case DECMD_UNDERLINE:
      ToggleCharProperty(command);
      break;
    case DECMD_COPY:
      copy();
      break;
    case DECMD_CUT:
      cut();
      break;
    case DECMD_DELETE: {
      QTextCursor c = textCursor();
      if (c.hasSelection()) {
        c.removeSelectedText();
      } else {
        c.deleteChar();
      }
      setTextCursor(c);
      break;
    }
    case DECMD_FINDTEXT:
      FindText();
      break;
    case DECMD_FONT:
      ChooseFont();
      break;
    case DECMD_GETBACKCOLOR:
      return BackgroundColour();
    case DECMD_GETBLOCKFMT:
      return CurrentFormatName();
    case DECMD_GETBLOCKFMTNAMES:
      argument = FormatNames();
      break;
    case DECMD_HYPERLINK:
      InsertHyperlink();
      break;
    case DECMD_IMAGE:
      InsertImage();
      break;
    case DECMD_INDENT:
      ChangeIndent(+1);
      break;
    case DECMD_OUTDENT:
      ChangeIndent(-1);
      break;
    case DECMD_JUSTIFYCENTER:
      SetAlignment(Qt::AlignHCenter);
      break;
    case DECMD_JUSTIFYLEFT:
      SetAlignment(Qt::AlignLeft);
      break;
    case DECMD_JUSTIFYRIGHT:
      SetAlignment(Qt::AlignRight);
      break;
    case DECMD_PASTE:
      paste();
      break;
    case DECMD_REDO:
      redo();
      break;
    case DECMD_UNDO:
      undo();
      break;
    case DECMD_REMOVEFORMAT:
      RemoveFormat();
      break;
    case DECMD_SELECTALL:
      selectAll();
      break;
    case DECMD_SETBACKCOLOR:
      SetBackgroundColour(argument.toString());
      break;
    case DECMD_SETBLOCKFMT:
      SetBlockFormat(argument.toString());
      break;
    case DECMD_UNLINK:
      RemoveHyperlink();
      break;
    case DECMD_PROPERTIES:
      EditProperties();
      break;
    default:
      RaiseArgument("The editing command " + std::to_string(command) + " is not supported.");
  }
  return {};
}

int HtmlEditor::QueryStatus(int command) const {
  const QTextCursor c = textCursor();
  const bool editable = !isReadOnly();
  auto enabled_if = [](bool on) { return on ? kEnabled : kDisabled; };
  auto latched_if = [&](bool on) { return editable ? (on ? kLatched : kEnabled) : kDisabled; };
  const QTextCharFormat cf = c.charFormat();
  const Qt::Alignment align =
      c.blockFormat().alignment() & Qt::AlignHorizontal_Mask & ~Qt::AlignAbsolute;
  switch (command) {
    case DECMD_BOLD:
      return latched_if(cf.fontWeight() >= QFont::DemiBold);
    case DECMD_ITALIC:
      return latched_if(cf.fontItalic());
    case DECMD_UNDERLINE:
      return latched_if(cf.fontUnderline() && !cf.isAnchor());
    case DECMD_JUSTIFYLEFT:
      return latched_if(align == Qt::AlignLeft || align == Qt::AlignLeading || align == 0);
    case DECMD_JUSTIFYCENTER:
      return latched_if(align == Qt::AlignHCenter);
    case DECMD_JUSTIFYRIGHT:
      return latched_if(align == Qt::AlignRight || align == Qt::AlignTrailing);
    case DECMD_COPY:
      return enabled_if(c.hasSelection());
    case DECMD_CUT:
      return enabled_if(editable && c.hasSelection());
    case DECMD_DELETE:
      return enabled_if(editable && (c.hasSelection() || !c.atEnd()));
    case DECMD_FINDTEXT:
      return enabled_if(!document()->isEmpty());
    case DECMD_PASTE:
      return enabled_if(editable && canPaste());
    case DECMD_UNDO:
      return enabled_if(editable && document()->isUndoAvailable());
    case DECMD_REDO:
      return enabled_if(editable && document()->isRedoAvailable());
    case DECMD_UNLINK:
      return enabled_if(editable && cf.isAnchor());
    case DECMD_PROPERTIES:
      return enabled_if(editable && (cf.isAnchor() || AtImage()));
    case DECMD_OUTDENT:
      return enabled_if(editable && (c.blockFormat().indent() > 0 || c.currentList()));
    case DECMD_FONT:
    case DECMD_HYPERLINK:
    case DECMD_IMAGE:
    case DECMD_INDENT:
    case DECMD_REMOVEFORMAT:
    case DECMD_SETBACKCOLOR:
    case DECMD_SETBLOCKFMT:
      return enabled_if(editable);
    case DECMD_SELECTALL:
    case DECMD_GETBACKCOLOR:
    case DECMD_GETBLOCKFMT:
    case DECMD_GETBLOCKFMTNAMES:
      return kEnabled;
    default:
      return kNotSupported;
  }
}

void HtmlEditor::ToggleCharProperty(int command) {
  const int status = QueryStatus(command);
  const bool on = status != kLatched;
  QTextCharFormat f;
  if (command == DECMD_BOLD) f.setFontWeight(on ? QFont::Bold : QFont::Normal);
  if (command == DECMD_ITALIC) f.setFontItalic(on);
  if (command == DECMD_UNDERLINE) f.setFontUnderline(on);
  mergeCurrentCharFormat(f);
}

void HtmlEditor::SetAlignment(Qt::Alignment alignment) {
  setAlignment(alignment | Qt::AlignAbsolute);
}

void HtmlEditor::SetBlockFormat(const QString& name) {
  int level = 0;
  if (name.startsWith("Heading ")) level = name.mid(8).toInt();
  const bool heading = level >= 1 && level <= 6;
  const bool list = name == kNumbered || name == kBulleted;
  if (!heading && !list && name != kNormal && name != kFormatted) {
    RaiseArgument("\"" + name.toStdString() + "\" is not a paragraph format of the editor.");
  }
  QTextCursor c = textCursor();
  c.beginEditBlock();
  const int from = document()->findBlock(c.selectionStart()).position();
  const QTextBlock last = document()->findBlock(c.selectionEnd());
  const int to = last.position() + last.length() - 1;

  // Leave what the paragraph was before: list membership, heading and pre formatting.
  for (QTextBlock b = document()->findBlock(from); b.isValid() && b.position() <= to;
       b = b.next()) {
    QTextCursor bc(b);
    if (QTextList* l = b.textList(); l && !list) l->remove(b);
    QTextBlockFormat bf = b.blockFormat();
    const bool was_heading = bf.headingLevel() > 0;
    const bool was_pre = bf.nonBreakableLines();
    bf.setHeadingLevel(0);
    bf.setNonBreakableLines(false);
    if (!list) bf.setIndent(0);
    bf.setTopMargin(0);
    bf.setBottomMargin(0);
    bc.setBlockFormat(bf);
    if (was_heading || was_pre) {
      ForEachFragment(document(), b.position(), b.position() + b.length() - 1,
                      [&](QTextCursor& fc, QTextCharFormat f) {
                        fc.setCharFormat(WithoutProperties(
                            f, {QTextFormat::FontSizeAdjustment, QTextFormat::FontWeight,
                                QTextFormat::FontFamilies, QTextFormat::FontFixedPitch}));
                      });
      bc.setBlockCharFormat(WithoutProperties(
          bc.blockCharFormat(), {QTextFormat::FontSizeAdjustment, QTextFormat::FontWeight,
                                 QTextFormat::FontFamilies, QTextFormat::FontFixedPitch}));
    }
  }

  QTextCharFormat cf;
  QTextBlockFormat bf;
  bool char_change = false;
  if (heading) {
    bf.setHeadingLevel(level);
    bf.setTopMargin(12);
    bf.setBottomMargin(6);
    cf.setFontWeight(QFont::Bold);
    cf.setProperty(QTextFormat::FontSizeAdjustment, HeadingSizeAdjustment(level));
    char_change = true;
  } else if (name == kFormatted) {
    bf.setNonBreakableLines(true);
    cf.setFontFamilies(QStringList{"monospace"});
    cf.setFontFixedPitch(true);
    char_change = true;
  }
  QTextCursor range(document());
  range.setPosition(from);
  range.setPosition(to, QTextCursor::KeepAnchor);
  if (heading || name == kFormatted) range.mergeBlockFormat(bf);
  if (char_change) {
    range.mergeCharFormat(cf);
    range.mergeBlockCharFormat(cf);
  }
  if (list) {
    const auto style = name == kNumbered ? QTextListFormat::ListDecimal : QTextListFormat::ListDisc;
    if (QTextList* l = range.currentList()) {
      QTextListFormat lf = l->format();
      lf.setStyle(style);
      l->setFormat(lf);
    } else {
      range.createList(style);
    }
  }
  c.endEditBlock();
  if (char_change) mergeCurrentCharFormat(cf);
}

void HtmlEditor::ChangeIndent(int delta) {
  QTextCursor c = textCursor();
  c.beginEditBlock();
  QTextBlockFormat bf = c.blockFormat();
  if (delta < 0 && bf.indent() == 0) {
    if (QTextList* l = c.currentList()) l->remove(c.block());
  } else {
    bf.setIndent(std::max(0, bf.indent() + delta));
    c.setBlockFormat(bf);
  }
  c.endEditBlock();
}

void HtmlEditor::RemoveFormat() {
  QTextCursor c = textCursor();
  if (!c.hasSelection()) {
    setCurrentCharFormat(QTextCharFormat());
    return;
  }
  c.beginEditBlock();
  ForEachFragment(document(), c.selectionStart(), c.selectionEnd(),
                  [](QTextCursor& fc, QTextCharFormat f) {
                    QTextCharFormat plain;
                    if (f.isAnchor()) {  // links are content, not formatting
                      plain.setAnchor(true);
                      plain.setAnchorHref(f.anchorHref());
                      plain.setFontUnderline(true);
                      plain.setForeground(f.foreground());
                    }
                    fc.setCharFormat(plain);
                  });
  c.endEditBlock();
}

void HtmlEditor::InsertHyperlink() {
  QTextCursor c = textCursor();
  const QString current = c.charFormat().isAnchor() ? c.charFormat().anchorHref() : "https://";
  const QString selected = c.selectedText();
  auto link = CurrentDialogs().Link(this, selected, current);
  if (!link) return;
  const QString text = link->first.isEmpty() ? link->second : link->first;
  QTextCharFormat f;
  f.setAnchor(true);
  f.setAnchorHref(link->second);
  f.setFontUnderline(true);
  f.setForeground(palette().link());
  if (c.hasSelection() && text == selected) {
    c.mergeCharFormat(f);
    return;
  }
  c.insertText(text, f);
  setTextCursor(c);
  setCurrentCharFormat(WithoutProperties(
      c.charFormat(), {QTextFormat::IsAnchor, QTextFormat::AnchorHref,
                       QTextFormat::TextUnderlineStyle, QTextFormat::ForegroundBrush}));
}

void HtmlEditor::RemoveHyperlink() {
  QTextCursor c = textCursor();
  int from = c.selectionStart(), to = c.selectionEnd();
  if (!c.hasSelection()) {
    // The whole link around the cursor.
    const QString href = c.charFormat().anchorHref();
    const QTextBlock block = c.block();
    from = to = c.position();
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      if (!f.charFormat().isAnchor() || f.charFormat().anchorHref() != href) continue;
      const int fs = f.position(), fe = f.position() + f.length();
      if (fe >= from && fs <= to) {
        from = std::min(from, fs);
        to = std::max(to, fe);
      }
    }
  }
  c.beginEditBlock();
  ForEachFragment(document(), from, to, [](QTextCursor& fc, QTextCharFormat f) {
    if (!f.isAnchor()) return;
    fc.setCharFormat(
        WithoutProperties(f, {QTextFormat::IsAnchor, QTextFormat::AnchorHref,
                              QTextFormat::TextUnderlineStyle, QTextFormat::ForegroundBrush}));
  });
  c.endEditBlock();
}

bool HtmlEditor::AtImage() const {
  QTextCursor c = textCursor();
  if (c.charFormat().isImageFormat()) return true;
  QTextCursor next = c;
  next.clearSelection();
  if (next.atBlockEnd()) return false;
  next.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
  return next.charFormat().isImageFormat();
}

void HtmlEditor::InsertImage() {
  const QString path = CurrentDialogs().OpenFileName(
      this, "Insert Image", {}, "Images (*.png *.jpg *.jpeg *.gif *.bmp);;All Files (*)");
  if (path.isEmpty()) return;
  QTextImageFormat image;
  image.setName(QUrl::fromLocalFile(path).toString());
  textCursor().insertImage(image);
}

void HtmlEditor::EditProperties() {
  QTextCursor c = textCursor();
  if (c.charFormat().isAnchor()) {
    auto url =
        CurrentDialogs().Text(this, "Hyperlink Properties", "URL:", c.charFormat().anchorHref());
    if (!url) return;
    QTextCursor range = c;
    if (!range.hasSelection()) range.select(QTextCursor::WordUnderCursor);
    QTextCharFormat f;
    f.setAnchorHref(url->trimmed());
    range.mergeCharFormat(f);
    return;
  }
  if (!AtImage()) return;
  QTextCursor range = c;
  if (!range.charFormat().isImageFormat()) {
    range.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
  } else if (!range.hasSelection()) {
    range.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor);
  }
  QTextImageFormat image = range.charFormat().toImageFormat();
  auto source = CurrentDialogs().Text(this, "Image Properties", "Picture source:", image.name());
  if (!source) return;
  image.setName(source->trimmed());
  range.setCharFormat(image);
}

void HtmlEditor::FindText() {
  auto what = CurrentDialogs().Text(this, "Find", "Find what:", last_find_);
  if (!what || what->isEmpty()) return;
  last_find_ = *what;
  if (find(last_find_)) return;
  QTextCursor start = textCursor();
  moveCursor(QTextCursor::Start);
  if (!find(last_find_)) {
    setTextCursor(start);
    CurrentDialogs().MessageBox(this, "The text \"" + last_find_ + "\" was not found.", "Find",
                                MsgBoxButtons::OkOnly, MsgBoxIcon::Information);
  }
}

void HtmlEditor::ChooseFont() {
  auto font = CurrentDialogs().Font(this, textCursor().charFormat().font());
  if (!font) return;
  QTextCharFormat f;
  f.setFont(*font);
  mergeCurrentCharFormat(f);
}

QString HtmlEditor::BackgroundColour() const {
  const QBrush b = document()->rootFrame()->frameFormat().background();
  QColor c = b.style() == Qt::NoBrush ? QColor(Qt::white) : b.color();
  return c.name(QColor::HexRgb).toUpper();
}

void HtmlEditor::SetBackgroundColour(const QString& hex) {
  static const QRegularExpression six(QStringLiteral("^[0-9A-Fa-f]{6}$"));
  QString h = hex.startsWith(u'#') ? hex.mid(1) : hex;
  if (!six.match(h).hasMatch()) {
    RaiseArgument("\"" + hex.toStdString() + "\" is not a colour of six hexadecimal digits.");
  }
  QTextFrameFormat f = document()->rootFrame()->frameFormat();
  f.setBackground(QColor("#" + h));
  QTextCursor c(document());
  c.beginEditBlock();
  document()->rootFrame()->setFrameFormat(f);
  c.endEditBlock();
  document()->setModified(true);
  viewport()->update();
}

void HtmlEditor::SetShowDetails(bool on) {
  show_details_ = on;
  QTextOption option = document()->defaultTextOption();
  auto flags = option.flags();
  flags.setFlag(QTextOption::ShowTabsAndSpaces, on);
  flags.setFlag(QTextOption::ShowLineAndParagraphSeparators, on);
  option.setFlags(flags);
  document()->setDefaultTextOption(option);
}

QString HtmlEditor::DocumentHTML() const {
  return toHtml();
}

void HtmlEditor::SetDocumentHTML(const QString& html) {
  setHtml(html);
  SetShowDetails(show_details_);
}

QString HtmlEditor::BodyInnerHTML() const {
  const QString html = toHtml();
  qsizetype open = html.indexOf("<body", 0, Qt::CaseInsensitive);
  if (open < 0) return html;
  qsizetype start = html.indexOf(u'>', open);
  qsizetype end = html.lastIndexOf("</body>", -1, Qt::CaseInsensitive);
  if (start < 0 || end < start) return html.mid(open);
  return html.mid(start + 1, end - start - 1);
}

void HtmlEditor::SetBodyInnerHTML(const QString& html) {
  // The body element itself stays: keep its background.
  const QTextFrameFormat root = document()->rootFrame()->frameFormat();
  const bool modified = document()->isModified();
  setHtml(html);
  document()->rootFrame()->setFrameFormat(root);
  SetShowDetails(show_details_);
  document()->setModified(modified);
}

QString HtmlEditor::BodyInnerText() const {
  return toPlainText();
}

void HtmlEditor::SetBodyInnerText(const QString& text) {
  const QTextFrameFormat root = document()->rootFrame()->frameFormat();
  const bool modified = document()->isModified();
  setPlainText(text);
  document()->rootFrame()->setFrameFormat(root);
  SetShowDetails(show_details_);
  document()->setModified(modified);
}

void HtmlEditor::NewDocument() {
  clear();
  source_view_ = false;
  document()->rootFrame()->setFrameFormat(QTextFrameFormat());
  document()->setDocumentMargin(6);
  setCurrentCharFormat(QTextCharFormat());
  SetShowDetails(show_details_);
  document()->clearUndoRedoStacks();
  document()->setModified(false);
  path_.clear();
}

bool HtmlEditor::LoadDocument(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray data = file.readAll();
  const QString suffix = QFileInfo(path).suffix().toLower();
  const bool html = suffix == "html" || suffix == "htm" ||
                    Qt::mightBeRichText(QString::fromUtf8(data.left(4096)));
  if (html) {
    auto encoding = QStringConverter::encodingForHtml(data).value_or(QStringConverter::Utf8);
    QStringDecoder decode(encoding);
    QString text = decode(data);
    // Pictures written into the file become pictures of the document again.
    std::vector<std::pair<QString, QImage>> pictures;
    static const QRegularExpression embedded(
        QStringLiteral(R"re(src="data:image/[a-z+.-]+;base64,([A-Za-z0-9+/=\s]*)")re"));
    for (auto m = embedded.match(text); m.hasMatch(); m = embedded.match(text, m.capturedStart())) {
      const QString name = QStringLiteral("pasted:image-%1.png").arg(++pasted_images_);
      pictures.emplace_back(name,
                            QImage::fromData(QByteArray::fromBase64(m.captured(1).toLatin1())));
      text.replace(m.capturedStart(), m.capturedLength(), "src=\"" + name + "\"");
    }
    setHtml(text);  // which drops the document's resources: add them after it
    for (const auto& [name, image] : pictures) {
      document()->addResource(QTextDocument::ImageResource, QUrl(name), image);
    }
    document()->markContentsDirty(0, document()->characterCount());
  } else {
    setPlainText(QString::fromUtf8(data));
  }
  document()->setBaseUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath() + "/"));
  SetShowDetails(show_details_);
  document()->clearUndoRedoStacks();
  document()->setModified(false);
  path_ = QFileInfo(path).absoluteFilePath();
  return true;
}

namespace {
QString ProposedFolder(const QString& proposed) {
  QString p = proposed;
  if (p.endsWith("*.*")) p.chop(3);
  return p;
}
}  // namespace

bool HtmlEditor::LoadDocumentWithDialog(const QString& proposed) {
  const QString path = CurrentDialogs().OpenFileName(this, "Open", ProposedFolder(proposed),
                                                     "HTML Files (*.html *.htm);;All Files (*)");
  if (path.isEmpty()) return false;
  if (!LoadDocument(path)) {
    throw postwing::Exception(53, "composer",
                              "The file " + path.toStdString() + " cannot be read.");
  }
  return true;
}

void HtmlEditor::SaveDocument(const QString& path) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(PortableHtml(saved_head_).toUtf8()) < 0 ||
      !file.commit()) {
    throw postwing::Exception(75, "composer",
                              "The document cannot be saved to " + path.toStdString() + ": " +
                                  file.errorString().toStdString());
  }
  document()->setModified(false);
  path_ = QFileInfo(path).absoluteFilePath();
}

QString HtmlEditor::PortableHtml(const QString& head) const {
  QString html = toHtml();
  if (!head.isEmpty()) {
    if (const qsizetype at = html.indexOf("<head>"); at >= 0) html.insert(at + 6, head);
  }
  for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat f = it.fragment().charFormat();
      if (!f.isImageFormat()) continue;
      const QString name = f.toImageFormat().name();
      const QVariant r = document()->resource(QTextDocument::ImageResource, QUrl(name));
      if (!name.startsWith("pasted:") || !r.canConvert<QImage>()) continue;
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      r.value<QImage>().save(&buffer, "PNG");
      html.replace("src=\"" + name + "\"", "src=\"data:image/png;base64," + png.toBase64() + "\"");
    }
  }
  return html;
}

bool HtmlEditor::SaveDocumentWithDialog(const QString& proposed) {
  QString path = CurrentDialogs().SaveFileName(this, "Save As", ProposedFolder(proposed),
                                               "HTML Files (*.html *.htm);;All Files (*)");
  if (path.isEmpty()) return false;
  if (QFileInfo(path).suffix().isEmpty()) path += ".html";
  SaveDocument(path);
  return true;
}

bool HtmlEditor::PrintDocument() {
  return CurrentDialogs().Print(this, document());
}

bool HtmlEditor::IsDirty() const {
  return document()->isModified();
}

void HtmlEditor::InsertImageData(const QImage& image) {
  if (image.isNull()) return;
  // A name with a scheme of its own: no base URL changes it and no file has it.
  const QUrl name(QStringLiteral("pasted:image-%1.png").arg(++pasted_images_));
  document()->addResource(QTextDocument::ImageResource, name, image);
  QTextImageFormat f;
  f.setName(name.toString());
  textCursor().insertImage(f);
}

void HtmlEditor::SetSourceView(bool on) {
  if (on == source_view_) return;
  const QString content = on ? BodyInnerHTML() : toPlainText();
  const QTextFrameFormat root = document()->rootFrame()->frameFormat();
  QTextCursor c(document());
  c.beginEditBlock();
  c.select(QTextCursor::Document);
  c.removeSelectedText();
  if (QTextList* l = c.currentList()) l->remove(c.block());
  c.setBlockFormat(QTextBlockFormat());
  c.setCharFormat(QTextCharFormat());
  if (on) {
    c.insertText(content);
  } else {
    c.insertHtml(Qt::mightBeRichText(content) ? content : Qt::convertFromPlainText(content));
  }
  c.endEditBlock();
  document()->rootFrame()->setFrameFormat(root);
  source_view_ = on;
}

bool HtmlEditor::canInsertFromMimeData(const QMimeData* source) const {
  return source->hasImage() || source->hasUrls() || QTextEdit::canInsertFromMimeData(source);
}

void HtmlEditor::insertFromMimeData(const QMimeData* source) {
  if (isReadOnly()) return;
  QStringList files;
  bool local = false;
  for (const QUrl& url : source->urls()) {
    if (!url.isLocalFile()) continue;
    local = true;
    const QString path = url.toLocalFile();
    if (QImageReader::imageFormat(path).isEmpty()) {
      files << path;
    } else {
      QTextImageFormat f;
      f.setName(url.toString());
      textCursor().insertImage(f);
    }
  }
  if (!files.isEmpty()) emit FilesDropped(files);
  if (local) return;
  if (source->hasImage()) {
    InsertImageData(qvariant_cast<QImage>(source->imageData()));
    return;
  }
  QTextEdit::insertFromMimeData(source);
}

bool HtmlEditor::event(QEvent* e) {
  if (e->type() == QEvent::ShortcutOverride) {
    auto* k = static_cast<QKeyEvent*>(e);
    const auto mods = k->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    // Let the window's Paste command have Ctrl+V; Shift+Insert goes to the key filter.
    if ((k->key() == Qt::Key_V && mods == Qt::ControlModifier) ||
        (k->key() == Qt::Key_Insert && mods == Qt::ShiftModifier)) {
      e->ignore();
      return true;
    }
  }
  return QTextEdit::event(e);
}

void HtmlEditor::focusInEvent(QFocusEvent* e) {
  QTextEdit::focusInEvent(e);
  emit FocusGained();
}

void HtmlEditor::focusOutEvent(QFocusEvent* e) {
  QTextEdit::focusOutEvent(e);
  // A menu opening over the editor does not take the user's attention away from it.
  // A menu opening over the editor, or the menu bar taken from the keyboard (Alt+E), does not
  // take the user's attention away from it.
  if (e->reason() != Qt::PopupFocusReason && e->reason() != Qt::MenuBarFocusReason) {
    emit FocusLost();
  }
}

void HtmlEditor::dropEvent(QDropEvent* e) {
  QTextEdit::dropEvent(e);
  emit Dropped();
}

void HtmlEditor::SetSpellLanguage(const QString& language) {
  if (!spelling_) spelling_ = new SpellChecker(document());
  spelling_->SetLanguage(language);
}

void HtmlEditor::contextMenuEvent(QContextMenuEvent* e) {
  std::unique_ptr<QMenu> menu(createStandardContextMenu(e->pos()));
  // A misspelt word under the pointer: its suggestions come first.
  QTextCursor word = cursorForPosition(e->pos());
  word.select(QTextCursor::WordUnderCursor);
  if (spelling_ && !word.selectedText().isEmpty() && !spelling_->IsCorrect(word.selectedText())) {
    QAction* first = menu->actions().value(0);
    const QStringList suggestions = spelling_->Suggestions(word.selectedText());
    for (const QString& s : suggestions) {
      QAction* a = new QAction(s, menu.get());
      connect(a, &QAction::triggered, this, [word, s]() mutable { word.insertText(s); });
      menu->insertAction(first, a);
    }
    if (suggestions.isEmpty())
      menu->insertAction(first, new QAction("(no suggestions)", menu.get()));
    menu->insertSeparator(first);
  }
  emit ContextMenuOpening();
  QAction* chosen = menu->exec(e->globalPos());
  if (chosen) emit ContextMenuAction(static_cast<int>(menu->actions().indexOf(chosen)));
}

void HtmlEditor::mouseReleaseEvent(QMouseEvent* e) {
  QTextEdit::mouseReleaseEvent(e);
  emit MouseUp();
}

void HtmlEditor::mouseDoubleClickEvent(QMouseEvent* e) {
  QTextEdit::mouseDoubleClickEvent(e);
  emit DoubleClicked();
}

void HtmlEditor::keyPressEvent(QKeyEvent* e) {
  bool suppress = false;
  emit KeyDown(e, &suppress);
  if (suppress) {
    e->accept();
    return;
  }
  const auto mods = e->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
  if (mods == Qt::ControlModifier && !isReadOnly()) {
    switch (e->key()) {
      case Qt::Key_B:
        ExecCommand(DECMD_BOLD);
        return;
      case Qt::Key_I:
        ExecCommand(DECMD_ITALIC);
        return;
      case Qt::Key_U:
        ExecCommand(DECMD_UNDERLINE);
        return;
      default:
        break;
    }
  }
  // Text typed at the end of a link is no longer part of it, as in every mail composer.
  if (const QTextCharFormat cf = currentCharFormat(); cf.isAnchor() && !e->text().isEmpty()) {
    QTextCursor next = textCursor();
    next.clearSelection();
    if (next.atBlockEnd() ||
        (next.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor) &&
         next.charFormat().anchorHref() != cf.anchorHref())) {
      setCurrentCharFormat(
          WithoutProperties(cf, {QTextFormat::IsAnchor, QTextFormat::AnchorHref,
                                 QTextFormat::TextUnderlineStyle, QTextFormat::ForegroundBrush}));
    }
  }
  const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
  const int heading = textCursor().blockFormat().headingLevel();
  QTextEdit::keyPressEvent(e);
  // As in a browser, the paragraph after a heading is a normal one.
  if (enter && heading > 0 && !(mods & Qt::ShiftModifier) &&
      textCursor().blockFormat().headingLevel() == heading && textCursor().block().length() == 1) {
    SetBlockFormat(kNormal);
  }
}

void HtmlEditor::keyReleaseEvent(QKeyEvent* e) {
  QTextEdit::keyReleaseEvent(e);
  emit KeyUp();
}

}  // namespace composer
