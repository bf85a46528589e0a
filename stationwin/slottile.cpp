#include "stationwin/slottile.h"

#include <QFileInfo>
#include <QGridLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <functional>

#include "station/calibration.h"
#include "station/unitrun.h"
#include "vocabulary/evidence.h"

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
        case station::Verdict::Refused:  // not tested: its words say why
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

QString satelliteName(const QString& system, int prn) {
    // Each system's letter, and the ranges NMEA and receivers number it in
    // beside its own (first sent number, the system's number it stands for).
    struct Letter {
        const char* system;
        char letter;
        std::initializer_list<std::pair<int, int>> ranges;
    };
    static const Letter kLetters[] = {
        {"GPS", 'G', {}},
        {"GLONASS", 'R', {{65, 1}}},
        {"Galileo", 'E', {{301, 1}}},
        {"BeiDou", 'C', {{201, 1}, {401, 1}}},
        {"QZSS", 'J', {{193, 1}}},
        {"NavIC", 'I', {}},
        {"SBAS", 'S', {{33, 20}, {120, 20}}},  // NMEA 33 is PRN 120, named S20
    };
    for (const Letter& l : kLetters) {
        if (system != QLatin1String(l.system)) continue;
        int number = prn;
        for (const auto& [first, is] : l.ranges)
            if (prn >= first && prn < first + 64) number = prn - first + is;
        return QLatin1Char(l.letter) + QStringLiteral("%1").arg(number, 2, 10, QLatin1Char('0'));
    }
    return QString::number(prn);  // a system the station could not tell
}

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

namespace {

constexpr int kNamePixels = 9;  // the smallest name still read at the bench

QFont scaleFont(const QFont& base, int height) {
    QFont small = base;
    small.setPixelSize(std::clamp(height / 6, 8, 14));
    return small;
}

int scaleWidth(const QFont& base, int height) {
    return QFontMetrics(scaleFont(base, height)).horizontalAdvance(QStringLiteral("55")) + 4;
}

}  // namespace

// Names run across under their bars in the largest font that lets each fit
// its bar's width.  Where none does, they are turned to run upwards, one
// line of text per bar, as long as that leaves the bars half the chart's
// height; else, and when that names more bars, they run across at the
// smallest readable size.  Bars beyond what can be named are left out, the
// weakest first (the values come strongest first).
Cn0Chart::Names Cn0Chart::names() const {
    Names n;
    if (values_.empty()) return n;
    const int left = scaleWidth(font(), height());
    const int room = std::max(width() - 2 - left, 1);
    const int total = int(values_.size());
    const int largest = std::max(scaleFont(font(), height()).pixelSize(), kNamePixels);
    int widest = 0;  // at the current size
    auto sized = [&](int pixels) {
        n.font = font();
        n.font.setPixelSize(pixels);
        const QFontMetrics m(n.font);
        widest = 0;
        for (const auto& value : values_)
            widest = std::max(widest, m.horizontalAdvance(value.first));
        return m;
    };
    int count = 0;
    for (int pixels = largest; pixels >= kNamePixels && count < total; --pixels) {
        sized(pixels);
        count = std::min(total, room / (widest + 2));
    }
    if (count < total) {  // turned, if it names more
        for (int pixels = largest; pixels >= kNamePixels; --pixels) {
            const QFontMetrics m = sized(pixels);
            const int turned = std::min(total, room / m.height());
            if (widest + 4 > height() / 2) continue;
            if (turned > count && (turned == total || pixels == kNamePixels)) {
                n.turned = true;
                count = turned;
                break;
            }
        }
        if (!n.turned) sized(kNamePixels);
    }
    count = std::max(count, 1);
    const QFontMetrics m(n.font);
    const int strip = n.turned ? widest + 2 : m.height();
    const double step = double(room) / double(count);
    const int top = height() - 2 - strip;
    for (int i = 0; i < count; ++i) {
        const int x0 = left + int(step * i), x1 = left + int(step * (i + 1));
        if (n.turned)
            n.rects.emplace_back(x0 + (x1 - x0 - m.height()) / 2, top, m.height(), strip);
        else
            n.rects.emplace_back(x0, top, x1 - x0, strip);
    }
    return n;
}

QRect Cn0Chart::plotRect(const Names& names) const {
    const int strip = names.rects.empty() ? 0 : names.rects.front().height() + 2;
    return rect().adjusted(scaleWidth(font(), height()), 2, -2, -2 - strip);
}

