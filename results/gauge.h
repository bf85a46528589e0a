// Gauge studies: is the spread between slots and repeats small against the
// spread between units and against the tolerance?
//
// Gauge R&R (crossed, ANOVA method): parts (units) × appraisers (slots) ×
// trials (a unit's repeated results in one slot), balanced.  The two-way
// ANOVA with interaction comes first; an interaction that is not significant
// (its p-value at or above poolAlpha) is pooled into repeatability and the
// table is given again without it.  A line tested against a mean square of 0
// has p 0 when it varies (an interaction over repeats that never differ is
// kept) and no test when it does not.  The variance components follow from the
// expected mean squares, a negative estimate taken as 0:
//
//   with interaction:  repeatability = MS_E, interaction = (MS_PA - MS_E) / r,
//                      appraiser = (MS_A - MS_PA) / (p r), part = (MS_P - MS_PA) / (a r)
//   pooled:            repeatability = MS_E', appraiser = (MS_A - MS_E') / (p r),
//                      part = (MS_P - MS_E') / (a r)
//
// reproducibility = appraiser + interaction, GRR = repeatability +
// reproducibility, total = GRR + part.  Study variation is 6 σ; %GRR is of
// the total's σ and, with a tolerance, 6 σ_GRR of the tolerance; the number of
// distinct categories is floor(1.41 σ_part / σ_GRR), unbounded when σ_GRR is 0.
// The verdict words are the MSA manual's: under 10 % acceptable, 10 to 30 %
// conditional, over 30 % rejected (of the tolerance where one is given, else
// of the study variation); fewer than 5 categories make an acceptable system
// conditional.
//
// Variation below the data's resolution is no variation: a sum of squares
// smaller than any the values' step (1, 0.1, ... 1e-9) can give is the
// arithmetic's rounding and taken as 0, so that units that all show the same
// value in every run are "no variation", not a gauge of 86 % rounding.
//
// Type-1 study (one reference unit, one slot, repeats): bias = mean -
// reference, Cg = 0.2 T / (6 s), Cgk = (0.1 T - |bias|) / (3 s), both at
// least 1.33 to pass.
//
// No database, no clock: the report and the tests feed values in.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace results::gauge {

struct Observation {
    std::string part;
    std::string appraiser;
    double value = 0;
};

// One line of an ANOVA table; f and p are absent where the line has none.
struct AnovaLine {
    int df = 0;
    double ss = 0, ms = 0;
    std::optional<double> f, p;
};

struct Anova {
    AnovaLine part, appraiser;
    std::optional<AnovaLine> interaction;  // absent in the pooled table
    AnovaLine repeatability, total;
};

struct Component {
    double variance = 0;
    double sd = 0;
    double pctContribution = 0;  // of the total variance
    double pctStudy = 0;         // σ of the total σ
    std::optional<double> pctTolerance;
};

enum class Verdict { Acceptable, Conditional, Rejected };
const char* verdictWord(Verdict v);
// The MSA manual's words for a %GRR.
Verdict verdictOf(double pctGrr);

struct GrrOptions {
    double poolAlpha = 0.05;          // pool the interaction when p >= this
    std::optional<double> tolerance;  // upper minus lower limit
    double studySigmas = 6;           // study variation = this × σ
};

struct Grr {
    int parts = 0, appraisers = 0, trials = 0;
    double mean = 0;
    Anova full;
    std::optional<Anova> pooled;  // the table the components come from when pooled
    Component repeatability, reproducibility, appraiser, interaction, grr, part, total;
    std::optional<int> ndc;  // none: unbounded, the gauge showed no variation
    Verdict verdict = Verdict::Rejected;
};

constexpr int kMinNdc = 5;  // distinct categories an acceptable system has

// Why a study gives no figures: its design, or no variation at all (every
// value the same), which is no fault of the gauge.
enum class NoFigures { Design, NoVariation };

// Nothing, and why, when the study is not crossed and balanced with at least
// two parts, two appraisers and two trials each, or has no variation.
std::optional<Grr> analyzeGrr(const std::vector<Observation>& observations,
                              const GrrOptions& options, std::string* error,
                              NoFigures* kind = nullptr);

struct Type1 {
    int n = 0;
    double mean = 0, sd = 0;
    std::optional<double> bias, cg, cgk;  // bias and Cgk need a reference
    bool passed = false;                  // Cg and Cgk at least 1.33
};
constexpr double kMinCg = 1.33;
std::optional<Type1> analyzeType1(const std::vector<double>& values, double tolerance,
                                  std::optional<double> reference, std::string* error);

// The upper tail of Fisher's F distribution with d1 and d2 degrees of freedom.
double fUpperTail(double f, double d1, double d2);

}  // namespace results::gauge
