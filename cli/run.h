// A station run of gps-coldstart-cli, from its options to its exit status.
#pragma once

#include "cli/options.h"
#include "results/deliverer.h"
#include "results/store.h"
#include "station/station.h"

namespace cli {

// Opens the results database (exit 3 before any port opens when it cannot),
// starts the station (made from options.units), prints each result once the
// store has kept it, in the order the cycles ended, and once every unit has
// ended and every result is kept, the table; returns the exit status.
// SIGINT, SIGTERM and SIGHUP end the runs under way as interrupted.  Runs
// Qt's event loop; storeOptions are the store's own (a benchmark holds its
// saves).
int runStation(station::Station& station, const Options& options,
               const results::Store::Options& storeOptions = {});

// Says on standard error each failed delivery (named: with its target) and
// each problem with the queues, and each result the line asks to re-run.
void sayDeliveries(results::Deliverer& deliverer, bool named);
// "3 results wait for delivery to the line (deliver: 1, deliver-url: 2);
// they go <when> (...)".
QString leftText(const results::Deliverer& deliverer, const QString& when);

}  // namespace cli
