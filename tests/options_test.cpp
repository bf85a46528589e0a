// The command lines of gps-receiver-sim and the demo: help is answered, and a
// mistake gets a message naming it and exit status 2, before any receiver or
// window starts.
#include <gtest/gtest.h>

#include <QProcess>

namespace {

TEST(Options, HelpAndMistakes) {
    const struct {
        const char* program;
        QStringList arguments;
        const char* message;  // part of standard output for help, of standard error else
    } rows[] = {
        {COLDSTART_RECEIVER_SIM, {"--help"}, "--mode"},
        {COLDSTART_DEMO, {"--help"}, "--mode"},
        {COLDSTART_RECEIVER_SIM, {"--bogus"}, "Unknown option 'bogus'"},
        {COLDSTART_RECEIVER_SIM, {"extra"}, "unexpected argument extra"},
        {COLDSTART_RECEIVER_SIM, {"--mode", "fast"}, "unknown --mode fast"},
        {COLDSTART_RECEIVER_SIM, {"--rate", "11"}, "--rate takes a whole number from 1 to 10"},
        {COLDSTART_RECEIVER_SIM, {"--strict-baud"}, "--strict-baud needs --baud"},
        {COLDSTART_RECEIVER_SIM, {"--mode", "silent", "--off-after", "3"}, "does not belong"},
        {COLDSTART_RECEIVER_SIM, {"--replay", "/nonexistent"}, "/nonexistent"},
        {COLDSTART_DEMO, {"--bogus"}, "Unknown option 'bogus'"},
        {COLDSTART_DEMO, {"--rate", "0"}, "--rate takes a whole number from 1 to 10"},
        {COLDSTART_DEMO, {"--device", "/dev/null", "--mode", "silent"}, "not for --device"},
    };
    // Without a display, so that a window made too early fails the row.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    for (const auto& row : rows) {
        const std::string call = QString(row.program).section('/', -1).toStdString() + " " +
                                 row.arguments.join(' ').toStdString();
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(QString::fromLatin1(row.program), row.arguments);
        ASSERT_TRUE(program.waitForFinished(30000)) << call << " did not end";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << call;
        const bool help = row.arguments == QStringList{"--help"};
        EXPECT_EQ(program.exitCode(), help ? 0 : 2) << call;
        const QByteArray out = program.readAllStandardOutput(),
                         err = program.readAllStandardError();
        EXPECT_TRUE((help ? out : err).contains(row.message)) << call;
        EXPECT_TRUE((help ? err : out).isEmpty()) << call;
    }
}

}  // namespace
