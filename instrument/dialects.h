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
    const char* name;  // as --generator-dialect takes it
    // The commands; %1 the level in dBm, %2 the scenario.  Empty: none.
    const char* setLevel;
    const char* outputOn;
    const char* outputOff;
    const char* loadScenario;  // a dialect with one needs a scenario
    // The level range of the instrument modelled, in dBm at its output.
    double lowDbm, highDbm;

    bool takesScenario() const { return *loadScenario != 0; }
    QByteArray level(double dBm) const;
    QByteArray load(const QString& scenario) const;
};

// The dialect of a name; none for an unknown one.
const Dialect* dialect(const QString& name);
QStringList dialectNames();  // rf (the default), gsg

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
