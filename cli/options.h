// The command line of gps-coldstart-cli.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include <optional>

#include "results/target.h"
#include "station/unitrun.h"

namespace cli {

struct Options {
    std::vector<station::UnitConfig> units;
    bool json = false;
    bool quiet = false;
    std::optional<results::Target> db;  // empty: --no-db
};

struct Parsed {
    enum Action { Run, Print, Fail } action = Run;
    Options options;
    QString text;        // Print: for standard output; Fail: the message naming the mistake
    int exitStatus = 0;  // Print and Fail
};

// arguments[0] is the program's name.
Parsed parseArguments(const QStringList& arguments);
// What is wrong with the options' delivery to the line taken together (no
// database to keep the queues); empty when nothing is.
QString deliveryMistake(const Options& options);

}  // namespace cli
