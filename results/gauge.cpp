#include "results/gauge.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "results/statistics.h"

namespace results::gauge {

namespace {

// The continued fraction of the regularized incomplete beta function
// (modified Lentz), which converges fast for x < (a + 1) / (a + b + 2).
double betaFraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300;
    constexpr double kEps = 1e-15;
    double c = 1, d = 1 - (a + b) * x / (a + 1);
    if (std::fabs(d) < kTiny) d = kTiny;
    d = 1 / d;
    double h = d;
    for (int m = 1; m <= 1000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((a + m2 - 1) * (a + m2));
        d = 1 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1 / d;
        h *= d * c;
        aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1));
        d = 1 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1) < kEps) break;
    }
    return h;
}

// I_x(a, b).
double incompleteBeta(double a, double b, double x) {
    if (x <= 0) return 0;
    if (x >= 1) return 1;
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) +
                                  a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1) / (a + b + 2)) return front * betaFraction(a, b, x) / a;
    return 1 - front * betaFraction(b, a, 1 - x) / b;
}

AnovaLine line(int df, double ss) {
    return {df, ss, df > 0 ? ss / df : 0, {}, {}};
}

// F and p of a line against the line its expected mean square is tested
// against.  Against a mean square of 0 (no variation there) a line with
// variation is as significant as can be (p 0, F without a value), one
// without has no test.
void test(AnovaLine& l, const AnovaLine& against) {
    if (against.ms <= 0) {
        if (l.ms > 0) l.p = 0;
        return;
    }
    l.f = l.ms / against.ms;
    l.p = fUpperTail(*l.f, l.df, against.df);
}

// The coarsest step the values are given in: the largest 10^k, k from 0 down
// to -9, of which each is a whole multiple; 0 when none is.
double resolutionOf(const std::vector<Observation>& observations) {
    for (int k = 0; k >= -9; --k) {
        const double step = std::pow(10.0, k);
        const bool onGrid =
            std::all_of(observations.begin(), observations.end(), [&](const Observation& o) {
                const double q = o.value / step;
                return std::fabs(q) < 1e12 &&
                       std::fabs(q - std::round(q)) <=
                           1e-6 + 8 * std::numeric_limits<double>::epsilon() * std::fabs(q);
            });
        if (onGrid) return step;
    }
    return 0;
}

// The largest sum of squares that is no variation.  Values that are whole
// multiples of a resolution δ give sums of squares that are each either 0 or
// at least δ² / n² (every deviation the sums are made of is a multiple of
// δ / n), so anything under half that is the arithmetic's rounding; where no
// resolution is found, a bound on that rounding alone.
double noVariationBelow(const std::vector<Observation>& observations, double n) {
    double largest = 0;
    for (const Observation& o : observations) largest = std::max(largest, std::fabs(o.value));
    const double rounding = std::numeric_limits<double>::epsilon() * largest;
    const double delta = resolutionOf(observations);
    return std::max(delta * delta / (2 * n * n), 4 * n * n * n * rounding * rounding);
}

Component component(double variance) {
    Component c;
    c.variance = std::max(0.0, variance);
    c.sd = std::sqrt(c.variance);
    return c;
}

}  // namespace

double fUpperTail(double f, double d1, double d2) {
    if (!(f > 0)) return 1;
    return incompleteBeta(d2 / 2, d1 / 2, d2 / (d2 + d1 * f));
}

const char* verdictWord(Verdict v) {
    switch (v) {
        case Verdict::Acceptable:
            return "acceptable";
        case Verdict::Conditional:
            return "conditional";
        case Verdict::Rejected:
            return "rejected";
    }
    return "rejected";
}

Verdict verdictOf(double pctGrr) {
    if (pctGrr < 10) return Verdict::Acceptable;
    if (pctGrr <= 30) return Verdict::Conditional;
    return Verdict::Rejected;
}

