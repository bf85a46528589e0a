// The level source a plan names: its --generator, --generator-dialect and
// --scenario (station/settings.h).
#pragma once

#include <memory>

#include "station/levelsource.h"
#include "station/settings.h"

namespace instrument {

// The plan's generator; none when the plan names none.  The settings were
// checked when they were read, so the address and the dialect are sound.
std::unique_ptr<station::LevelSource> makeLevelSource(const station::PlanSettings& plan,
                                                      QObject* parent = nullptr);

}  // namespace instrument
