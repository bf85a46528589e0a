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
#include <functional>

#include "app/form5.h"

namespace {

const QString kMingFace = QStringLiteral("AR PL UMing TW");

struct Designed {
    const char* name;
    QString text;  // empty: a free text, checked for presence only
    QRect box;     // pixels, relative to the container
    qreal points;
    bool bold;
    bool italic;
    bool inFrame;
};

// The window's contents as designed, in pixels (twips / 15).
const Designed kDesign[] = {
    {"Command1", QStringLiteral("確     定"), {168, 273, 89, 33}, 12, true, false, false},
    {"Frame1", QStringLiteral("Version 2.0"), {16, 10, 392, 251}, 12, false, false, false},
    {"Label3", QStringLiteral("2006/6/29"), {164, 188, 141, 22}, 12, false, false, true},
    {"Label5", QString(), {100, 133, 199, 22}, 12, false, false, true},
    {"Label4", QStringLiteral("產品測試用"), {161, 161, 92, 22}, 12, false, false, true},
    {"Label2", QString(), {106, 214, 187, 21}, 12, false, false, true},
    {"Label1", QString(), {147, 56, 225, 32}, 15.75, true, true, true},
};

QString captionOf(const QWidget* w) {
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    return qobject_cast<const QLabel*>(w)->text();
}

// Everything the user can see of the window, for comparing two openings.
QStringList describe(const Form5& f) {
    QStringList out{f.windowTitle(), QString::number(f.windowFlags().toInt())};
    for (const QWidget* w : f.findChildren<QWidget*>()) {
        const QImage picture = w == f.Image1 ? f.Image1->pixmap().toImage() : QImage();
        const QString shown =
            picture.isNull()
                ? captionOf(w)
                : QString::number(qHashBits(picture.constBits(), picture.sizeInBytes()));
        out << QStringLiteral("%1|%2|%3,%4,%5,%6|%7|%8")
                   .arg(w->objectName(), shown)
                   .arg(w->x())
                   .arg(w->y())
                   .arg(w->width())
                   .arg(w->height())
                   .arg(w->font().toString(), QFontInfo(w->font()).family());
    }
    return out;
}

void expectDesign(const Form5& f) {
    EXPECT_EQ(f.windowTitle(), QStringLiteral("關於"));
    EXPECT_EQ(f.size(), QSize(426, 317));
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "the window is not fixed-size";
    for (const Designed& d : kDesign) {
        SCOPED_TRACE(d.name);
        auto* w = f.findChild<QWidget*>(QLatin1String(d.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget(), d.inFrame ? f.Frame1 : static_cast<const QWidget*>(&f));
        EXPECT_EQ(w->geometry(), d.box);
        const QString caption = captionOf(w);
        if (d.text.isEmpty())
            EXPECT_FALSE(caption.trimmed().isEmpty());
        else
            EXPECT_EQ(caption, d.text);
        EXPECT_EQ(w->font().family(), QStringLiteral("新細明體"));
        EXPECT_EQ(QFontInfo(w->font()).family(), kMingFace);
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), d.points);
        EXPECT_EQ(w->font().bold(), d.bold);
        EXPECT_EQ(w->font().italic(), d.italic);
        EXPECT_LE(QFontMetrics(w->font()).horizontalAdvance(caption), w->width())
            << "caption is clipped";
    }
    EXPECT_TRUE(f.Label2->text().startsWith(u'§') && f.Label2->text().endsWith(u'§'));

    ASSERT_EQ(f.Image1->parentWidget(), f.Frame1);
    EXPECT_EQ(f.Image1->geometry(), QRect(21, 35, 115, 81));
    const QImage picture = f.Image1->pixmap().toImage();
    EXPECT_EQ(picture.size(), QSize(115, 81));
    EXPECT_FALSE(f.Image1->hasScaledContents());
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) colours.insert(picture.pixel(x, y));
    EXPECT_GT(colours.size(), 20) << "the picture is blank";

    for (const QWidget* w : f.findChildren<QWidget*>()) {
        const Qt::FocusPolicy expected = w == f.Command1 ? Qt::StrongFocus : Qt::NoFocus;
        EXPECT_EQ(w->focusPolicy(), expected) << qPrintable(w->objectName());
    }
}

