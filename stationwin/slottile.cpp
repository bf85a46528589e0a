#include "stationwin/slottile.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>

#include "station/calibration.h"
#include "station/unitrun.h"

namespace stationwin {

namespace {

constexpr int kScaleTop = 55;  // dB-Hz at the top of the chart

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

void setPixelSize(QWidget* widget, int pixels, bool bold) {
    QFont font = widget->font();
    font.setPixelSize(std::max(pixels, 9));
    font.setBold(bold);
    widget->setFont(font);
}

}  // namespace

// A label that elides its text in the middle to fit, the whole text in its tooltip.
class ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    void setFullText(const QString& text) {
        full_ = text;
        setToolTip(text);
        elide();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange) elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, width())); }
    QString full_;
};

// The serial field: Enter and Esc are the tile's; the focus selects it whole.
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
    void focusInEvent(QFocusEvent* event) override {
        QLineEdit::focusInEvent(event);
        // After the click that gave the focus has placed the cursor.
        QTimer::singleShot(0, this, [this] { selectAll(); });
    }
};

Cn0Chart::Cn0Chart(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(30);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void Cn0Chart::setValues(std::vector<std::pair<QString, int>> values, std::optional<double> limit) {
    if (values == values_ && limit == limit_) return;
    values_ = std::move(values);
    limit_ = limit;
    update();
}

void Cn0Chart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor ink = palette().color(QPalette::WindowText);
    QFont small = font();
    small.setPixelSize(std::clamp(height() / 6, 8, 14));
    p.setFont(small);
    const int axis = p.fontMetrics().horizontalAdvance(QStringLiteral("55")) + 4;
    const QRect plot = rect().adjusted(axis, 2, -2, -2);
    if (plot.width() < 10 || plot.height() < 10) return;
    auto yOf = [&](double dbHz) {
        return plot.bottom() -
               int(std::lround(plot.height() * std::min(dbHz, double(kScaleTop)) / kScaleTop));
    };
    // The scale: 0, 20 and 40 dB-Hz.
    p.setPen(QPen(ink, 1));
    for (int mark : {0, 20, 40}) {
        const int y = yOf(mark);
        p.drawLine(plot.left() - 2, y, plot.left(), y);
        p.drawText(QRect(0, y - 8, axis - 4, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(mark));
    }
    p.drawLine(plot.bottomLeft(), plot.topLeft());
    if (!values_.empty()) {
        const double step = double(plot.width()) / double(values_.size());
        const int bar = std::max(1, int(step * 0.7));
        QColor fill = ink;
        fill.setAlpha(200);
        for (std::size_t i = 0; i < values_.size(); ++i) {
            const int x = plot.left() + int(step * double(i) + (step - bar) / 2);
            const int top = yOf(values_[i].second);
            p.fillRect(QRect(x, top, bar, plot.bottom() - top + 1), fill);
        }
    }
    if (limit_) {
        const int y = yOf(*limit_);
        p.setPen(QPen(ink, 2, Qt::DashLine));
        p.drawLine(plot.left(), y, plot.right(), y);
    }
}

SlotTile::SlotTile(int number, const QString& port, const QString& device, QWidget* parent)
    : QFrame(parent), number_(number), port_(port), device_(device) {
    setObjectName(QStringLiteral("slot%1").arg(number));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setMinimumSize(140, 105);
    // The window gives every tile the same share; the texts follow the size.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    title_ = new ElidedLabel(this);
    title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    title_->setFullText(QStringLiteral("%1  %2").arg(number).arg(port));
    title_->setToolTip(port);
    serial_ = new SerialEdit(this);
    serial_->setPlaceholderText(tr("scan serial number"));
    serial_->setAccessibleName(tr("Serial number, slot %1").arg(number));
    serial_->onEnter = [this] {
        if (fresh_ && !serial().isEmpty()) emit startRequested(serial());
    };
    serial_->onEscape = [this] { emit stopRequested(); };
    connect(serial_, &QLineEdit::textEdited, this, [this] { fresh_ = true; });
    setFocusProxy(serial_);
    stage_ = new QLabel(this);
    stage_->setWordWrap(true);
    stage_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    stage_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    elapsed_ = new QLabel(this);
    chart_ = new Cn0Chart(this);
    chart_->setAccessibleName(tr("C/N0 of each satellite, slot %1").arg(number));
    fix_ = new ElidedLabel(this);
    fix_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    verdict_ = new QLabel(this);
    verdict_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(title_, 0, 0, 1, 2);
    grid->addWidget(serial_, 1, 0, 1, 2);
    grid->addWidget(stage_, 2, 0, 1, 2);
    grid->addWidget(elapsed_, 3, 0, 1, 2);
    grid->addWidget(chart_, 4, 0, 1, 2);
    grid->addWidget(fix_, 5, 0, 1, 2);
    grid->addWidget(verdict_, 6, 0, 1, 2);
    grid->setRowStretch(4, 1);

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

void SlotTile::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    // Sized for reading from two metres: the stage and the verdict large.
    const int unit = std::clamp(std::min(height() / 13, width() / 14), 10, 36);
    setPixelSize(title_, unit * 8 / 10, true);
    setPixelSize(serial_, unit, false);
    setPixelSize(stage_, unit, true);
    setPixelSize(elapsed_, unit * 8 / 10, false);
    setPixelSize(fix_, unit * 8 / 10, false);
    fitVerdict();
}

// The verdict as large as the tile allows, never clipped.
void SlotTile::fitVerdict() {
    const int unit = std::clamp(std::min(height() / 13, width() / 14), 10, 36);
    int pixels = unit * 2;
    QFont font = verdict_->font();
    font.setBold(true);
    const int room = std::max(width() - 16, 20);
    for (; pixels > 9; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).horizontalAdvance(verdict_->text()) <= room) break;
    }
    font.setPixelSize(pixels);
    if (font != verdict_->font()) verdict_->setFont(font);
}

