// The signal generators the station drives, a row each: the SCPI commands
// of each step, taken from the maker's published reference (named in the
// row), and the level range the simulated generator models.  A new kind of
// generator is a row here; the settings, the session and the simulated
// generator take it from there.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace instrument {

struct Dialect {
    const char* name;   // as --generator-dialect takes it
    const char* title;  // as the help and the messages say it
    // The commands; %1 the level in dBm, %2 the scenario.  Empty: none.
    const char* setLevel;
    const char* outputOn;
    const char* outputOff;
    const char* loadScenario;  // a dialect with one needs a scenario
    // The level range of the instrument modelled, in dBm at its output.
    double lowDbm, highDbm;
    // The queries the simulated generator answers, the level and the output.
    const char* levelQuery;
    const char* outputQuery;

    bool takesScenario() const { return *loadScenario != 0; }
    QByteArray level(double dBm) const;
    QByteArray load(const QString& scenario) const;
};

// Every dialect, the default first.
const Dialect* dialects(int* count);
const Dialect* dialect(const QString& name);
QStringList dialectNames();  // rf, gsg

// The instrument's address, tcp://HOST[:PORT] (port 5025, the LXI raw
// socket, when none is given).
struct Address {
    QString host;
    quint16 port = 5025;
    QString text() const;  // "host:port"
};
// The address, or nothing with why ("\"tcp://x:0\" ...") when it is not one.
std::optional<Address> parseAddress(const QString& url, QString* why);

}  // namespace instrument
