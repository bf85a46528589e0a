// The gauge studies' figures on published worked examples, typed in from
// their sources, to the digits the sources print.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "results/gauge.h"

namespace results::gauge {
namespace {

// Rounds to the printed digits.
double printed(double v, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

// values[appraiser][trial][part], parts and appraisers named by their index.
std::vector<Observation> crossed(const std::vector<std::vector<std::vector<double>>>& values,
                                 const char* appraiserNames) {
    std::vector<Observation> out;
    for (std::size_t a = 0; a < values.size(); ++a)
        for (const auto& trial : values[a])
            for (std::size_t p = 0; p < trial.size(); ++p)
                out.push_back({std::to_string(p + 1), std::string(1, appraiserNames[a]), trial[p]});
    return out;
}

// AIAG, Measurement Systems Analysis reference manual, 4th edition, the gage
// R&R data sheet (10 parts, appraisers A, B, C, 3 trials); the same data is
// Minitab's "Example of Crossed Gage R&R Study" (tolerance 8), whose printed
// figures are checked: the interaction's p-value 0.974 (so it is pooled),
// %Contribution Part-To-Part 92.24 and Total Gage R&R 7.76, %Study Var of
// Total Gage R&R 27.86, and 4 distinct categories.
const std::vector<std::vector<std::vector<double>>> kAiag = {
    {{0.29, -0.56, 1.34, 0.47, -0.80, 0.02, 0.59, -0.31, 2.26, -1.36},
     {0.41, -0.68, 1.17, 0.50, -0.92, -0.11, 0.75, -0.20, 1.99, -1.25},
     {0.64, -0.58, 1.27, 0.64, -0.84, -0.21, 0.66, -0.17, 2.01, -1.31}},
    {{0.08, -0.47, 1.19, 0.01, -0.56, -0.20, 0.47, -0.63, 1.80, -1.68},
     {0.25, -1.22, 0.94, 1.03, -1.20, 0.22, 0.55, 0.08, 2.12, -1.62},
     {0.07, -0.68, 1.34, 0.20, -1.28, 0.06, 0.83, -0.34, 2.19, -1.50}},
    {{0.04, -1.38, 0.88, 0.14, -1.46, -0.29, 0.02, -0.46, 1.77, -1.49},
     {-0.11, -1.13, 1.09, 0.20, -1.07, -0.67, 0.01, -0.56, 1.45, -1.77},
     {-0.15, -0.96, 0.67, 0.11, -1.45, -0.49, 0.21, -0.49, 1.87, -2.16}},
};

TEST(Gauge, AiagExamplePoolsTheInteractionAndGivesThePrintedFigures) {
    std::string why;
    GrrOptions options;
    options.tolerance = 8;
    const auto g = analyzeGrr(crossed(kAiag, "ABC"), options, &why);
    ASSERT_TRUE(g) << why;
    EXPECT_EQ(g->parts, 10);
    EXPECT_EQ(g->appraisers, 3);
    EXPECT_EQ(g->trials, 3);
    ASSERT_TRUE(g->full.interaction && g->full.interaction->p);
    EXPECT_EQ(printed(*g->full.interaction->p, 3), 0.974);
    ASSERT_TRUE(g->pooled);
    EXPECT_EQ(g->pooled->repeatability.df, 78);
    EXPECT_EQ(printed(g->part.pctContribution, 2), 92.24);
    EXPECT_EQ(printed(g->grr.pctContribution, 2), 7.76);
    EXPECT_EQ(printed(g->grr.pctStudy, 2), 27.86);
    EXPECT_EQ(g->ndc, 4);
    EXPECT_EQ(g->interaction.variance, 0);
    ASSERT_TRUE(g->grr.pctTolerance);
    // 6 σ_GRR of the tolerance; 27.86 % of the study variation is conditional.
    EXPECT_NEAR(*g->grr.pctTolerance, 600 * g->grr.sd / 8, 1e-12);
    EXPECT_EQ(g->verdict, Verdict::Conditional);
}

// Houf and Burman (1988), thermal impedance of a power module: 10 parts,
// 3 operators, 3 trials, the data as printed in the SAS/STAT VARCOMP
// documentation ("Using the GRR Method") and in B. Vidakovic, Statistics for
// Bioengineering Sciences, example 11.14; the figures are those of
// D. C. Montgomery's analysis of the example (Introduction to Statistical
// Quality Control).  The interaction is significant and kept: mean squares
// parts 437.33, operators 19.63, interaction 2.70, error 0.51; variance
// components parts 48.29, operators 0.56, interaction 0.73, repeatability 0.51.
TEST(Gauge, HoufBurmanExampleKeepsTheInteraction) {
    const double data[10][3][3] = {
        {{37, 38, 37}, {41, 41, 40}, {41, 42, 41}}, {{42, 41, 43}, {42, 42, 42}, {43, 42, 43}},
        {{30, 31, 31}, {31, 31, 31}, {29, 30, 28}}, {{42, 43, 42}, {43, 43, 43}, {42, 42, 42}},
        {{28, 30, 29}, {29, 30, 29}, {31, 29, 29}}, {{42, 42, 43}, {45, 45, 45}, {44, 46, 45}},
        {{25, 26, 27}, {28, 28, 30}, {29, 27, 27}}, {{40, 40, 40}, {43, 42, 42}, {43, 43, 41}},
        {{25, 25, 25}, {27, 29, 28}, {26, 26, 26}}, {{35, 34, 34}, {35, 35, 34}, {35, 34, 35}},
    };
    std::vector<Observation> obs;
    for (int p = 0; p < 10; ++p)
        for (int o = 0; o < 3; ++o)
            for (double y : data[p][o])
                obs.push_back({std::to_string(p + 1), std::to_string(o + 1), y});
    std::string why;
    const auto g = analyzeGrr(obs, {}, &why);
    ASSERT_TRUE(g) << why;
    EXPECT_FALSE(g->pooled);
    ASSERT_TRUE(g->full.interaction);
    EXPECT_LT(*g->full.interaction->p, 0.05);
    EXPECT_EQ(printed(g->full.part.ms, 2), 437.33);
    EXPECT_EQ(printed(g->full.appraiser.ms, 2), 19.63);
    EXPECT_EQ(printed(g->full.interaction->ms, 2), 2.70);
    EXPECT_EQ(printed(g->full.repeatability.ms, 2), 0.51);
    EXPECT_EQ(printed(g->part.variance, 2), 48.29);
    EXPECT_EQ(printed(g->appraiser.variance, 2), 0.56);
    EXPECT_EQ(printed(g->interaction.variance, 2), 0.73);
    EXPECT_EQ(printed(g->repeatability.variance, 2), 0.51);
}

TEST(Gauge, RefusesWhatIsNotABalancedCrossedStudy) {
    struct Case {
        const char* name;
        std::vector<Observation> obs;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"one part", {{"1", "A", 1}, {"1", "A", 2}, {"1", "B", 1}, {"1", "B", 2}}, "two parts"},
        {"one slot",
         {{"1", "A", 1}, {"1", "A", 2}, {"2", "A", 1}, {"2", "A", 2}},
         "two appraisers"},
        {"one trial", {{"1", "A", 1}, {"1", "B", 2}, {"2", "A", 1}, {"2", "B", 3}}, "two trials"},
        {"unbalanced",
         {{"1", "A", 1}, {"1", "A", 2}, {"1", "B", 1}, {"1", "B", 2}, {"2", "A", 1}, {"2", "B", 1}},
         "not balanced"},
    };
    for (const Case& c : cases) {
        std::string why;
        NoFigures kind = NoFigures::NoVariation;
        EXPECT_FALSE(analyzeGrr(c.obs, {}, &why, &kind)) << c.name;
        EXPECT_EQ(kind, NoFigures::Design) << c.name;
        EXPECT_NE(why.find(c.says), std::string::npos) << c.name << ": " << why;
    }
}

// Variation below the data's resolution is none.  Units that all show 8
// satellites in every run leave sums of squares of about 1e-29 from rounding
// alone (3 units x 2 slots x 2 trials came to "rejected, %GRR 86.2 %"): no
// variation, never a verdict.  A gauge whose every run gives the unit's own
// value is acceptable, %GRR 0, its categories unbounded.  Repeats that never
// differ while one unit reads differently in one slot: the interaction is
// kept (p 0), not pooled on a p-value it does not have.
TEST(Gauge, VariationBelowTheResolutionIsNone) {
    auto study = [](int parts, int slots, int trials, auto value) {
        std::vector<Observation> out;
        for (int p = 0; p < parts; ++p)
            for (int a = 0; a < slots; ++a)
                for (int t = 0; t < trials; ++t)
                    out.push_back({std::to_string(p), std::to_string(a), value(p, a)});
        return out;
    };
    for (int parts = 2; parts <= 10; ++parts)
        for (int slots = 2; slots <= 4; ++slots)
            for (int trials = 2; trials <= 3; ++trials) {
                const std::string design = std::to_string(parts) + "x" + std::to_string(slots) +
                                           "x" + std::to_string(trials);
                std::string why;
                NoFigures kind = NoFigures::Design;
                EXPECT_FALSE(analyzeGrr(study(parts, slots, trials, [](int, int) { return 8.0; }),
                                        {}, &why, &kind))
                    << design;
                EXPECT_EQ(kind, NoFigures::NoVariation) << design;
                EXPECT_NE(why.find("no variation"), std::string::npos) << design << ": " << why;

                const auto exact = analyzeGrr(
                    study(parts, slots, trials, [](int p, int) { return 30.1 + 0.7 * p; }), {},
                    &why);
                ASSERT_TRUE(exact) << design << ": " << why;
                EXPECT_EQ(exact->verdict, Verdict::Acceptable) << design;
                EXPECT_EQ(exact->grr.pctStudy, 0) << design;
                EXPECT_FALSE(exact->ndc) << design;
            }

    std::string why;
    const auto g = analyzeGrr(
        study(3, 2, 2, [](int p, int a) { return 30.0 + 5 * p + (p == 0 && a == 1 ? 1 : 0); }), {},
        &why);
    ASSERT_TRUE(g) << why;
    EXPECT_FALSE(g->pooled);
    EXPECT_EQ(g->full.interaction->p, 0.0);
    EXPECT_EQ(g->repeatability.variance, 0);
    EXPECT_GT(g->interaction.variance, 0);
}

// The F distribution's upper tail against printed table values: F(0.05; 2, 10)
// = 4.10 and F(0.01; 5, 20) = 4.10 (upper percentage points).
TEST(Gauge, FUpperTailMatchesTablePoints) {
    EXPECT_NEAR(fUpperTail(4.10, 2, 10), 0.05, 0.0005);
    EXPECT_NEAR(fUpperTail(4.10, 5, 20), 0.01, 0.0005);
    EXPECT_EQ(fUpperTail(0, 3, 3), 1);
}

// Cg = 0.2 T / (6 s) and Cgk = (0.1 T - |bias|) / (3 s), the convention of
// Minitab's Type 1 Gage Study (K = 20 % of the tolerance, 6 s study
// variation): here T = 6, bias 0.05.
TEST(Gauge, TypeOneFromItsDefinition) {
    std::string why;
    const auto t = analyzeType1({10.0, 10.1, 10.2, 9.9, 10.05}, 6, 10.0, &why);
    ASSERT_TRUE(t) << why;
    EXPECT_NEAR(t->mean, 10.05, 1e-12);
    EXPECT_NEAR(*t->bias, 0.05, 1e-12);
    const double s = std::sqrt((0.0025 + 0.0025 + 0.0225 + 0.0225 + 0) / 4);
    EXPECT_NEAR(t->sd, s, 1e-12);
    EXPECT_NEAR(*t->cg, 1.2 / (6 * s), 1e-12);
    EXPECT_NEAR(*t->cgk, (0.6 - 0.05) / (3 * s), 1e-12);
    EXPECT_TRUE(t->passed);
    const auto noReference = analyzeType1({10.0, 10.1, 10.2, 9.9, 10.05}, 1, std::nullopt, &why);
    ASSERT_TRUE(noReference);
    EXPECT_FALSE(noReference->cgk);
    EXPECT_FALSE(noReference->passed);  // Cg = 0.2 / (6 s) < 1.33
    EXPECT_FALSE(analyzeType1({1.0}, 1, std::nullopt, &why));
    EXPECT_FALSE(analyzeType1({1.0, 1.0}, 1, std::nullopt, &why));
    EXPECT_FALSE(analyzeType1({1.0, 2.0}, 0, std::nullopt, &why));
}

}  // namespace
}  // namespace results::gauge
