#include <QApplication>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Form1 window;
    window.setSettingsWriter(WriteSettingsFile);
    Form_Load(window);
    return app.exec();
}
