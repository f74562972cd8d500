#include "svg_icon.hpp"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRegularExpression>
#include <QTransform>
#include <QXmlStreamReader>

#include <vector>

namespace composer {

namespace {

struct Style {
  QString fill = "#000000";
  QString stroke = "none";
  double stroke_width = 1.0;
  Qt::PenCapStyle cap = Qt::FlatCap;
  Qt::PenJoinStyle join = Qt::MiterJoin;
  double opacity = 1.0;
  double fill_opacity = 1.0;
  double stroke_opacity = 1.0;
  QString font_family = "DejaVu Sans";
  double font_size = 12.0;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  QString anchor = "start";
  QTransform transform;
};

std::vector<double> Numbers(QStringView text) {
  std::vector<double> out;
  static const QRegularExpression number(R"([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)");
  auto it = number.globalMatch(text);
  while (it.hasNext()) out.push_back(it.next().captured().toDouble());
  return out;
}

QTransform ParseTransform(const QString& text) {
  QTransform result;
  static const QRegularExpression item(R"((\w+)\s*\(([^)]*)\))");
  auto it = item.globalMatch(text);
  while (it.hasNext()) {
    auto m = it.next();
    const QString name = m.captured(1);
    auto v = Numbers(m.captured(2));
    QTransform t;
    if (name == "translate" && !v.empty()) {
      t.translate(v[0], v.size() > 1 ? v[1] : 0.0);
    } else if (name == "scale" && !v.empty()) {
      t.scale(v[0], v.size() > 1 ? v[1] : v[0]);
    } else if (name == "rotate" && !v.empty()) {
      if (v.size() >= 3) t.translate(v[1], v[2]);
      t.rotate(v[0]);
      if (v.size() >= 3) t.translate(-v[1], -v[2]);
    } else if (name == "matrix" && v.size() == 6) {
      t = QTransform(v[0], v[1], v[2], v[3], v[4], v[5]);
    }
    result = t * result;
  }
  return result;
}

QPainterPath ParsePath(const QString& d) {
  QPainterPath path;
  static const QRegularExpression token(
      R"(([MmLlHhVvCcSsQqTtZz])|([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?))");
  std::vector<QString> tokens;
  auto it = token.globalMatch(d);
  while (it.hasNext()) tokens.push_back(it.next().captured());
  size_t i = 0;
  QChar cmd = u'M';
  QPointF cur, start, last_ctrl;
  QChar last_cmd;
  auto is_cmd = [&](size_t k) {
    return k < tokens.size() && tokens[k].size() == 1 && tokens[k][0].isLetter();
  };
  auto num = [&](bool& ok) {
    if (i >= tokens.size() || is_cmd(i)) {
      ok = false;
      return 0.0;
    }
    return tokens[i++].toDouble();
  };
  while (i < tokens.size()) {
    if (is_cmd(i)) cmd = tokens[i++][0];
    const bool rel = cmd.isLower();
    const QChar c = cmd.toUpper();
    bool ok = true;
    auto pt = [&] {
      double x = num(ok), y = num(ok);
      return rel ? cur + QPointF(x, y) : QPointF(x, y);
    };
    if (c == u'Z') {
      path.closeSubpath();
      cur = start;
      last_cmd = c;
      continue;
    }
    if (c == u'M') {
      QPointF p = pt();
      if (!ok) break;
      path.moveTo(p);
      cur = start = p;
      cmd = rel ? u'l' : u'L';  // further pairs are lines
    } else if (c == u'L') {
      QPointF p = pt();
      if (!ok) break;
      path.lineTo(p);
      cur = p;
    } else if (c == u'H') {
      double x = num(ok);
      if (!ok) break;
      cur.setX(rel ? cur.x() + x : x);
      path.lineTo(cur);
    } else if (c == u'V') {
      double y = num(ok);
      if (!ok) break;
      cur.setY(rel ? cur.y() + y : y);
      path.lineTo(cur);
    } else if (c == u'C') {
      QPointF c1 = pt(), c2 = pt(), p = pt();
      if (!ok) break;
      path.cubicTo(c1, c2, p);
      last_ctrl = c2;
      cur = p;
    } else if (c == u'S') {
      QPointF c1 = (last_cmd == u'C' || last_cmd == u'S') ? 2 * cur - last_ctrl : cur;
      QPointF c2 = pt(), p = pt();
      if (!ok) break;
      path.cubicTo(c1, c2, p);
      last_ctrl = c2;
      cur = p;
    } else if (c == u'Q') {
      QPointF c1 = pt(), p = pt();
      if (!ok) break;
      path.quadTo(c1, p);
      last_ctrl = c1;
      cur = p;
    } else if (c == u'T') {
      QPointF c1 = (last_cmd == u'Q' || last_cmd == u'T') ? 2 * cur - last_ctrl : cur;
      QPointF p = pt();
      if (!ok) break;
      path.quadTo(c1, p);
      last_ctrl = c1;
      cur = p;
    } else {
      break;  // unsupported command: stop rather than draw garbage
    }
    last_cmd = c;
  }
  return path;
}

void ApplyAttributes(const QXmlStreamAttributes& a, Style& s) {
  auto has = [&](const char* n) { return a.hasAttribute(QLatin1String(n)); };
  auto get = [&](const char* n) { return a.value(QLatin1String(n)).toString(); };
  if (has("fill")) s.fill = get("fill");
  if (has("stroke")) s.stroke = get("stroke");
  if (has("stroke-width")) s.stroke_width = get("stroke-width").toDouble();
  if (has("stroke-linecap")) {
    QString v = get("stroke-linecap");
    s.cap = v == "round" ? Qt::RoundCap : v == "square" ? Qt::SquareCap : Qt::FlatCap;
  }
  if (has("stroke-linejoin")) {
    QString v = get("stroke-linejoin");
    s.join = v == "round" ? Qt::RoundJoin : v == "bevel" ? Qt::BevelJoin : Qt::MiterJoin;
  }
  if (has("opacity")) s.opacity *= get("opacity").toDouble();
  if (has("fill-opacity")) s.fill_opacity = get("fill-opacity").toDouble();
  if (has("stroke-opacity")) s.stroke_opacity = get("stroke-opacity").toDouble();
  if (has("font-family")) s.font_family = get("font-family");
  if (has("font-size")) s.font_size = get("font-size").toDouble();
  if (has("font-weight"))
    s.bold = get("font-weight") == "bold" || get("font-weight").toInt() >= 600;
  if (has("font-style")) s.italic = get("font-style") == "italic";
  if (has("text-decoration")) s.underline = get("text-decoration") == "underline";
  if (has("text-anchor")) s.anchor = get("text-anchor");
  if (has("transform")) s.transform = ParseTransform(get("transform")) * s.transform;
}

QColor ColorOf(const QString& text, double opacity) {
  QColor c = QColor::fromString(text);
  if (!c.isValid()) return {};
  c.setAlphaF(static_cast<float>(c.alphaF() * opacity));
  return c;
}

void Draw(QPainter& p, const QPainterPath& path, const Style& s) {
  p.save();
  p.setTransform(s.transform, true);
  QColor fill = s.fill == "none" ? QColor() : ColorOf(s.fill, s.fill_opacity * s.opacity);
  QColor stroke = s.stroke == "none" ? QColor() : ColorOf(s.stroke, s.stroke_opacity * s.opacity);
  if (fill.isValid()) p.fillPath(path, fill);
  if (stroke.isValid() && s.stroke_width > 0) {
    QPen pen(stroke, s.stroke_width, Qt::SolidLine, s.cap, s.join);
    p.strokePath(path, pen);
  }
  p.restore();
}

double Attr(const QXmlStreamAttributes& a, const char* name, double def = 0.0) {
  auto v = a.value(QLatin1String(name));
  return v.isEmpty() ? def : v.toString().toDouble();
}

// A disabled button's picture: grey and faint, also for dark glyphs that a style's own
// greying would leave dark.
QImage Disabled(const QImage& image) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      const QRgb p = line[x];
      const int grey = 96 + qGray(p) / 3;
      line[x] = qRgba(grey, grey, grey, qAlpha(p) * 45 / 100);
    }
  }
  return out;
}

}  // namespace

