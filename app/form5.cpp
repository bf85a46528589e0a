#include "app/form5.h"

Form5::Form5(QWidget* mainWindow) : QWidget(nullptr) { Q_UNUSED(mainWindow); }
