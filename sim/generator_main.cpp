// gps-generator-sim: a signal generator on the LXI raw socket (SCPI over
// TCP) of the loopback interface, for the station's tests and its demo.
// Prints its address, tcp://127.0.0.1:PORT, on standard output, then serves
// every client at once (the station, and the receiver simulators asking the
// level at their antenna) until it is killed.  See sim/generatormodel.h.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>
#include <memory>

#include "instrument/dialects.h"
#include "sim/generatormodel.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gps-generator-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A simulated SCPI signal generator on 127.0.0.1, for trying the station\n"
                       "without one."));
    parser.addHelpOption();
    const auto number = [](const char* name, const char* help) {
        return QCommandLineOption(QLatin1String(name), QLatin1String(help), QStringLiteral("N"));
    };
    parser.addOptions({
        {QStringLiteral("dialect"),
         QStringLiteral("The commands it takes: %1 (default rf).")
             .arg(instrument::dialectNames().join(QLatin1String(", "))),
         QStringLiteral("NAME"), QStringLiteral("rf")},
        {QStringLiteral("port"),
         QStringLiteral("The TCP port (default 5025); 0: a free one, printed."),
         QStringLiteral("PORT"), QStringLiteral("5025")},
        number("silent-after", "Answer nothing after N lines of a connection."),
        number("drop-after", "Drop a connection after N lines."),
        number("garbage-after", "Answer garbage after N lines of a connection."),
        number("error-at", "Queue -200,\"Execution error\" at line N of each connection."),
        {QStringLiteral("verbose"), QStringLiteral("Log every line to standard error.")},
    });
    parser.process(app);

    const auto fail = [](const QString& message) {
        std::fprintf(stderr, "gps-generator-sim: %s\n", qPrintable(message));
        return 2;
    };
    const instrument::Dialect* dialect =
        instrument::dialect(parser.value(QStringLiteral("dialect")));
    if (!dialect)
        return fail(QStringLiteral("unknown dialect \"%1\" (%2)")
                        .arg(parser.value(QStringLiteral("dialect")),
                             instrument::dialectNames().join(QLatin1String(", "))));
    bool ok = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("\"%1\" is not a port from 0 to 65535")
                        .arg(parser.value(QStringLiteral("port"))));
    gpssim::GeneratorModel::Faults faults;
    for (const auto& [name, field] : {std::pair{"silent-after", &faults.silentAfter},
                                      std::pair{"drop-after", &faults.dropAfter},
                                      std::pair{"garbage-after", &faults.garbageAfter},
                                      std::pair{"error-at", &faults.errorAt}}) {
        if (!parser.isSet(QLatin1String(name))) continue;
        *field = parser.value(QLatin1String(name)).toInt(&ok);
        if (!ok || *field < 0)
            return fail(QStringLiteral("--%1: \"%2\" is not a whole number from 0")
                            .arg(QLatin1String(name), parser.value(QLatin1String(name))));
    }
    const bool verbose = parser.isSet(QStringLiteral("verbose"));

    gpssim::GeneratorModel model(
        *dialect, faults,
        QStringLiteral("GPS Coldstart,gps-generator-sim %1,0,%2")
            .arg(QLatin1String(dialect->name), QLatin1String(COLDSTART_VERSION)));
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, quint16(port)))
        return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                        .arg(port)
                        .arg(server.errorString()));
    int clients = 0;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            const int client = ++clients;
            auto lines = std::make_shared<int>(0);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket, client, lines] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine();
                    const auto reply = model.line(line, ++*lines);
                    if (verbose) std::fprintf(stderr, "client %d: %s", client, line.constData());
                    if (reply.drop) {
                        socket->abort();
                        return;
                    }
                    socket->write(reply.text);
                }
            });
        }
    });
    std::printf("tcp://127.0.0.1:%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
