#include "svg_icon.hpp"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace composer {

QIcon SvgIcon(const QString& path) {
  QSvgRenderer renderer(path);
  QIcon icon;
  for (int size : {16, 20, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace composer
