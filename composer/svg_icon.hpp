// Renders the composer's own toolbar icons: a small subset of SVG (path, rect, circle,
// ellipse, line, polyline, polygon, text, g; fill, stroke and transform attributes),
// so the toolbar draws the same on a machine without Qt's SVG module or an icon theme.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace composer {

// Paints the SVG text into a transparent square image of the given size in pixels.
// An unreadable document gives a blank image.
QImage RenderSvg(const QByteArray& svg, int size);
// An icon from an SVG file (usually ":/icons/<name>.svg") at the common toolbar sizes.
QIcon SvgIcon(const QString& path);

}  // namespace composer
