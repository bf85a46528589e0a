#include "instrument/dialects.h"

#include <QLocale>
#include <QUrl>

namespace instrument {

namespace {

const Dialect kDialects[] = {
    // A plain RF generator, a CW carrier at the level.  The forms are the
    // Rohde & Schwarz SME Operating Manual's (1038.6002.02), SOURce:POWer
    // subsystem (3.89): [:SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude],
    // "-144 to +16 dBm", short form :POW; OUTPut[:STATe] ON|OFF and its
    // query as SCPI-99 Volume 2 has them (OUTPut subsystem), which every
    // SCPI RF generator answers.
    {"rf", "SOUR:POW %1", "OUTP ON", "OUTP OFF", "", -144, 16},
    // A GNSS constellation simulator that plays a scenario file.  The
    // scenario's start and stop, and their query, are the Orolia (Safran)
    // GSG-5/6 Series User Manual's, rev. 27, 6.3.3.41 and 6.3.3.42
    // SOURce:SCENario:CONTrol START|STOP and SOURce:SCENario:CONTrol?; the
    // carrier is there while the scenario plays, so these are its output on
    // and off.  The load and the level of all satellites are written in that
    // reference's SOURce:SCENario and SOURce forms (SOURce:SCENario:LOAD,
    // SOURce:POWer): check them against the unit's own firmware manual.  The
    // range, -160 to -65 dBm, is the span the station's sweeps need, not a
    // maker's figure.
    {"gsg", "SOUR:POW %1", "SOUR:SCEN:CONT START", "SOUR:SCEN:CONT STOP", "SOUR:SCEN:LOAD \"%2\"",
     -160, -65},
};

}  // namespace

QByteArray Dialect::level(double dBm) const {
    return QString::fromLatin1(setLevel).arg(QLocale::c().toString(dBm, 'f', 2)).toLatin1();
}

QByteArray Dialect::load(const QString& scenario) const {
    return QString::fromLatin1(loadScenario).replace(QLatin1String("%2"), scenario).toLatin1();
}

const Dialect* dialect(const QString& name) {
    for (const Dialect& d : kDialects)
        if (name == QLatin1String(d.name)) return &d;
    return nullptr;
}

QStringList dialectNames() {
    QStringList names;
    for (const Dialect& d : kDialects) names << QLatin1String(d.name);
    return names;
}

QString Address::text() const {
    return (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) +
           QLatin1Char(':') + QString::number(port);
}

std::optional<Address> parseAddress(const QString& url, QString* why) {
    const QUrl parsed(url, QUrl::StrictMode);
    const auto fail = [&](const QString& what) {
        *why = QStringLiteral("\"%1\" is not tcp://HOST[:PORT] (%2)").arg(url, what);
        return std::nullopt;
    };
    if (!url.startsWith(QLatin1String("tcp://")))
        return fail(QStringLiteral("it must begin with tcp://"));
    if (!parsed.isValid()) return fail(parsed.errorString());
    if (parsed.host().isEmpty()) return fail(QStringLiteral("no host"));
    if (!parsed.path().isEmpty() || parsed.hasQuery() || parsed.hasFragment() ||
        !parsed.userInfo().isEmpty())
        return fail(QStringLiteral("nothing may follow the port"));
    // QUrl takes ":0" and ":" as a port of 0 or none; neither is a port here.
    if (url.endsWith(QLatin1Char(':')) || parsed.port() == 0)
        return fail(QStringLiteral("the port must be 1 to 65535"));
    Address address;
    address.host = parsed.host();
    if (parsed.port() > 0) address.port = quint16(parsed.port());
    return address;
}

}  // namespace instrument