class AboutWindow : public ::testing::Test {
protected:
    void SetUp() override {
        mainButton_ = new QPushButton(QStringLiteral("main"), &main_);
        QObject::connect(mainButton_, &QPushButton::clicked, [this] { ++mainClicks_; });
        main_.resize(346, 262);
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
    // True when the window is gone for good and the main window is usable again.
    bool closedForGood() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return about_.isNull() && main_.isEnabled();
    }
    bool stillOpen() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !about_.isNull() && about_->isVisible() && !main_.isEnabled();
    }

    QWidget main_;
    QPushButton* mainButton_ = nullptr;
    int mainClicks_ = 0;
    QPointer<Form5> about_;
};

TEST_F(AboutWindow, OpensAsDesignedAndReopensTheSame) {
    const QStringList first = describe(open());
    expectDesign(*about_);
    QTest::mouseClick(about_->Command1, Qt::LeftButton);
    ASSERT_TRUE(closedForGood());

    EXPECT_EQ(describe(open()), first);
    expectDesign(*about_);
}

TEST_F(AboutWindow, IsAnOwnerlessWindowWithoutCloseButton) {
    Form5& f = open();
    EXPECT_EQ(f.parent(), nullptr);
    EXPECT_TRUE(f.isWindow());
    EXPECT_EQ(f.windowType(), Qt::Window);
    EXPECT_TRUE(f.windowFlags() & Qt::CustomizeWindowHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowTitleHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(f.isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), f.Command1);
    QTest::keyClick(f.Command1, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), f.Command1) << "focus left the OK button";
}

TEST_F(AboutWindow, DisablesTheMainWindowWhileOpen) {
    open();
    QTest::mouseClick(mainButton_, Qt::LeftButton);
    EXPECT_FALSE(main_.isEnabled());
    EXPECT_EQ(mainClicks_, 0);
    QTest::keyClick(about_->Command1, Qt::Key_Escape);
    ASSERT_TRUE(closedForGood());
    QTest::mouseClick(mainButton_, Qt::LeftButton);
    EXPECT_EQ(mainClicks_, 1);
}

TEST_F(AboutWindow, RefusesCloseRequestsFromOutside) {
    Form5& f = open();
    EXPECT_FALSE(f.close());
    QCloseEvent request;
    QApplication::sendEvent(&f, &request);
    EXPECT_FALSE(request.isAccepted());
    EXPECT_FALSE(f.windowHandle()->close());
    QTest::keyClick(f.Command1, Qt::Key_F4, Qt::AltModifier);
    EXPECT_TRUE(stillOpen());
}

TEST_F(AboutWindow, OtherKeysLeaveItOpen) {
    Form5& f = open();
    for (Qt::Key key : {Qt::Key_A, Qt::Key_1, Qt::Key_Tab, Qt::Key_Backspace, Qt::Key_Delete,
                        Qt::Key_F1, Qt::Key_Left})
        QTest::keyClick(QApplication::focusWidget(), key);
    for (int code : {0, 13, 26, 28, 32, 65, 27 + 256}) f.Command1_KeyPress(code);
    EXPECT_TRUE(stillOpen());
}

// Each way the user closes the window, acting on the focused OK button.
struct Closer {
    const char* name;
    std::function<void(Form5&)> act;
};
void PrintTo(const Closer& c, std::ostream* os) {
    *os << c.name;
}

class AboutWindowCloses : public AboutWindow, public ::testing::WithParamInterface<Closer> {};

TEST_P(AboutWindowCloses, AndEnablesTheMainWindow) {
    Form5& f = open();
    ASSERT_EQ(QApplication::focusWidget(), f.Command1);
    GetParam().act(f);
    EXPECT_TRUE(closedForGood());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, AboutWindowCloses,
    ::testing::Values(
        Closer{"OkClick", [](Form5& f) { QTest::mouseClick(f.Command1, Qt::LeftButton); }},
        Closer{"Esc", [](Form5&) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); }},
        Closer{"Enter",
               [](Form5&) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); }},
        Closer{"KeypadEnter",
               [](Form5&) {
                   QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
               }},
        Closer{"Space",
               [](Form5&) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); }},
        Closer{"KeyPressEsc", [](Form5& f) { f.Command1_KeyPress(27); }}),
    [](const ::testing::TestParamInfo<Closer>& info) { return std::string(info.param.name); });

}  // namespace
