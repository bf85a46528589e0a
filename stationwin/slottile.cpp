#include "stationwin/slottile.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <cmath>
#include <functional>
#include <optional>

#include "station/unitrun.h"

namespace stationwin {

namespace {

constexpr int kCn0Full = 55;  // dB-Hz at a full bar

// Background and text of each tone: idle, running, pass, fail, fault.
struct Tone {
    QColor back, text;
};
const Tone kTones[] = {
    {QColor(0xee, 0xee, 0xee), Qt::black},  // idle: neutral
    {QColor(0x1e, 0x5a, 0xb4), Qt::white},  // running: blue
    {QColor(0x1f, 0x8b, 0x3a), Qt::white},  // pass: green
    {QColor(0xc6, 0x28, 0x28), Qt::white},  // fail: red
    {QColor(0xf0, 0xa0, 0x00), Qt::black},  // station fault: amber
};

int toneOf(station::Verdict verdict) {
    switch (verdict) {
        case station::Verdict::Running:
            return 1;
        case station::Verdict::Pass:
            return 2;
        case station::Verdict::Fail:
            return 3;
        case station::Verdict::Fault:
            return 4;
        case station::Verdict::Idle:
        case station::Verdict::Interrupted:
            return 0;
    }
    return 0;
}

}  // namespace

// The serial field: Enter and Esc are the tile's, not the line edit's.
class SerialEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    std::function<void()> onEnter, onEscape;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && onEnter) {
            onEnter();
            return;
        }
        if (event->key() == Qt::Key_Escape && onEscape) {
            onEscape();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};

SlotTile::SlotTile(int number, const QString& port, QWidget* parent)
    : QFrame(parent), number_(number), port_(port) {
    setObjectName(QStringLiteral("slot%1").arg(number));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setMinimumSize(170, 130);

    title_ = new QLabel(QStringLiteral("%1  %2").arg(number).arg(port), this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setToolTip(port);
    title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // long paths elide
    serial_ = new SerialEdit(this);
    serial_->setPlaceholderText(tr("scan serial number"));
    serial_->setAccessibleName(tr("Serial number, slot %1").arg(number));
    serial_->onEnter = [this] { emit startRequested(serial_->text().trimmed()); };
    serial_->onEscape = [this] { emit stopRequested(); };
    setFocusProxy(serial_);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    elapsed_ = new QLabel(this);
    ttff_ = new QLabel(this);
    cn0_ = new QProgressBar(this);
    cn0_->setRange(0, kCn0Full);
    cn0_->setValue(0);
    cn0_->setMaximumHeight(14);
    cn0_->setTextVisible(false);
    cn0_->setAccessibleName(tr("Mean C/N0 of the four strongest satellites, slot %1").arg(number));
    verdict_ = new QLabel(this);
    QFont big = verdict_->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.3);
    verdict_->setFont(big);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(title_, 0, 0, 1, 2);
    grid->addWidget(serial_, 1, 0, 1, 2);
    grid->addWidget(status_, 2, 0, 1, 2);
    grid->addWidget(elapsed_, 3, 0);
    grid->addWidget(ttff_, 3, 1, Qt::AlignRight);
    grid->addWidget(cn0_, 4, 0, 1, 2);
    grid->addWidget(verdict_, 5, 0, 1, 2);
    grid->setRowStretch(2, 1);

    setAccessibleName(tr("Slot %1, %2").arg(number).arg(port));
    refresh(nullptr);
}

QString SlotTile::serial() const {
    return serial_->text().trimmed();
}

void SlotTile::setSerial(const QString& serial) {
    serial_->setText(serial);
}

QLineEdit* SlotTile::serialField() const {
    return serial_;
}

QString SlotTile::verdictShown() const {
    return verdict_->text();
}

void SlotTile::setText(QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    ++textUpdates_;
}

void SlotTile::setTone(int tone) {
    if (tone == tone_) return;
    tone_ = tone;
    QPalette p = palette();
    p.setColor(QPalette::Window, kTones[tone].back);
    p.setColor(QPalette::WindowText, kTones[tone].text);
    setPalette(p);  // the serial field's own roles (Base, Text) stay the system's
}

void SlotTile::refresh(const station::UnitRun* run, bool storing) {
    const station::Verdict verdict = run ? run->verdict() : station::Verdict::Idle;
    // A verdict counts once its result is kept: until then the tile stays blue.
    const bool unkept = storing && verdict != station::Verdict::Running;
    QString status, elapsed, ttff,
        words = unkept ? tr("storing the result") : station::verdictText(verdict);
    std::optional<double> cn0;
    if (run) {
        status = run->statusText();
        if (verdict == station::Verdict::Running) {
            elapsed = tr("%1 s").arg(run->msInState() / 1000);
            if (run->config().cycles > 1)
                elapsed += tr(", cycle %1/%2").arg(run->cycle()).arg(run->config().cycles);
            cn0 = run->sky().meanTop4;
        }
        std::optional<double> seconds = run->ttffS();
        const auto& last = run->tally().last();
        if (last) {
            if (!run->done() || !seconds) seconds = last->ttffS;
            if (run->done()) {
                cn0 = last->cn0Mean4;
                if (!unkept && last->reason != QLatin1String("ok") && last->reason != last->result)
                    words += QLatin1String("  ") + last->reason;
            }
        }
        if (seconds) ttff = tr("TTFF %1 s").arg(*seconds, 0, 'f', 2);
    }
    setText(status_, status);
    setText(elapsed_, elapsed);
    setText(ttff_, ttff);
    setText(verdict_, words);
    const int bar = cn0 ? int(std::lround(std::min(*cn0, double(kCn0Full)))) : 0;
    if (cn0_->value() != bar) cn0_->setValue(bar);
    const QString cn0Text = cn0 ? tr("C/N0 %1 dB-Hz").arg(*cn0, 0, 'f', 1) : tr("C/N0 -");
    cn0_->setAccessibleDescription(cn0Text);
    cn0_->setToolTip(cn0Text);
    serial_->setReadOnly(verdict == station::Verdict::Running);
    setTone(unkept ? toneOf(station::Verdict::Running) : toneOf(verdict));

    QStringList parts{words};
    if (!serial().isEmpty()) parts << tr("unit %1").arg(serial());
    if (!status.isEmpty()) parts << QString(status).replace('\n', QLatin1String(" / "));
    if (!elapsed.isEmpty()) parts << elapsed + tr(" in this state");
    if (!ttff.isEmpty()) parts << ttff;
    if (cn0) parts << cn0Text;
    const QString description = parts.join(QLatin1String("; "));
    if (description != description_) {
        description_ = description;
        setAccessibleDescription(description);
    }
}

}  // namespace stationwin
