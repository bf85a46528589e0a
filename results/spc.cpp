#include "results/spc.h"

#include <algorithm>
#include <cmath>

namespace results::spc {

Limits threeSigma(double center, double sigma, std::optional<double> floor) {
    Limits l{center, sigma, center - 3 * sigma, center + 3 * sigma};
    if (floor) l.lcl = std::max(l.lcl, *floor);
    return l;
}

double zOf(const Limits& limits, double x) {
    return limits.sigma > 0 ? (x - limits.center) / limits.sigma : 0;
}

std::optional<RangeConstants> rangeConstants(int n) {
    static constexpr RangeConstants kTable[] = {
        {1.128, 1.880, 0, 3.267},     {1.693, 1.023, 0, 2.574},     {2.059, 0.729, 0, 2.282},
        {2.326, 0.577, 0, 2.114},     {2.534, 0.483, 0, 2.004},     {2.704, 0.419, 0.076, 1.924},
        {2.847, 0.373, 0.136, 1.864}, {2.970, 0.337, 0.184, 1.816}, {3.078, 0.308, 0.223, 1.777},
    };
    if (n < 2 || n > 10) return std::nullopt;
    return kTable[n - 2];
}

std::vector<double> movingRanges(const std::vector<double>& values) {
    std::vector<double> out;
    for (std::size_t i = 1; i < values.size(); ++i)
        out.push_back(std::fabs(values[i] - values[i - 1]));
    return out;
}

namespace {

double meanOf(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

// A range chart's limits, D3 and D4 times the mean range; its sigma is the
// third of the distance to the upper limit, so that the rules read it as
// they read any chart.
Limits rangeLimits(double rbar, const RangeConstants& c) {
    return Limits{rbar, (c.upperD4 - 1) * rbar / 3, c.lowerD3 * rbar, c.upperD4 * rbar};
}

}  // namespace

std::optional<IndividualsLimits> individualsBaseline(const std::vector<double>& values) {
    if (values.size() < 2) return std::nullopt;
    const RangeConstants c = *rangeConstants(2);
    const double mrbar = meanOf(movingRanges(values));
    return IndividualsLimits{threeSigma(meanOf(values), mrbar / c.d2), rangeLimits(mrbar, c)};
}

double subgroupMean(const std::vector<double>& subgroup) {
    return meanOf(subgroup);
}

double subgroupRange(const std::vector<double>& subgroup) {
    if (subgroup.empty()) return 0;
    auto [lo, hi] = std::minmax_element(subgroup.begin(), subgroup.end());
    return *hi - *lo;
}

std::optional<XbarRLimits> xbarRBaseline(const std::vector<std::vector<double>>& subgroups) {
    if (subgroups.empty()) return std::nullopt;
    const std::size_t n = subgroups.front().size();
    const auto c = rangeConstants(int(n));
    if (!c) return std::nullopt;
    std::vector<double> means, ranges;
    for (const auto& g : subgroups) {
        if (g.size() != n) return std::nullopt;
        means.push_back(subgroupMean(g));
        ranges.push_back(subgroupRange(g));
    }
    return xbarRLimits(meanOf(means), meanOf(ranges), int(n));
}

std::optional<XbarRLimits> xbarRLimits(double grandMean, double meanRange, int n) {
    const auto c = rangeConstants(n);
    if (!c) return std::nullopt;
    // A2 times the mean range is 3 sigma of a subgroup's mean.
    return XbarRLimits{threeSigma(grandMean, c->a2 * meanRange / 3), rangeLimits(meanRange, *c)};
}

std::optional<double> pBar(const std::vector<Sample>& baseline) {
    long long d = 0, n = 0;
    for (const Sample& s : baseline) {
        d += s.nonconforming;
        n += s.n;
    }
    if (n <= 0) return std::nullopt;
    return double(d) / double(n);
}

Limits pLimits(double pbar, long long n) {
    const double sigma = n > 0 ? std::sqrt(pbar * (1 - pbar) / double(n)) : 0;
    Limits l = threeSigma(pbar, sigma, 0.0);
    l.ucl = std::min(l.ucl, 1.0);
    return l;
}

CusumPoint cusumStep(const CusumDesign& d, const CusumPoint& previous, double x) {
    CusumPoint p;
    const double k = d.k * d.sigma;
    p.upper = std::max(0.0, x - (d.target + k) + previous.upper);
    p.lower = std::max(0.0, (d.target - k) - x + previous.lower);
    p.upperRun = p.upper > 0 ? previous.upperRun + 1 : 0;
    p.lowerRun = p.lower > 0 ? previous.lowerRun + 1 : 0;
    p.signal = p.upper > d.h * d.sigma || p.lower > d.h * d.sigma;
    return p;
}

std::vector<CusumPoint> cusum(const CusumDesign& d, const std::vector<double>& values) {
    std::vector<CusumPoint> out;
    CusumPoint last;
    for (double x : values) out.push_back(last = cusumStep(d, last, x));
    return out;
}

EwmaPoint ewmaStep(const EwmaDesign& d, double previousZ, int i, double x) {
    EwmaPoint p;
    p.z = d.lambda * x + (1 - d.lambda) * previousZ;
    const double w = d.width * d.sigma *
                     std::sqrt(d.lambda / (2 - d.lambda) * (1 - std::pow(1 - d.lambda, 2.0 * i)));
    p.lcl = d.target - w;
    p.ucl = d.target + w;
    p.signal = p.z > p.ucl || p.z < p.lcl;
    return p;
}

std::vector<EwmaPoint> ewma(const EwmaDesign& d, const std::vector<double>& values) {
    std::vector<EwmaPoint> out;
    double z = d.target;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out.push_back(ewmaStep(d, z, int(i) + 1, values[i]));
        z = out.back().z;
    }
    return out;
}

const RuleRow& ruleRow(Rule rule) {
    for (const RuleRow& r : kRules)
        if (r.rule == rule) return r;
    return kRules.front();
}

const RuleRow* ruleById(const std::string& id) {
    for (const RuleRow& r : kRules)
        if (id == r.id) return &r;
    return nullptr;
}

namespace {

// Whether at least m of the `window` points ending at index (as many as
// there are, at the start of a chart) lie beyond `beyond` sigmas on one
// side, the newest among them (a rule breaks at the point that completes it).
bool mOfWindow(const std::vector<double>& z, std::size_t index, int m, int window, double beyond) {
    const std::size_t first = index + 1 >= std::size_t(window) ? index + 1 - window : 0;
    for (int side : {1, -1}) {
        if (side * z[index] <= beyond) continue;
        int count = 0;
        for (std::size_t i = first; i <= index; ++i)
            if (side * z[i] > beyond) ++count;
        if (count >= m) return true;
    }
    return false;
}

// Whether the `run` points ending at index all satisfy the test.
template <typename Test>
bool runOf(std::size_t index, int run, Test test) {
    if (index + 1 < std::size_t(run)) return false;
    for (std::size_t i = index + 1 - run; i <= index; ++i)
        if (!test(i)) return false;
    return true;
}

}  // namespace

bool breaksAt(Rule rule, const std::vector<double>& z, std::size_t index) {
    if (index >= z.size()) return false;
    const int n = ruleRow(rule).points;
    switch (rule) {
        case Rule::BeyondThree:
            return std::fabs(z[index]) > 3;
        case Rule::TwoOfThree:
            return mOfWindow(z, index, 2, 3, 2);
        case Rule::FourOfFive:
            return mOfWindow(z, index, 4, 5, 1);
        case Rule::EightOneSide:
            return runOf(index, n, [&](std::size_t i) { return z[i] > 0; }) ||
                   runOf(index, n, [&](std::size_t i) { return z[i] < 0; });
        case Rule::SixTrending:
            // Six points, five steps each the same way.
            return runOf(index, n - 1, [&](std::size_t i) { return i > 0 && z[i] > z[i - 1]; }) ||
                   runOf(index, n - 1, [&](std::size_t i) { return i > 0 && z[i] < z[i - 1]; });
        case Rule::FourteenAltern:
            // Fourteen points, thirteen steps each turning the other way.
            return runOf(index, n - 2, [&](std::size_t i) {
                return i > 1 && (z[i] - z[i - 1]) * (z[i - 1] - z[i - 2]) < 0;
            });
        case Rule::FifteenWithin:
            return runOf(index, n, [&](std::size_t i) { return std::fabs(z[i]) < 1; });
        case Rule::EightOutside:
            return runOf(index, n, [&](std::size_t i) { return std::fabs(z[i]) > 1; });
        case Rule::CusumInterval:
        case Rule::EwmaInterval:
        case Rule::ProportionLimit:
            return false;
    }
    return false;
}

std::vector<Rule> brokenAt(RuleSet set, const std::vector<double>& z, std::size_t index) {
    std::vector<Rule> out;
    for (const RuleRow& r : kRules) {
        if (!r.runRule || (r.nelson && set != RuleSet::Nelson)) continue;
        if (breaksAt(r.rule, z, index)) out.push_back(r.rule);
    }
    return out;
}

std::vector<Broken> judge(RuleSet set, const std::vector<double>& z) {
    std::vector<Broken> out;
    for (std::size_t i = 0; i < z.size(); ++i)
        for (Rule r : brokenAt(set, z, i)) out.push_back({i, r});
    return out;
}

}  // namespace results::spc