std::optional<Grr> analyzeGrr(const std::vector<Observation>& observations,
                              const GrrOptions& options, std::string* error, NoFigures* kind) {
    auto fail = [&](std::string why) -> std::optional<Grr> {
        if (kind) *kind = NoFigures::Design;
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    std::map<std::string, int> partIndex, appraiserIndex;
    for (const Observation& o : observations) {
        partIndex.emplace(o.part, 0);
        appraiserIndex.emplace(o.appraiser, 0);
    }
    const int p = int(partIndex.size()), a = int(appraiserIndex.size());
    if (p < 2) return fail("a gauge study needs at least two parts (units)");
    if (a < 2) return fail("a gauge study needs at least two appraisers (slots)");
    int i = 0;
    for (auto& [name, index] : partIndex) index = i++;
    i = 0;
    for (auto& [name, index] : appraiserIndex) index = i++;

    std::vector<std::vector<std::vector<double>>> cells(p, std::vector<std::vector<double>>(a));
    for (const Observation& o : observations)
        cells[partIndex[o.part]][appraiserIndex[o.appraiser]].push_back(o.value);
    const int r = int(cells[0][0].size());
    for (const auto& [part, pi] : partIndex)
        for (const auto& [appraiser, ai] : appraiserIndex)
            if (int(cells[pi][ai].size()) != r)
                return fail("the study is not balanced: part \"" + part + "\" has " +
                            std::to_string(cells[pi][ai].size()) + " trials with appraiser \"" +
                            appraiser + "\", part \"" + partIndex.begin()->first + "\" has " +
                            std::to_string(r) + " with \"" + appraiserIndex.begin()->first + "\"");
    if (r < 2)
        return fail("a gauge study needs at least two trials of each part by each appraiser");

    const double n = double(p) * a * r;
    double grand = 0;
    std::vector<double> partMean(p, 0), appraiserMean(a, 0);
    std::vector<std::vector<double>> cellMean(p, std::vector<double>(a, 0));
    for (int pi = 0; pi < p; ++pi)
        for (int ai = 0; ai < a; ++ai) {
            cellMean[pi][ai] = mean(cells[pi][ai]);
            partMean[pi] += cellMean[pi][ai] / a;
            appraiserMean[ai] += cellMean[pi][ai] / p;
            grand += cellMean[pi][ai] / (double(p) * a);
        }
    double ssP = 0, ssA = 0, ssPA = 0, ssE = 0, ssT = 0;
    for (int pi = 0; pi < p; ++pi) ssP += double(a) * r * std::pow(partMean[pi] - grand, 2);
    for (int ai = 0; ai < a; ++ai) ssA += double(p) * r * std::pow(appraiserMean[ai] - grand, 2);
    for (int pi = 0; pi < p; ++pi)
        for (int ai = 0; ai < a; ++ai) {
            ssPA += r * std::pow(cellMean[pi][ai] - partMean[pi] - appraiserMean[ai] + grand, 2);
            for (double y : cells[pi][ai]) {
                ssE += std::pow(y - cellMean[pi][ai], 2);
                ssT += std::pow(y - grand, 2);
            }
        }
    const double tiny = noVariationBelow(observations, n);
    for (double* ss : {&ssP, &ssA, &ssPA, &ssE, &ssT})
        if (*ss <= tiny) *ss = 0;
    if (!(ssT > 0)) {
        auto none = fail("no variation: every value is the same");
        if (kind) *kind = NoFigures::NoVariation;
        return none;
    }

    Grr g;
    g.parts = p;
    g.appraisers = a;
    g.trials = r;
    g.mean = grand;
    Anova& full = g.full;
    full.part = line(p - 1, ssP);
    full.appraiser = line(a - 1, ssA);
    full.interaction = line((p - 1) * (a - 1), ssPA);
    full.repeatability = line(p * a * (r - 1), ssE);
    full.total = line(int(n) - 1, ssT);
    test(*full.interaction, full.repeatability);
    test(full.part, *full.interaction);
    test(full.appraiser, *full.interaction);

    const double msE = full.repeatability.ms, msPA = full.interaction->ms;
    const bool pool = !full.interaction->p || *full.interaction->p >= options.poolAlpha;
    if (pool) {
        Anova reduced;
        reduced.part = line(p - 1, ssP);
        reduced.appraiser = line(a - 1, ssA);
        reduced.repeatability = line(full.interaction->df + full.repeatability.df, ssPA + ssE);
        reduced.total = full.total;
        test(reduced.part, reduced.repeatability);
        test(reduced.appraiser, reduced.repeatability);
        const double ms = reduced.repeatability.ms;
        g.repeatability = component(ms);
        g.appraiser = component((full.appraiser.ms - ms) / (double(p) * r));
        g.interaction = component(0);
        g.part = component((full.part.ms - ms) / (double(a) * r));
        g.pooled = reduced;
    } else {
        g.repeatability = component(msE);
        g.interaction = component((msPA - msE) / r);
        g.appraiser = component((full.appraiser.ms - msPA) / (double(p) * r));
        g.part = component((full.part.ms - msPA) / (double(a) * r));
    }
    g.reproducibility = component(g.appraiser.variance + g.interaction.variance);
    g.grr = component(g.repeatability.variance + g.reproducibility.variance);
    g.total = component(g.grr.variance + g.part.variance);
    for (Component* c : {&g.repeatability, &g.reproducibility, &g.appraiser, &g.interaction, &g.grr,
                         &g.part, &g.total}) {
        c->pctContribution = g.total.variance > 0 ? 100 * c->variance / g.total.variance : 0;
        c->pctStudy = g.total.sd > 0 ? 100 * c->sd / g.total.sd : 0;
        if (options.tolerance && *options.tolerance > 0)
            c->pctTolerance = 100 * options.studySigmas * c->sd / *options.tolerance;
    }
    // A σ_GRR of a step of the data against a wide spread of units can give
    // more categories than an int holds: held at 1e9, as good as unbounded.
    if (g.grr.sd > 0) g.ndc = int(std::floor(std::min(1e9, 1.41 * g.part.sd / g.grr.sd)));
    g.verdict = verdictOf(g.grr.pctTolerance ? *g.grr.pctTolerance : g.grr.pctStudy);
    if (g.verdict == Verdict::Acceptable && g.ndc && *g.ndc < kMinNdc)
        g.verdict = Verdict::Conditional;
    return g;
}

std::optional<Type1> analyzeType1(const std::vector<double>& values, double tolerance,
                                  std::optional<double> reference, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<Type1> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (values.size() < 2) return fail("a type-1 study needs at least two repeats");
    if (!(tolerance > 0)) return fail("a type-1 study needs a tolerance above 0");
    Type1 t;
    t.n = int(values.size());
    t.mean = mean(values);
    t.sd = sampleSd(values);
    if (!(t.sd > 0)) return fail("every repeat gave the same value: Cg is not defined");
    t.cg = 0.2 * tolerance / (6 * t.sd);
    if (reference) {
        t.bias = t.mean - *reference;
        t.cgk = (0.1 * tolerance - std::fabs(*t.bias)) / (3 * t.sd);
    }
    t.passed = *t.cg >= kMinCg && (!t.cgk || *t.cgk >= kMinCg);
    return t;
}

}  // namespace results::gauge
