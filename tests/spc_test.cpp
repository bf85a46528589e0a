// The control charts and their rules on published worked examples, typed in
// from their sources, to the digits the sources print.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "results/linecharts.h"
#include "results/spc.h"

namespace results::spc {
namespace {

double printed(double v, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

// Montgomery, Introduction to Statistical Quality Control, 6th edition,
// Example 9.1, Table 9.1: 30 observations, the first 20 from N(10, 1), the
// last 10 from N(11, 1).  (The same data opens the EWMA's Example 9.2.)
const std::vector<double> kMontgomery91 = {9.45,  7.99,  9.29,  11.66, 12.16, 10.18, 8.04,  11.46,
                                           9.20,  10.34, 9.03,  11.47, 10.51, 9.40,  10.08, 9.37,
                                           10.62, 10.31, 8.52,  10.84, 10.90, 9.33,  12.29, 11.50,
                                           10.60, 11.08, 10.38, 11.62, 11.31, 10.52};

// Table 9.2: the tabular CUSUM with mu0 = 10, sigma = 1, k = 1/2, h = 5
// first signals at observation 29, C+ = 5.28 with N+ = 7 (the shift began
// after observation 22), and C- never leaves the interval.
TEST(Cusum, Montgomery91FirstSignalsAt29) {
    const auto c = cusum({10, 1, 0.5, 5}, kMontgomery91);
    int first = 0;
    for (std::size_t i = 0; i < c.size() && !first; ++i)
        if (c[i].signal) first = int(i) + 1;
    EXPECT_EQ(first, 29);
    EXPECT_EQ(printed(c[28].upper, 2), 5.28);
    EXPECT_EQ(c[28].upperRun, 7);
    EXPECT_EQ(printed(c[0].lower, 2), 0.05);
    EXPECT_EQ(printed(c[2].lower, 2), 1.77);
    EXPECT_EQ(printed(c[4].upper, 2), 2.82);
    for (const CusumPoint& p : c) EXPECT_LE(p.lower, 5);
}

// Example 9.2: the EWMA of the same data with lambda = 0.1 and L = 2.7,
// exact limits: z1 = 9.945 within 9.73 and 10.27; the limits widen to
// 10 +- 0.62; observations 29 and 30 are beyond the upper limit.
TEST(Ewma, Montgomery92ExactLimits) {
    const auto e = ewma({10, 1, 0.1, 2.7}, kMontgomery91);
    EXPECT_EQ(printed(e[0].z, 3), 9.945);
    EXPECT_EQ(printed(e[0].lcl, 2), 9.73);
    EXPECT_EQ(printed(e[0].ucl, 2), 10.27);
    EXPECT_EQ(printed(e[1].z, 4), 9.7495);
    EXPECT_EQ(printed(e[29].ucl, 2), 10.62);
    std::vector<int> flagged;
    for (std::size_t i = 0; i < e.size(); ++i)
        if (e[i].signal) flagged.push_back(int(i) + 1);
    EXPECT_EQ(flagged, (std::vector<int>{29, 30}));
}

// Example 6.1 (flow width of a hard-bake process, 25 samples of 5 wafers):
// grand mean 1.5056 and mean range 0.32521 give the X-bar chart's limits
// 1.3180 and 1.6933 and the R chart's 0 and 0.6875 (A2 = 0.577, D4 = 2.114).
TEST(XbarR, Montgomery61Limits) {
    const auto l = xbarRLimits(1.5056, 0.32521, 5);
    ASSERT_TRUE(l);
    // The book rounds from its unrounded grand mean.
    EXPECT_NEAR(l->means.lcl, 1.3180, 1e-4);
    EXPECT_NEAR(l->means.ucl, 1.6933, 1e-4);
    EXPECT_EQ(l->ranges.lcl, 0);
    EXPECT_EQ(printed(l->ranges.ucl, 4), 0.6875);
    // From the subgroups themselves; unequal sizes and sizes off the table
    // are refused.
    const auto g = xbarRBaseline({{1, 2, 3}, {2, 4, 6}});
    ASSERT_TRUE(g);
    EXPECT_DOUBLE_EQ(g->means.center, 3);
    EXPECT_DOUBLE_EQ(g->ranges.center, 3);
    EXPECT_DOUBLE_EQ(g->means.ucl, 3 + 1.023 * 3);
    EXPECT_DOUBLE_EQ(g->ranges.ucl, 2.574 * 3);
    EXPECT_FALSE(xbarRBaseline({{1, 2, 3}, {2, 4}}));
    EXPECT_FALSE(xbarRBaseline({{1}, {2}}));
}

// Individuals and moving range on the in-control first 20 observations of
// Table 9.1 as the baseline: mean 9.996, mean moving range 1.55, limits
// 9.996 +- 3 (1.55 / 1.128) and the moving range's 3.267 x 1.55.  Of the
// shifted last ten none is beyond 3 sigma: the Shewhart chart misses the
// shift the CUSUM finds.
TEST(Individuals, BaselineFrozenThenJudged) {
    const std::vector<double> baseline(kMontgomery91.begin(), kMontgomery91.begin() + 20);
    const auto l = individualsBaseline(baseline);
    ASSERT_TRUE(l);
    EXPECT_EQ(printed(l->individuals.center, 3), 9.996);
    EXPECT_EQ(printed(l->movingRange.center, 2), 1.55);
    EXPECT_EQ(printed(l->individuals.ucl, 4), 14.1183);
    EXPECT_EQ(printed(l->individuals.lcl, 4), 5.8737);
    EXPECT_EQ(printed(l->movingRange.ucl, 4), 5.0639);
    EXPECT_EQ(l->movingRange.lcl, 0);
    std::vector<double> z;
    for (std::size_t i = 20; i < kMontgomery91.size(); ++i)
        z.push_back(zOf(l->individuals, kMontgomery91[i]));
    for (const Broken& b : judge(RuleSet::WesternElectric, z)) EXPECT_NE(b.rule, Rule::BeyondThree);
    EXPECT_FALSE(individualsBaseline({1.0}));
}

// Montgomery, 6th edition, Exercise 6.1 (20 samples of 100, 117
// nonconforming): pbar 0.0585, UCL 0.1289, LCL 0.  With a smaller sample
// the limits widen, as a p-chart of variable n draws them.
TEST(PChart, Montgomery61ExerciseLimits) {
    const auto p = pBar({{117, 2000}});
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, 0.0585);
    const Limits l = pLimits(*p, 100);
    EXPECT_EQ(printed(l.ucl, 4), 0.1289);
    EXPECT_EQ(l.lcl, 0);
    EXPECT_GT(pLimits(*p, 25).ucl, l.ucl);
    EXPECT_FALSE(pBar({}));
}

// When a lot's point is judged.  An Introduction to Business Statistics,
// Example 16.6 (p. 489): ten samples of 200 units, 320 defective, pbar
// 0.16, limits 0.2378 and 0.0822, every sample within them.  The size from
// which a lot is judged, n > 9 (1 - pbar) / pbar, is computed here, not
// printed there: 47.25, so 48; for a pbar of 0.2 the bound is 36 itself,
// whose lower limit is exactly 0, so 37.
TEST(PChart, ALotIsJudgedOnceItsLimitsBind) {
    const auto b = baselineOf(std::vector<Sample>{{320, 2000}});
    ASSERT_TRUE(b);
    EXPECT_EQ(b->center, 0.16);
    const Limits l = pLimits(b->center, 200);
    EXPECT_EQ(printed(l.ucl, 4), 0.2378);
    EXPECT_EQ(printed(l.lcl, 4), 0.0822);
    for (long long d : {40, 44, 22, 34, 24, 32, 28, 32, 34, 30})
        EXPECT_FALSE(judgeLot(*b, {d, 199}, {d, 200})) << d;
    EXPECT_EQ(pJudgedFrom(0.16), 48);
    EXPECT_EQ(pJudgedFrom(0.2), 37);
    EXPECT_EQ(pJudgedFrom(0), 0);
    EXPECT_EQ(pJudgedFrom(1), 0);

    // A lot failing a third of its units: beyond its limit (0.3204) at 47
    // units already, but judged only from 48 (0.3187), raised there by a
    // unit that passed, and not again while the point stays beyond.
    EXPECT_FALSE(judgeLot(*b, {15, 46}, {16, 47}));
    const auto raised = judgeLot(*b, {16, 47}, {16, 48});
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->rule, Rule::ProportionLimit);
    EXPECT_STREQ(raised->chart->id, "yield");
    EXPECT_DOUBLE_EQ(raised->value, 16.0 / 48);
    EXPECT_FALSE(judgeLot(*b, {16, 48}, {17, 49}));
    // Below the lower limit too (a test that stopped failing units), from
    // the first size that has one.
    EXPECT_TRUE(judgeLot(*b, {0, 47}, {0, 48}));
    EXPECT_FALSE(judgeLot(*b, {0, 48}, {0, 49}));
    // The page rings the same lots: a small one is drawn, not judged.
    const Plotted p =
        plot(*chartById("yield"), *b, {{16, 47}, {16, 48}, {30, 200}}, RuleSet::WesternElectric);
    ASSERT_EQ(p.broken.size(), 1u);
    EXPECT_EQ(p.broken[0].index, 1u);
}

// The run rules, each at the point that completes it and not one before,
// on one side only where the rule says so.
TEST(Rules, EachBreaksAtThePointThatCompletesIt) {
    auto rulesAtLast = [](RuleSet set, const std::vector<double>& z) {
        return brokenAt(set, z, z.size() - 1);
    };
    using V = std::vector<Rule>;
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {0, -3.1}), V{Rule::BeyondThree});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {0, 3.0}), V{});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {2.1, 0, 2.1}), V{Rule::TwoOfThree});
    // At a chart's start, of the points there are.
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {2.1, 2.1}), V{Rule::TwoOfThree});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {2.1, 0, -2.1}), V{});
    // Completed already by the points before: the newest is not beyond.
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {2.1, 2.1, 0}), V{});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {-1.5, -1.5, 0.5, -1.5, -1.5}),
              V{Rule::FourOfFive});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, {-1.5, -1.5, 0.5, 1.5, -1.5}), V{});
    const std::vector<double> eightAbove(8, 0.5);
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, eightAbove), V{Rule::EightOneSide});
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric,
                          std::vector<double>(eightAbove.begin() + 1, eightAbove.end())),
              V{});

    // Nelson's only where the set asks.
    const std::vector<double> rising = {-1.5, -1.2, -0.9, -0.6, -0.3, 0.1};
    EXPECT_EQ(rulesAtLast(RuleSet::WesternElectric, rising), V{});
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, rising), V{Rule::SixTrending});
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, std::vector<double>(rising.begin() + 1, rising.end())),
              V{});
    std::vector<double> alternating;
    for (int i = 0; i < 14; ++i) alternating.push_back(i % 2 ? 0.5 : -0.5);
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, alternating), V{Rule::FourteenAltern});
    alternating.pop_back();
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, alternating), V{});
    std::vector<double> hugging;
    for (int i = 0; i < 15; ++i) hugging.push_back(i % 3 ? 0.2 : -0.3);
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, hugging), V{Rule::FifteenWithin});
    std::vector<double> straddling;
    for (int i = 0; i < 8; ++i) straddling.push_back(i % 2 ? 1.5 : -1.5);
    EXPECT_EQ(rulesAtLast(RuleSet::Nelson, straddling), (V{Rule::EightOutside}));
}

// Every rule is named by an id of its own.
TEST(Rules, IdsNameOneRowEach) {
    for (const RuleRow& r : kRules) {
        ASSERT_NE(ruleById(r.id), nullptr) << r.id;
        EXPECT_EQ(ruleById(r.id)->rule, r.rule);
    }
    EXPECT_EQ(ruleById("we9"), nullptr);
}

}  // namespace
}  // namespace results::spc
