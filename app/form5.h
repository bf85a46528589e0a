// The About window.
#pragma once

#include <QWidget>

class Form5 : public QWidget {
    Q_OBJECT
public:
    // mainWindow is disabled while this window is open; it is not the owner.
    explicit Form5(QWidget* mainWindow);
};
