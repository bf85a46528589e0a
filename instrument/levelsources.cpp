#include "instrument/levelsources.h"

#include "instrument/scpigenerator.h"

namespace instrument {

std::unique_ptr<station::LevelSource> makeLevelSource(const station::PlanSettings& plan,
                                                      QObject* parent) {
    if (plan.generator.isEmpty()) return nullptr;
    QString why;
    const auto address = parseAddress(plan.generator, &why);
    const Dialect* dialect = instrument::dialect(plan.generatorDialect);
    if (!address || !dialect) qFatal("unchecked generator settings: %s", qPrintable(why));
    ScpiGenerator::Settings settings;
    settings.address = *address;
    settings.dialect = dialect;
    settings.scenario = plan.scenario;
    return std::make_unique<ScpiGenerator>(settings, parent);
}

}  // namespace instrument
