// The About window's picture: a satellite sending to a hand-held receiver,
// drawn in code at 115 x 81 pixels.
#pragma once

#include <QPixmap>

QPixmap aboutPicture();
