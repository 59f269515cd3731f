#pragma once

#include <QImage>

namespace corvanel::app {

// The About window's logo: 189 x 89 pixels, 24 bits per pixel.
QImage drawLogo();

// The application icon, 32 x 32.
QImage drawIcon();

}  // namespace corvanel::app
