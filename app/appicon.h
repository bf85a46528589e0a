// The application's icon, drawn in code at 16 and 32 pixels.
#pragma once

#include <QIcon>

QIcon appIcon();
