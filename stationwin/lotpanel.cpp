#include "stationwin/lotpanel.h"

#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "results/statistics.h"
#include "results/svgchart.h"
#include "vocabulary/reasons.h"

namespace stationwin {

namespace chart = results::chart;

namespace {

// The TTFF histogram's bins.  The report's own bins follow the values'
// spread, which on a bench can be nothing: identical receivers give one bin
// drawn across the whole plot, and values a few milliseconds apart beside a
// limit a minute away give bars too thin to see.  Then the bins are a tenth
// of the plotted range (the values and the limit) or of the largest value,
// whichever is wider, with three empty ones each side, none below 0.
std::vector<chart::Bin> ttffBins(const std::vector<double>& sorted, std::optional<double> limit) {
    std::vector<chart::Bin> bins = chart::bins(sorted);
    if (bins.empty()) return bins;
    const double lo = sorted.front(), hi = sorted.back();
    const double range = std::max(hi, limit.value_or(hi)) - std::min(lo, limit.value_or(lo));
    if (bins.size() >= 5 && bins.front().high - bins.front().low >= range / 40) return bins;
    const double rough = std::max({range, std::abs(lo), std::abs(hi)}) / 10;
    double width = 1;  // 1, 2 or 5 times a power of ten, at least rough
    if (rough > 0) {
        const double power = std::pow(10.0, std::floor(std::log10(rough)));
        for (double m : {1.0, 2.0, 5.0, 10.0})
            if ((width = m * power) >= rough * (1 - 1e-9)) break;
    }
    double first = std::floor(lo / width) - 3;
    if (lo >= 0) first = std::max(first, 0.0);
    const int count = int(std::floor(hi / width) + 3 - first) + 1;
    bins.assign(std::size_t(count), {});
    for (int i = 0; i < count; ++i) {
        bins[std::size_t(i)].low = (first + i) * width;
        bins[std::size_t(i)].high = (first + i + 1) * width;
    }
    for (double v : sorted)
        ++bins[std::size_t(std::clamp(int(std::floor(v / width) - first), 0, count - 1))].count;
    return bins;
}

}  // namespace

SvgChart::SvgChart(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMinimumHeight(120);
}

void SvgChart::setSvg(const QString& svg) {
    const QByteArray bytes = svg.toUtf8();
    if (bytes == svg_) return;
    svg_ = bytes;
    update();
}

void SvgChart::paintEvent(QPaintEvent*) {
    if (svg_.isEmpty()) return;
    QSvgRenderer renderer(svg_);
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    // The chart's own proportions, as large as the widget allows.
    const QSizeF size = renderer.defaultSize().scaled(this->size(), Qt::KeepAspectRatio);
    renderer.render(&painter, QRectF(QPointF((width() - size.width()) / 2, 0), size));
}

LotPanel::LotPanel(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("Lot at a glance"));
    heading_ = new QLabel(this);
    QFont big = heading_->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    heading_->setFont(big);
    figures_ = new QLabel(this);
    figures_->setWordWrap(true);
    QFont large = figures_->font();
    large.setPointSizeF(large.pointSizeF() * 1.3);
    figures_->setFont(large);
    ttff_ = new SvgChart(this);
    ttff_->setAccessibleName(tr("TTFF histogram of the lot"));
    cn0_ = new SvgChart(this);
    cn0_->setAccessibleName(tr("C/N0 of each slot in the lot"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading_);
    layout->addWidget(figures_);
    layout->addWidget(ttff_, 1);
    layout->addWidget(cn0_, 1);
    clear(tr("Enter a lot to see its figures."));
}

void LotPanel::clear(const QString& why) {
    heading_->setText(tr("Lot"));
    figures_->setText(why);
    ttff_->setSvg({});
    cn0_->setSvg({});
    setAccessibleDescription(why);
}

QString LotPanel::figuresText() const {
    return figures_->text();
}

void LotPanel::showLot(const QString& lot, const results::Distributions& data,
                       std::optional<double> maxTtff, std::optional<double> minCn0) {
    const results::Figures& f = data.summary.overall;
    heading_->setText(tr("Lot %1").arg(lot));
    QString text = tr("%1 units tested, %2 passed; first-pass yield %3")
                       .arg(f.unitsTested)
                       .arg(f.unitsPassed)
                       .arg(results::Figures::percent(f.firstPassYield()));
    const qint64 faults = f.outcomes.value(results::codeOf(results::Outcome::StationFault));
    const qint64 stopped = f.outcomes.value(results::codeOf(results::Outcome::Interrupted));
    if (faults || stopped)
        text += tr(" (apart: %1 station faults, %2 stopped)").arg(faults).arg(stopped);
    std::vector<double> ttffs;
    for (const results::PageMeasure& m : data.measures)
        if (QLatin1String(m.key) == QLatin1String("ttff_s")) ttffs = m.sorted;
    if (!ttffs.empty())
        text += tr("; TTFF median %1 s, p95 %2 s")
                    .arg(results::median(ttffs), 0, 'f', 2)
                    .arg(results::nearestRank(ttffs, 95), 0, 'f', 2);
    figures_->setText(text);
    setAccessibleDescription(text);

    chart::Markers ttffLimit, cn0Limit;
    if (maxTtff) ttffLimit.push_back({*maxTtff, tr("limit %1 s").arg(*maxTtff)});
    if (minCn0) cn0Limit.push_back({*minCn0, tr("limit %1 dB-Hz").arg(*minCn0)});
    ttff_->setSvg(ttffs.empty() ? QString()
                                : chart::histogram({tr("TTFF"), tr("s"), tr("units"), 640, 240},
                                                   ttffBins(ttffs, maxTtff), ttffLimit));
    // With a signal test, its C/N0 per slot (the line's verdict, corrected by
    // each slot's calibration) against the window most of the lot ran under.
    const bool signal = !data.signalByPort.isEmpty() && data.measures.size() > results::kSignal;
    if (signal) {
        const results::PageMeasure& m = data.measures[results::kSignal];
        cn0Limit.clear();
        if (m.low) cn0Limit.push_back({m.low->value, tr("low %1 dB-Hz").arg(m.low->value)});
        if (m.limit) cn0Limit.push_back({m.limit->value, tr("high %1 dB-Hz").arg(m.limit->value)});
    }
    const auto& byPort = signal ? data.signalByPort : data.cn0ByPort;
    std::vector<chart::Box> boxes;
    for (auto it = byPort.cbegin(); it != byPort.cend(); ++it)
        if (!it.value().empty()) boxes.push_back(chart::box(it.key(), it.value()));
    cn0_->setSvg(boxes.empty() ? QString()
                               : chart::boxPlot({signal ? tr("Signal test C/N0 per slot")
                                                        : tr("C/N0 per slot"),
                                                 tr("slot"), tr("dB-Hz"), 640, 240},
                                                boxes, cn0Limit));
}

}  // namespace stationwin
