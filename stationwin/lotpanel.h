// The lot at a glance, beside the slots: its yield in large figures, the TTFF
// histogram against the limit and each slot's C/N0 as box plots side by
// side (the signal test's when the lot has one), drawn from the results
// database by the report's own definitions and charts (the page a browser
// opens draws the same SVG).  The figures are
// also the panel's accessible description, so they read without the picture.
#pragma once

#include <QByteArray>
#include <QWidget>
#include <optional>

#include "results/htmlreport.h"

class QLabel;

namespace stationwin {

// An SVG chart drawn to the widget's size.
class SvgChart : public QWidget {
public:
    explicit SvgChart(QWidget* parent = nullptr);
    void setSvg(const QString& svg);
    const QByteArray& svg() const { return svg_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QByteArray svg_;
};

class LotPanel : public QWidget {
public:
    explicit LotPanel(QWidget* parent = nullptr);
    // The lot's figures; limits drawn where the run has them.
    void showLot(const QString& lot, const results::Distributions& data,
                 std::optional<double> maxTtff, std::optional<double> minCn0);
    void clear(const QString& why);
    QString figuresText() const;

private:
    QLabel* heading_;
    QLabel* figures_;
    SvgChart* ttff_;
    SvgChart* cn0_;
};

}  // namespace stationwin