void SlotTile::refresh(const station::UnitRun* run, bool storing) {
    const station::Verdict verdict = run ? run->verdict() : station::Verdict::Idle;
    // A verdict counts once its result is kept: until then the tile stays blue.
    const bool unkept = storing && verdict != station::Verdict::Running;
    QString stage, elapsed, fix,
        words = unkept ? tr("storing the result") : station::verdictText(verdict);
    std::vector<std::pair<QString, int>> bars;
    std::optional<double> limit;
    if (run != shown_) {  // a new unit: nothing of the last one stays
        shown_ = run;
        wasDone_ = false;
    }
    if (!run) {
        words.clear();
        if (!device_.isEmpty() && !QFileInfo::exists(device_))
            stage = tr("port missing: %1").arg(device_);
    } else {
        limit = run->config().limits.minCn0;
        const auto& last = run->tally().last();
        if (verdict == station::Verdict::Running) {
            stage = run->statusText();
            elapsed = tr("%1 s").arg(run->msInState() / 1000);
            if (run->config().cycles > 1)
                elapsed += tr(", cycle %1/%2").arg(run->cycle()).arg(run->config().cycles);
            for (const station::SkySatellite& sat : run->sky().satellites)
                if (sat.cn0 && *sat.cn0 > 0)
                    bars.emplace_back(
                        QString::fromStdString(sat.system).left(3) + QString::number(sat.prn),
                        *sat.cn0);
        } else if (last) {
            stage = last->status;  // what decided the verdict: "TTFF 22.0 s > 15 s"
            for (const QJsonValue& sat : last->sky)  // the sky at the fix
                if (const int cn0 = sat[QLatin1String("cn0")].toInt(); cn0 > 0)
                    bars.emplace_back(sat[QLatin1String("system")].toString().left(3) +
                                          QString::number(sat[QLatin1String("prn")].toInt()),
                                      cn0);
        }
        std::sort(bars.begin(), bars.end(),
                  [](const auto& a, const auto& b) { return a.second > b.second; });
        if (last && last->ttffS) {
            fix = tr("TTFF %1 s").arg(*last->ttffS, 0, 'f', 2);
            if (last->satellites) fix += tr(", %1 sats").arg(*last->satellites);
            if (last->hdop) fix += tr(", HDOP %1").arg(*last->hdop, 0, 'f', 1);
        }
        if (!run->identity().firmware.empty())  // who the unit said it is
            elapsed += (elapsed.isEmpty() ? QString() : QStringLiteral(", ")) +
                       tr("firmware %1").arg(QString::fromStdString(run->identity().firmware));
        if (run->ttffS() && verdict == station::Verdict::Running)
            fix = tr("TTFF %1 s").arg(*run->ttffS(), 0, 'f', 2);
        // A finished slot's field is selected whole, so the next scan replaces it.
        if (run->done() && !wasDone_) {
            wasDone_ = true;
            serial_->selectAll();
        }
    }
    setText(stage_, stage);
    setText(elapsed_, elapsed);
    if (fix_->toolTip() != fix) {
        fix_->setFullText(fix);
        ++textUpdates_;
    }
    if (verdict_->text() != words) {
        setText(verdict_, words);
        fitVerdict();
    }
    if (verdict == station::Verdict::Running || !run || !bars.empty())
        chart_->setValues(std::move(bars), limit);
    serial_->setReadOnly(verdict == station::Verdict::Running);
    setTone(unkept ? toneOf(station::Verdict::Running) : toneOf(verdict));

    QStringList parts{words.isEmpty() ? station::verdictText(verdict) : words};
    if (!serial().isEmpty()) parts << tr("unit %1").arg(serial());
    if (!stage.isEmpty()) parts << QString(stage).replace('\n', QLatin1String(" / "));
    if (!elapsed.isEmpty()) parts << elapsed + tr(" in this state");
    if (!fix.isEmpty()) parts << fix;
    if (!chart_->values().empty())
        parts << tr("best C/N0 %1 dB-Hz").arg(chart_->values().front().second);
    const QString description = parts.join(QLatin1String("; "));
    if (description != description_) {
        description_ = description;
        setAccessibleDescription(description);
    }
}

