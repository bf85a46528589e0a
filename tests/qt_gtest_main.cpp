// Test entry point for tests that need a QApplication.  Without a display the
// offscreen platform is used.
#include <gtest/gtest.h>
#include <QApplication>

namespace {

// The offscreen platform cannot fade a window in, and says so at every step.
void quietOpacityWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("does not support setting window opacity"))) return;
    qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quietOpacityWarnings);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
