// The About window: what it shows, how it opens and closes, and what it
// does to the main window meanwhile.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "app/form5.h"

namespace {

class AboutWindow : public ::testing::Test {
protected:
    void SetUp() override {
        main_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main_));
    }
    void TearDown() override { delete about_.data(); }

    Form5& open() {
        about_ = new Form5(&main_);
        about_->show();
        about_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(about_));
        return *about_;
    }
    // Gone for good (1), or open over a disabled main window (0); else -1.
    int closed() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (about_.isNull() && main_.isEnabled()) return 1;
        return !about_.isNull() && about_->isVisible() && !main_.isEnabled() ? 0 : -1;
    }

    QWidget main_;
    QPointer<Form5> about_;
};

// Its own window without a close button; the keyboard stays on OK.
TEST_F(AboutWindow, OnlyOkCanBeFocused) {
    Form5& f = open();
    EXPECT_TRUE(f.isWindow());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowCloseButtonHint);
    for (const QWidget* w : f.findChildren<QWidget*>())
        EXPECT_EQ(w->focusPolicy(), w == f.Command1 ? Qt::StrongFocus : Qt::NoFocus)
            << qPrintable(w->objectName());
    EXPECT_EQ(QApplication::focusWidget(), f.Command1);
    QTest::keyClick(f.Command1, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), f.Command1) << "focus left the OK button";
}

TEST_F(AboutWindow, StaysOpenOnCloseRequestsAndOtherKeys) {
    Form5& f = open();
    EXPECT_FALSE(f.close());
    QCloseEvent request;
    QApplication::sendEvent(&f, &request);
    EXPECT_FALSE(request.isAccepted());
    EXPECT_FALSE(f.windowHandle()->close());
    QTest::keyClick(f.Command1, Qt::Key_F4, Qt::AltModifier);
    for (Qt::Key key : {Qt::Key_A, Qt::Key_1, Qt::Key_Tab, Qt::Key_Backspace, Qt::Key_Delete,
                        Qt::Key_F1, Qt::Key_Left})
        QTest::keyClick(QApplication::focusWidget(), key);
    EXPECT_EQ(closed(), 0);
}

// Each way the user closes it, on the focused OK button.
TEST_F(AboutWindow, OkClickEscEnterAndSpaceCloseItAndEnableTheMainWindow) {
    QTest::mouseClick(open().Command1, Qt::LeftButton);
    EXPECT_EQ(closed(), 1) << "click";
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        ASSERT_EQ(QApplication::focusWidget(), open().Command1);
        QTest::keyClick(QApplication::focusWidget(), key,
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        EXPECT_EQ(closed(), 1) << QKeySequence(key).toString().toStdString();
    }
}

}  // namespace
