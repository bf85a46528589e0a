// The About window: what it shows, how it opens and closes, and what it
// does to the main window meanwhile.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QWindow>

#include "app/form5.h"

namespace {

class AboutWindow : public ::testing::Test {
protected:
    void SetUp() override {
        mainButton_ = new QPushButton(QStringLiteral("main"), &main_);
        QObject::connect(mainButton_, &QPushButton::clicked, [this] { ++mainClicks_; });
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
    QPushButton* mainButton_ = nullptr;
    int mainClicks_ = 0;
    QPointer<Form5> about_;
};

TEST_F(AboutWindow, ShowsItsDesign) {
    const Form5& f = open();
    EXPECT_EQ(f.windowTitle(), QStringLiteral("關於"));
    EXPECT_EQ(f.size(), QSize(426, 317));
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "the window is not fixed-size";
    const struct {
        const char* name;
        QString text;  // empty: a free text, checked for presence only
        QRect box;     // pixels (twips / 15), relative to the container
        qreal points;
        bool bold, italic, inFrame;
    } design[] = {
        {"Command1", QStringLiteral("確     定"), {168, 273, 89, 33}, 12, true, false, false},
        {"Frame1", QStringLiteral("Version 2.0"), {16, 10, 392, 251}, 12, false, false, false},
        {"Label3", QStringLiteral("2006/6/29"), {164, 188, 141, 22}, 12, false, false, true},
        {"Label5", QString(), {100, 133, 199, 22}, 12, false, false, true},
        {"Label4", QStringLiteral("產品測試用"), {161, 161, 92, 22}, 12, false, false, true},
        {"Label2", QString(), {106, 214, 187, 21}, 12, false, false, true},
        {"Label1", QString(), {147, 56, 225, 32}, 15.75, true, true, true},
    };
    for (const auto& d : design) {
        SCOPED_TRACE(d.name);
        auto* w = f.findChild<QWidget*>(QLatin1String(d.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget(), d.inFrame ? f.Frame1 : static_cast<const QWidget*>(&f));
        EXPECT_EQ(w->geometry(), d.box);
        const QString caption = w->property(w == f.Frame1 ? "title" : "text").toString();
        EXPECT_EQ(d.text.isEmpty() ? QString() : caption, d.text);
        EXPECT_FALSE(caption.trimmed().isEmpty());
        EXPECT_EQ(w->font().family(), QStringLiteral("新細明體"));
        EXPECT_EQ(QFontInfo(w->font()).family(), QStringLiteral("AR PL UMing TW"));
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), d.points);
        EXPECT_EQ(w->font().bold(), d.bold);
        EXPECT_EQ(w->font().italic(), d.italic);
        EXPECT_LE(QFontMetrics(w->font()).horizontalAdvance(caption), w->width()) << "clipped";
    }
    EXPECT_TRUE(f.Label2->text().startsWith(u'§') && f.Label2->text().endsWith(u'§'));

    ASSERT_EQ(f.Image1->parentWidget(), f.Frame1);
    EXPECT_EQ(f.Image1->geometry(), QRect(21, 35, 115, 81));
    const QImage picture = f.Image1->pixmap().toImage();
    EXPECT_EQ(picture.size(), QSize(115, 81));
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) colours.insert(picture.pixel(x, y));
    EXPECT_GT(colours.size(), 20) << "the picture is blank";
}

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

TEST_F(AboutWindow, DisablesTheMainWindowWhileOpen) {
    open();
    QTest::mouseClick(mainButton_, Qt::LeftButton);
    EXPECT_EQ(closed(), 0);
    EXPECT_EQ(mainClicks_, 0);
    QTest::keyClick(about_->Command1, Qt::Key_Escape);
    ASSERT_EQ(closed(), 1);
    QTest::mouseClick(mainButton_, Qt::LeftButton);
    EXPECT_EQ(mainClicks_, 1);
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
