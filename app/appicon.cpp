#include "app/appicon.h"

QIcon appIcon() { return QIcon(); }  // drawn by the window work