void SlotTile::showCalibration(const station::CalibrationOutcome& o, bool stopped) {
    shown_ = nullptr;
    wasDone_ = false;
    stopped &= !o.id;  // a calibration kept before the stop stands
    auto dB = [](const std::optional<double>& v) { return QString::number(*v, 'f', 2); };
    QStringList lines;
    if (stopped)
        lines << tr("calibration stopped");
    else
        lines
            << tr("calibration: %1").arg(o.error.isEmpty() ? o.result : tr("not kept, ") + o.error);
    if (o.offset) lines << tr("offset %1 dB, measured %2 dB-Hz").arg(dB(o.offset), dB(o.measured));
    if (o.drift)
        lines << tr("drift %1 dB%2").arg(dB(o.drift), o.driftFlagged ? tr(", FLAGGED") : QString());
    if (!stopped && !o.measured && !o.status.isEmpty()) lines << o.status;  // why not
    const QString words = stopped          ? station::verdictText(station::Verdict::Interrupted)
                          : o.calibrated() ? tr("CALIBRATED")
                                           : tr("NOT CALIBRATED");
    setText(stage_, lines.join('\n'));
    setText(elapsed_, tr("golden unit %1").arg(o.golden));
    fix_->setFullText({});
    setText(verdict_, words);
    fitVerdict();
    chart_->setValues({}, std::nullopt);
    serial_->setReadOnly(false);
    setTone(stopped ? 0 : o.calibrated() ? 2 : 4);
    description_ = QStringList{words, lines.join(QLatin1String("; ")), elapsed_->text()}.join(
        QLatin1String("; "));
    setAccessibleDescription(description_);
}

}  // namespace stationwin