QImage RenderSvg(const QByteArray& svg, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  QXmlStreamReader xml(svg);
  std::vector<Style> styles{Style{}};
  while (!xml.atEnd()) {
    auto token = xml.readNext();
    if (token == QXmlStreamReader::EndElement) {
      if (styles.size() > 1) styles.pop_back();
      continue;
    }
    if (token != QXmlStreamReader::StartElement) continue;
    const auto a = xml.attributes();
    const QStringView name = xml.name();
    Style s = styles.back();
    if (name == u"svg") {
      auto box = Numbers(a.value(QLatin1String("viewBox")));
      if (box.size() == 4 && box[2] > 0 && box[3] > 0) {
        QTransform t;
        t.scale(size / box[2], size / box[3]);
        t.translate(-box[0], -box[1]);
        s.transform = t;
      }
    }
    ApplyAttributes(a, s);
    styles.push_back(s);
    QPainterPath path;
    if (name == u"path") {
      path = ParsePath(a.value(QLatin1String("d")).toString());
    } else if (name == u"rect") {
      double rx = Attr(a, "rx"), ry = Attr(a, "ry", rx);
      QRectF r(Attr(a, "x"), Attr(a, "y"), Attr(a, "width"), Attr(a, "height"));
      if (rx > 0 || ry > 0) {
        path.addRoundedRect(r, rx, ry > 0 ? ry : rx);
      } else {
        path.addRect(r);
      }
    } else if (name == u"circle") {
      double r = Attr(a, "r");
      path.addEllipse(QPointF(Attr(a, "cx"), Attr(a, "cy")), r, r);
    } else if (name == u"ellipse") {
      path.addEllipse(QPointF(Attr(a, "cx"), Attr(a, "cy")), Attr(a, "rx"), Attr(a, "ry"));
    } else if (name == u"line") {
      path.moveTo(Attr(a, "x1"), Attr(a, "y1"));
      path.lineTo(Attr(a, "x2"), Attr(a, "y2"));
    } else if (name == u"polyline" || name == u"polygon") {
      auto v = Numbers(a.value(QLatin1String("points")));
      for (size_t k = 0; k + 1 < v.size(); k += 2) {
        if (k == 0) {
          path.moveTo(v[0], v[1]);
        } else {
          path.lineTo(v[k], v[k + 1]);
        }
      }
      if (name == u"polygon") path.closeSubpath();
    } else if (name == u"text") {
      QFont font(s.font_family);
      font.setPixelSize(qMax(1, qRound(s.font_size)));  // sizes are in user units
      font.setBold(s.bold);
      font.setItalic(s.italic);
      const QString text = xml.readElementText();
      styles.pop_back();
      QFontMetricsF metrics(font);
      double x = Attr(a, "x"), y = Attr(a, "y");
      double w = metrics.horizontalAdvance(text);
      if (s.anchor == "middle") x -= w / 2;
      if (s.anchor == "end") x -= w;
      path.addText(QPointF(x, y), font, text);
      if (s.underline) {
        double pos = y + metrics.underlinePos();
        path.addRect(QRectF(x, pos, w, qMax(1.0, metrics.lineWidth())));
      }
    }
    if (!path.isEmpty()) Draw(p, path, s);
  }
  p.end();
  return image;
}

QIcon SvgIcon(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray svg = file.readAll();
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48, 64}) {
    const QImage image = RenderSvg(svg, size);
    icon.addPixmap(QPixmap::fromImage(image));
    icon.addPixmap(QPixmap::fromImage(Disabled(image)), QIcon::Disabled);
  }
  return icon;
}

}  // namespace composer
