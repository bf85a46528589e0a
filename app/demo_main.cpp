// gps-coldstart-demo: the cold-start tool, window and run as they are, with
// every COM port leading to a simulated receiver on a pseudo-terminal (or,
// with --device, to the given device).
//
// Standard output gets a line for every change of the status box
// ("status: ..."), so that a script can follow the run; the receiver's
// events go to standard error.
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdio>
#include <memory>

#include "app/demooptions.h"
#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "sim/simdriver.h"

namespace {

void printLine(FILE* stream, const QString& line) {
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
}

// The status text on one line: its line breaks shown as " / ", a last one dropped.
QString oneLine(const std::string& status) {
    QString text = QString::fromLatin1(status.data(), qsizetype(status.size()));
    if (text.endsWith(QLatin1String("\r\n"))) text.chop(2);
    return text.replace(QLatin1String("\r\n"), QLatin1String(" / "));
}

}  // namespace

int main(int argc, char** argv) {
    // The options are read before the window system is reached, so that
    // --help and mistakes are answered without a display.
    QCoreApplication::setApplicationName(QStringLiteral("gps-coldstart-demo"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    DemoOptions options;
    QString error;
    const bool optionsOk = readDemoOptions(arguments, options, error);
    if (!optionsOk) {
        if (options.helpShown) {
            printLine(stdout, error);
            return 0;
        }
        printLine(stderr, QStringLiteral("gps-coldstart-demo: ") + error);
        return 2;
    }
    QApplication app(argc, argv);

    std::unique_ptr<gpssim::SimDriver> receiver;
    QString device = options.device;
    if (device.isEmpty()) {
        receiver = std::make_unique<gpssim::SimDriver>(options.receiver, options.line);
        QObject::connect(receiver.get(), &gpssim::SimDriver::logged, [](const QString& line) {
            printLine(stderr, QStringLiteral("receiver: ") + line);
        });
        if (!receiver->start(&error)) {
            printLine(stderr, QStringLiteral("gps-coldstart-demo: ") + error);
            return 1;
        }
        printLine(stderr, QStringLiteral("receiver: mode %1, on %2 for every COM port")
                              .arg(QLatin1String(gpssim::nameOf(options.receiver.behaviour).data()),
                                   receiver->devicePath()));
        device = receiver->devicePath();
    } else {
        printLine(stderr, QStringLiteral("every COM port opens %1").arg(device));
    }

    auto port = std::make_unique<gpslink::QtSerialPort>();
    port->setDeviceOverride(device);
    Form1 window(std::move(port));
    window.setWindowTitle(QStringLiteral("GPS Cold Start (demo)"));
    window.setSettingsWriter(WriteSettingsFile);

    std::string shown;
    QObject::connect(window.Text_Error_1, &QPlainTextEdit::textChanged, &window, [&] {
        if (window.statusText() == shown) return;
        shown = window.statusText();
        printLine(stdout, QStringLiteral("status: ") + oneLine(shown));
    });

    Form_Load(window);
    printLine(stdout, QStringLiteral("window shown"));
    return app.exec();
}