void Cn0Chart::paintEvent(QPaintEvent*) {
    if (values_.empty()) return;  // no sky: no frame, no scale
    const Names names = this->names();
    const QRect plot = plotRect(names);
    if (plot.width() < 10 || plot.height() < 10) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor ink = palette().color(QPalette::WindowText);
    p.setFont(scaleFont(font(), height()));
    auto yOf = [&](double dbHz) {
        return plot.bottom() -
               int(std::lround(plot.height() * std::min(dbHz, double(kScaleTop)) / kScaleTop));
    };
    // The scale: 0, 20 and 40 dB-Hz.
    p.setPen(QPen(ink, 1));
    for (int mark : {0, 20, 40}) {
        const int y = yOf(mark);
        p.drawLine(plot.left() - 2, y, plot.left(), y);
        p.drawText(QRect(0, y - 8, plot.left() - 4, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(mark));
    }
    p.drawLine(plot.bottomLeft(), plot.topLeft());
    QColor fill = ink;
    fill.setAlpha(200);
    p.setFont(names.font);
    const int bar = std::max(1, int(0.7 * plot.width() / double(names.rects.size())));
    for (std::size_t i = 0; i < names.rects.size(); ++i) {
        const QRect& name = names.rects[i];
        const int x = name.center().x() - bar / 2;
        const int top = yOf(values_[i].second);
        p.fillRect(QRect(x, top, bar, plot.bottom() - top + 1), fill);
        if (!names.turned) {
            p.drawText(name, Qt::AlignHCenter | Qt::AlignTop, values_[i].first);
            continue;
        }
        // Upwards, ending under its bar.
        p.save();
        p.translate(name.center());
        p.rotate(-90);
        p.drawText(QRect(-name.height() / 2, -name.width() / 2, name.height(), name.width()),
                   Qt::AlignRight | Qt::AlignVCenter, values_[i].first);
        p.restore();
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
    retest_ = new QLabel(tr("Retest"), this);
    retest_->setAccessibleName(tr("Retest, slot %1").arg(number));
    retest_->setAutoFillBackground(true);  // the tile's colours the other way round
    retest_->setMargin(2);
    retest_->hide();
    alarm_ = new QLabel(this);
    alarm_->setAccessibleName(tr("Alarm, slot %1").arg(number));
    alarm_->setAutoFillBackground(true);  // as the retest mark
    alarm_->setMargin(2);
    alarm_->setWordWrap(true);
    alarm_->hide();
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
    log_ = new QPushButton(tr("Log"), this);
    log_->setAccessibleName(tr("Log, slot %1").arg(number));
    log_->setToolTip(tr("The receiver's bytes of the unit's last test"));
    log_->setFocusPolicy(Qt::NoFocus);  // the serial field keeps the scanner's keys
    log_->hide();
    connect(log_, &QPushButton::clicked, this, &SlotTile::logRequested);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(title_, 0, 0, 1, 2);
    grid->addWidget(serial_, 1, 0);
    grid->addWidget(retest_, 1, 1);
    grid->setColumnStretch(0, 1);
    grid->addWidget(stage_, 2, 0, 1, 2);
    grid->addWidget(elapsed_, 3, 0, 1, 2);
    grid->addWidget(chart_, 4, 0, 1, 2);
    grid->addWidget(fix_, 5, 0, 1, 2);
    grid->addWidget(verdict_, 6, 0);
    grid->addWidget(log_, 6, 1, Qt::AlignBottom);
    grid->addWidget(alarm_, 7, 0, 1, 2);
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

void SlotTile::markStarted() {
    fresh_ = false;
    shown_ = nullptr;  // the next run may well live where the last one did
}

void SlotTile::setRetest(bool retest) {
    retest_->setVisible(retest);
}

bool SlotTile::retestShown() const {
    return !retest_->isHidden();
}

void SlotTile::showAlarms(const QStringList& alarms) {
    alarm_->setText(alarms.join(QLatin1Char('\n')));
    alarm_->setVisible(!alarms.isEmpty());
}

QString SlotTile::alarmsShown() const {
    return alarm_->isHidden() ? QString() : alarm_->text();
}

void SlotTile::askAgain(const QString& notice) {
    lineNote_ = notice;
    serial_->selectAll();
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
    QPalette inverse = retest_->palette();
    inverse.setColor(QPalette::Window, kTones[tone].text);
    inverse.setColor(QPalette::WindowText, kTones[tone].back);
    retest_->setPalette(inverse);
    alarm_->setPalette(inverse);
}

void SlotTile::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    // Sized for reading from two metres: the stage and the verdict large.
    const int unit = std::clamp(std::min(height() / 13, width() / 14), 10, 36);
    setPixelSize(title_, unit * 8 / 10, true);
    setPixelSize(serial_, unit, false);
    setPixelSize(retest_, unit, true);
    setPixelSize(alarm_, unit * 8 / 10, true);
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
        retest_->hide();
        lineNote_.clear();
    }
    if (!run) {
        words.clear();
        if (!device_.isEmpty() && !QFileInfo::exists(device_))
            stage = tr("port missing: %1").arg(device_);
    } else {
        limit = run->config().limits.least(results::Measure::SkyCn0);
        const auto& last = run->tally().last();
        if (verdict == station::Verdict::Running) {
            stage = run->statusText();
            elapsed = tr("%1 s").arg(run->msInState() / 1000);
            if (run->config().cycles > 1)
                elapsed += tr(", cycle %1/%2").arg(run->cycle()).arg(run->config().cycles);
            for (const station::SkySatellite& sat : run->sky().satellites)
                if (sat.cn0 && *sat.cn0 > 0)
                    bars.emplace_back(satelliteName(QString::fromStdString(sat.system), sat.prn),
                                      *sat.cn0);
        } else if (run->refused()) {
            stage = run->statusText();  // "refused by the line: on hold"
        } else if (last) {
            stage = last->status;  // what decided the verdict: "TTFF 22.0 s > 15 s"
            for (const QJsonValue& sat : last->sky)  // the sky at the fix
                if (const int cn0 = sat[QLatin1String("cn0")].toInt(); cn0 > 0)
                    bars.emplace_back(satelliteName(sat[QLatin1String("system")].toString(),
                                                    sat[QLatin1String("prn")].toInt()),
                                      cn0);
        }
        std::sort(bars.begin(), bars.end(),
                  [](const auto& a, const auto& b) { return a.second > b.second; });
        // A pass whose reset the stream never proved says so in its verdict.
        if (!unkept && verdict == station::Verdict::Pass && last && last->resetUnproven())
            words += tr(", reset not proven");
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
        // Behind a signal generator: the level at the antenna port, and what
        // the sensitivity tests measured there.
        QStringList level;
        const std::optional<double> dBm =
            last && verdict != station::Verdict::Running ? last->levelDbm
            : run->config().generator.isEmpty()          ? std::nullopt
                                                         : std::optional(run->config().levelDbm);
        if (dBm) level << tr("at %1 dBm").arg(*dBm, 0, 'f', 1);
        if (last && verdict != station::Verdict::Running)
            for (const results::MeasureRow& m : results::kMeasures)
                if (const auto value = last->measured(m.measure);
                    value &&
                    (m.test == results::Test::Acquisition || m.test == results::Test::Tracking))
                    level << tr(m.said).arg(*value, 0, 'f', m.decimals);
        if (!level.isEmpty())
            fix += (fix.isEmpty() ? QString() : QStringLiteral(", ")) + level.join(", ");
        // A finished slot's field is selected whole, so the next scan replaces it.
        if (run->done() && !wasDone_) {
            wasDone_ = true;
            serial_->selectAll();
        }
    }
    if (!lineNote_.isEmpty())
        stage += (stage.isEmpty() ? QString() : QStringLiteral("\n")) + lineNote_;
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
    // The port's opening at least, not a port that never opened.
    const bool hasLog = run && run->tally().last() &&
                        run->tally().last()->evidence.size() > results::evidence::header().size();
    log_->setVisible(!unkept && hasLog &&
                     (verdict == station::Verdict::Fail || verdict == station::Verdict::Fault));
    setTone(unkept ? toneOf(station::Verdict::Running) : toneOf(verdict));

    QStringList parts{words.isEmpty() ? station::verdictText(verdict) : words};
    if (!serial().isEmpty())
        parts << tr("unit %1").arg(serial()) + (retestShown() ? tr(", retest") : QString());
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
    retest_->hide();
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
