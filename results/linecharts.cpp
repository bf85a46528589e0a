#include "results/linecharts.h"

#include <algorithm>
#include <cmath>

namespace results::spc {

const SeriesRow& seriesRow(Series s) {
    for (const SeriesRow& r : kSeries)
        if (r.series == s) return r;
    return kSeries.front();
}

const SeriesRow* seriesById(const std::string& id) {
    for (const SeriesRow& r : kSeries)
        if (id == r.id) return &r;
    return nullptr;
}

const ChartRow* chartById(const std::string& id) {
    for (const ChartRow& r : kCharts)
        if (id == r.id) return &r;
    return nullptr;
}

std::optional<Baseline> baselineOf(const std::vector<double>& values) {
    const auto l = individualsBaseline(values);
    if (!l) return std::nullopt;
    return Baseline{l->individuals.center, l->individuals.sigma, l->movingRange.center,
                    (long long)values.size()};
}

std::optional<Baseline> baselineOf(const std::vector<Sample>& lots) {
    const auto p = pBar(lots);
    if (!p) return std::nullopt;
    long long n = 0;
    for (const Sample& s : lots) n += s.n;
    return Baseline{*p, 0, 0, n};
}

namespace {

Limits individualsLimits(const Baseline& b) {
    return threeSigma(b.center, b.sigma);
}

Limits movingRangeLimits(const Baseline& b) {
    const RangeConstants c = *rangeConstants(2);
    return Limits{b.movingRange, (c.upperD4 - 1) * b.movingRange / 3, 0, c.upperD4 * b.movingRange};
}

void push(Plotted& p, double value, const Limits& l) {
    p.values.push_back(value);
    p.lcl.push_back(l.lcl);
    p.center.push_back(l.center);
    p.ucl.push_back(l.ucl);
}

}  // namespace

Plotted plot(const ChartRow& chart, const Baseline& b, const std::vector<double>& points,
             RuleSet set, const Designs& d) {
    Plotted p;
    switch (chart.kind) {
        case Kind::Individuals: {
            const Limits l = individualsLimits(b);
            std::vector<double> z;
            for (double x : points) {
                push(p, x, l);
                z.push_back(zOf(l, x));
            }
            p.broken = judge(set, z);
            break;
        }
        case Kind::MovingRange: {
            // Read against its upper limit only: a moving range's points are
            // not independent, and run rules on them mislead.
            const Limits l = movingRangeLimits(b);
            const std::vector<double> mr = movingRanges(points);
            for (std::size_t i = 0; i < mr.size(); ++i) {
                push(p, mr[i], l);
                if (mr[i] > l.ucl) p.broken.push_back({i, Rule::BeyondThree});
            }
            break;
        }
        case Kind::Cusum: {
            const auto c = cusum({b.center, b.sigma, d.cusumK, d.cusumH}, points);
            const Limits l{0, b.sigma, -d.cusumH * b.sigma, d.cusumH * b.sigma};
            for (std::size_t i = 0; i < c.size(); ++i) {
                // The larger of the two sums, the lower one drawn below zero.
                push(p, c[i].upper >= c[i].lower ? c[i].upper : -c[i].lower, l);
                if (c[i].signal) p.broken.push_back({i, Rule::CusumInterval});
            }
            break;
        }
        case Kind::Ewma: {
            const auto e = ewma({b.center, b.sigma, d.ewmaLambda, d.ewmaL}, points);
            for (std::size_t i = 0; i < e.size(); ++i) {
                push(p, e[i].z, Limits{b.center, b.sigma, e[i].lcl, e[i].ucl});
                if (e[i].signal) p.broken.push_back({i, Rule::EwmaInterval});
            }
            break;
        }
        case Kind::Proportion:
            break;
    }
    return p;
}

Plotted plot(const ChartRow& chart, const Baseline& b, const std::vector<Sample>& lots,
             RuleSet set) {
    Plotted p;
    if (chart.kind != Kind::Proportion) return p;
    std::vector<double> z;
    for (const Sample& s : lots) {
        const Limits l = pLimits(b.center, s.n);
        const double x = s.n > 0 ? double(s.nonconforming) / double(s.n) : 0;
        push(p, x, l);
        z.push_back(zOf(l, x));
    }
    // Only its own limits: with limits that vary by lot, the run rules'
    // zones are not those they were written for.  A lot is judged as the
    // station judged it, from the size at which its limits bind.
    (void)set;
    const long long from = pJudgedFrom(b.center);
    for (std::size_t i = 0; i < lots.size(); ++i)
        if (from > 0 && lots[i].n >= from && std::fabs(z[i]) > 3)
            p.broken.push_back({i, Rule::ProportionLimit});
    return p;
}

long long pJudgedFrom(double pbar) {
    if (!(pbar > 0 && pbar < 1)) return 0;
    // The bound itself gives a lower limit of exactly zero: the next size.
    const double bound = 9 * (1 - pbar) / pbar;
    if (bound >= 1e15) return 0;
    return (long long)std::floor(bound + 1e-9) + 1;
}

std::optional<Finding> judgeLot(const Baseline& b, const Sample& before, const Sample& now) {
    const long long from = pJudgedFrom(b.center);
    if (from <= 0 || now.n < from) return std::nullopt;
    auto beyond = [&](const Sample& s, double* x) {
        *x = s.n > 0 ? double(s.nonconforming) / double(s.n) : 0;
        return s.n >= from && std::fabs(zOf(pLimits(b.center, s.n), *x)) > 3;
    };
    double x = 0, previous = 0;
    if (!beyond(now, &x) || beyond(before, &previous)) return std::nullopt;
    return Finding{chartById("yield"), Rule::ProportionLimit, x};
}

std::vector<Finding> judgeNewest(Series series, const Baseline& b,
                                 const std::vector<double>& points, RuleSet set, const Designs& d) {
    std::vector<Finding> out;
    if (points.empty()) return out;
    for (const ChartRow& chart : kCharts) {
        if (chart.series != series || chart.kind == Kind::Proportion) continue;
        const Plotted p = plot(chart, b, points, set, d);
        if (p.values.empty()) continue;
        const std::size_t last = p.values.size() - 1;
        auto brokenAtPoint = [&](std::size_t i, Rule r) {
            return std::any_of(p.broken.begin(), p.broken.end(),
                               [&](const Broken& x) { return x.index == i && x.rule == r; });
        };
        for (const Broken& x : p.broken)
            if (x.index == last && !(last > 0 && brokenAtPoint(last - 1, x.rule)))
                out.push_back({&chart, x.rule, p.values[last]});
    }
    return out;
}

}  // namespace results::spc
