// The composer's own toolbar icons, drawn by Qt's SVG module.
#pragma once

#include <QIcon>
#include <QString>

namespace composer {

// An icon from an SVG file (usually ":/icons/<name>.svg") at the common toolbar sizes.
QIcon SvgIcon(const QString& path);

}  // namespace composer
