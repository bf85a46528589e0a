// The signal generator's side of the station: the SCPI session without a
// clock, the addresses and settings that name a generator, the simulated
// generator's commands, and the station's generator against the simulated
// one over loopback TCP, faults included.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTcpSocket>
#include <functional>

#include "instrument/dialects.h"
#include "instrument/levelsources.h"
#include "instrument/scpigenerator.h"
#include "instrument/scpisession.h"
#include "sim/generatormodel.h"
#include "station/settings.h"

namespace {

using instrument::ScpiSession;
using Outcome = ScpiSession::Outcome;

std::string text(const QString& s) {
    return s.toStdString();
}

// A session with its connection up at 0 ms and 1 s answers.
struct Scripted {
    ScpiSession session{{"10.0.0.7:5025", 1000, 4, {}}};
    QByteArray written;
    std::vector<Outcome> outcomes;

    Scripted() { session.connecting(0); }
    void take() {
        written += session.takeOutput();
        for (Outcome& o : session.takeOutcomes()) outcomes.push_back(o);
    }
    void up(qint64 at = 0) {
        session.connected(at);
        take();
    }
    void reply(const QByteArray& bytes, qint64 at = 10) {
        session.received(bytes, at);
        take();
    }
    void tick(qint64 at) {
        session.tick(at);
        take();
    }
    QString fault() const {
        for (const Outcome& o : outcomes)
            if (o.kind == Outcome::Fault) return o.text;
        return {};
    }
};

// A setting's whole exchange: the command with *OPC?, then the error queue
// read until it is empty; each query waits for the answer to the one before.
TEST(ScpiSession, ASettingIsDoneWhenCompleteAndItsErrorQueueEmpty) {
    Scripted s;
    s.session.clear(0);
    s.session.identify(0);
    s.session.set("SOUR:POW -130.00", 0);
    EXPECT_EQ(s.written, "") << "nothing before the connection";
    s.up();
    EXPECT_EQ(s.written, "*CLS\n*IDN?\n");
    s.reply("Maker,SG-1,123,1.0\r\n");
    EXPECT_EQ(s.written, "*CLS\n*IDN?\nSOUR:POW -130.00\n*OPC?\n");
    s.reply("+1\n");
    s.reply("0,\"No error\"\n");
    EXPECT_EQ(s.written, "*CLS\n*IDN?\nSOUR:POW -130.00\n*OPC?\nSYST:ERR?\n");
    ASSERT_EQ(s.outcomes.size(), 2u);
    EXPECT_EQ(s.outcomes[0].kind, Outcome::Identified);
    EXPECT_EQ(text(s.session.identity()), "Maker,SG-1,123,1.0");
    EXPECT_EQ(s.outcomes[1].kind, Outcome::Done);
    EXPECT_EQ(text(s.outcomes[1].text), "SOUR:POW -130.00");
    EXPECT_TRUE(s.session.idle());
    EXPECT_EQ(s.session.nextDeadlineMs(), std::nullopt);
    s.session.set("OUTP ON", 20);
    s.take();
    EXPECT_TRUE(s.written.endsWith("SYST:ERR?\nOUTP ON\n*OPC?\n")) << "written at once when idle";
    EXPECT_EQ(s.session.nextDeadlineMs(), 1020);
}

// Every way the instrument can fail: a fault naming the instrument (its
// address and identity) and the error; nothing more is written after it.
TEST(ScpiSession, EachInstrumentFailureIsAFaultNamingItAndItsError) {
    const struct {
        const char* name;
        std::function<void(Scripted&)> script;
        const char* fault;
    } cases[] = {
        {"an error in the queue, read to its end",
         [](Scripted& s) {
             s.reply("1\n");
             s.reply("-222,\"Data out of range\"\n");
             s.reply("-221,\"Settings conflict;level\"\n");
             s.reply("0,\"No error\"\n");
         },
         "instrument 10.0.0.7:5025 (Maker,SG-1,123,1.0): SOUR:POW -150.00: -222,\"Data out of "
         "range\"; -221,\"Settings conflict;level\""},
        {"an error queue that does not empty",
         [](Scripted& s) {
             s.reply("1\n");
             for (int i = 0; i < 4; ++i) s.reply("-350,\"Queue overflow\"\n");
         },
         "and its error queue does not empty"},
        {"no answer in time",
         [](Scripted& s) {
             s.tick(1009);
             EXPECT_EQ(s.fault(), QString()) << "not before its deadline";
             EXPECT_EQ(s.session.nextDeadlineMs(), 1010);
             s.tick(1010);
         },
         "no answer to *OPC? after SOUR:POW -150.00 within 1 s"},
        {"*OPC? not answered 1", [](Scripted& s) { s.reply("0\n"); },
         "answered \"0\" to *OPC? after SOUR:POW -150.00"},
        {"garbage", [](Scripted& s) { s.reply("\x15#x\xff\n"); },
         "answered \"\\x15#x\\xff\" to *OPC?"},
        {"not an error queue entry",
         [](Scripted& s) {
             s.reply("1\n");
             s.reply("No error\n");
         },
         "answered \"No error\" to SYST:ERR?, not an error queue entry"},
        {"an endless line", [](Scripted& s) { s.reply(QByteArray(65537, '1')); },
         "answered 65537 bytes without a line end"},
        {"an answer to no query",
         [](Scripted& s) {
             s.reply("1\n");
             s.reply("0,\"No error\"\n1\n");
         },
         "answered \"1\" to no query"},
        {"the connection lost", [](Scripted& s) { s.session.disconnected(20, "closed"), s.take(); },
         "the connection was lost (closed)"},
    };
    for (const auto& c : cases) {
        Scripted s;
        s.session.identify(0);
        s.session.set("SOUR:POW -150.00", 0);
        s.up(10);
        s.reply("Maker,SG-1,123,1.0\n");
        c.script(s);
        EXPECT_TRUE(s.fault().contains(QLatin1String(c.fault)))
            << c.name << ": " << text(s.fault());
        EXPECT_TRUE(s.fault().startsWith("instrument 10.0.0.7:5025 (Maker,SG-1,123,1.0): "))
            << c.name;
        const QByteArray before = s.written;
        s.session.set("OUTP OFF", 2000);
        s.reply("1\n");
        s.tick(1000000);
        EXPECT_EQ(s.written, before) << c.name << ": written after the fault";
        EXPECT_EQ(std::count_if(s.outcomes.begin(), s.outcomes.end(),
                                [](const Outcome& o) { return o.kind == Outcome::Fault; }),
                  1)
            << c.name;
    }
}

TEST(ScpiSession, NoConnectionInTimeOrNoIdentityIsAFault) {
    Scripted late;
    late.session.identify(0);
    late.tick(999);
    EXPECT_EQ(late.fault(), QString());
    late.tick(1000);
    EXPECT_EQ(text(late.fault()), "instrument 10.0.0.7:5025: no connection within 1 s");

    Scripted nameless;
    nameless.session.identify(0);
    nameless.up();
    nameless.reply("SG-1\n");
    EXPECT_EQ(text(nameless.fault()),
              "instrument 10.0.0.7:5025: answered \"SG-1\" to *IDN?, not an identity");
}

TEST(Generator, AddressesAndSettings) {
    const struct {
        const char* url;
        const char* address;  // empty: not one
        const char* why;
    } addresses[] = {
        {"tcp://127.0.0.1", "127.0.0.1:5025", ""},
        {"tcp://siggen.line4:5026", "siggen.line4:5026", ""},
        {"tcp://[::1]:5025", "[::1]:5025", ""},
        {"http://siggen:5025", "", "it must begin with tcp://"},
        {"tcp://", "", "no host"},
        {"tcp://siggen:0", "", "the port must be 1 to 65535"},
        {"tcp://siggen:70000", "", "port"},
        {"tcp://siggen:5025/scpi", "", "nothing may follow the port"},
    };
    for (const auto& a : addresses) {
        QString why;
        const auto address = instrument::parseAddress(a.url, &why);
        EXPECT_EQ(address ? text(address->text()) : std::string(), a.address) << a.url;
        EXPECT_TRUE(why.contains(QLatin1String(a.why))) << a.url << ": " << text(why);
    }

    // The settings that go together, checked where every front end checks them.
    const struct {
        const char* generator;
        const char* dialect;
        const char* scenario;
        const char* why;  // empty: accepted
    } plans[] = {
        {"tcp://127.0.0.1", "rf", "", ""},
        {"tcp://127.0.0.1", "gsg", "open sky", ""},
        {"", "gsg", "", ""},  // no generator: nothing to play
        {"tcp://127.0.0.1", "gsg", "", "a gsg generator needs the scenario it plays (--scenario)"},
        {"tcp://127.0.0.1", "rf", "open sky", "--scenario: a rf generator plays no scenario"},
    };
    for (const auto& p : plans) {
        station::PlanSettings plan;
        QString why;
        ASSERT_TRUE(station::setting("generator").parse(plan, p.generator, &why)) << text(why);
        ASSERT_TRUE(station::setting("generator_dialect").parse(plan, p.dialect, &why));
        ASSERT_TRUE(station::setting("scenario").parse(plan, p.scenario, &why)) << text(why);
        EXPECT_EQ(station::checkStart(plan, &why) ? std::string() : text(why), p.why);
        EXPECT_EQ(instrument::makeLevelSource(plan) != nullptr, *p.generator != 0);
    }
    station::PlanSettings plan;
    QString why;
    EXPECT_FALSE(station::setting("generator_dialect").parse(plan, "smbv", &why));
    EXPECT_EQ(text(why), "unknown generator dialect \"smbv\" (rf or gsg)");
    EXPECT_FALSE(station::setting("scenario").parse(plan, "a\"b", &why));
}

// The simulated generator's commands: SCPI's header forms, its range, its
// error queue in order, and the dialects' own commands.
TEST(GeneratorModel, CommandsRangeAndErrorQueue) {
    const auto& rf = *instrument::dialect("rf");
    gpssim::GeneratorModel m(rf, {}, "Maker,Model,0,1");
    int n = 0;
    const auto ask = [&](const char* line) { return m.line(line, ++n).text; };
    EXPECT_EQ(ask("*IDN?"), "Maker,Model,0,1\n");
    for (const char* form : {"SOUR:POW -100", ":SOURce:POWer:LEVel:IMMediate:AMPLitude -100 dBm",
                             "pow:ampl -100DBM", "sour:pow:lev -100"}) {
        ask("SOUR:POW -30");
        ask(form);
        EXPECT_EQ(m.levelDbm(), -100) << form;
    }
    EXPECT_EQ(ask("SOUR:POW -144"), "");
    EXPECT_EQ(ask("SOUR:POW 16"), "");
    EXPECT_EQ(ask("SOUR:POW?"), "16.00\n");
    ask("SOUR:POW -144.01");
    ask("SOUR:POW loud");
    ask("SOUR:SCEN:CONT START");  // not an rf command
    ask("OUTP ON");
    EXPECT_EQ(ask("OUTP?"), "1\n");
    EXPECT_EQ(ask("SYST:ERR?"), "-222,\"Data out of range\"\n");
    EXPECT_EQ(ask("SYSTem:ERRor:NEXT?"), "-104,\"Data type error\"\n");
    EXPECT_EQ(ask("syst:err?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(ask("SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(m.levelDbm(), 16);
    for (int i = 0; i < 12; ++i) ask("BOGUS");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(ask("SYST:ERR?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(ask("SYST:ERR?"), "-350,\"Queue overflow\"\n");
    ask("BOGUS");
    ask("*CLS");
    EXPECT_EQ(ask("SYST:ERR?"), "0,\"No error\"\n");
    ask("*RST");
    EXPECT_EQ(ask("OUTP?"), "0\n");

    gpssim::GeneratorModel gsg(*instrument::dialect("gsg"), {}, "Maker,Model,0,1");
    EXPECT_EQ(gsg.line("SOUR:SCEN:CONT START", 1).text, "");
    EXPECT_EQ(gsg.line("SYST:ERR?", 2).text, "-221,\"Settings conflict\"\n");
    gsg.line("SOUR:POW -150", 3);  // below the rf range, within this one
    EXPECT_EQ(gsg.levelDbm(), -150);
}

// Waits on the event loop until done() holds, at most 30 s.
bool waitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// gps-generator-sim on a free loopback port, for one test.
class SimulatedGenerator {
public:
    explicit SimulatedGenerator(QStringList arguments) {
        process_.start(QStringLiteral(COLDSTART_GENERATOR_SIM), arguments << "--port"
                                                                          << "0");
        EXPECT_TRUE(waitUntil([&] { return process_.canReadLine() || !process_.isOpen(); }));
        const QByteArray url = process_.readLine().trimmed();
        EXPECT_TRUE(url.startsWith("tcp://127.0.0.1:")) << url.constData();
        port_ = quint16(url.mid(url.lastIndexOf(':') + 1).toUInt());
    }
    ~SimulatedGenerator() {
        process_.kill();
        process_.waitForFinished();
    }
    instrument::Address address() const { return {QStringLiteral("127.0.0.1"), port_}; }
    // Asks on a connection of its own, as a receiver simulator does.
    QByteArray ask(const QByteArray& query) const {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port_);
        socket.write(query + '\n');
        EXPECT_TRUE(waitUntil([&] { return socket.canReadLine(); })) << query.constData();
        return socket.readLine().trimmed();
    }

private:
    QProcess process_;
    quint16 port_ = 0;
};

// The station's generator and what it reported, in order.
struct Driven {
    instrument::ScpiGenerator generator;
    QStringList events;

    Driven(const SimulatedGenerator& sim, const char* dialect, int timeoutMs = 10000,
           const char* scenario = "")
        : generator({sim.address(), instrument::dialect(dialect), scenario, timeoutMs}) {
        QObject::connect(&generator, &station::LevelSource::ready, [this] { events << "ready"; });
        QObject::connect(&generator, &station::LevelSource::levelSet,
                         [this](double dBm) { events << QStringLiteral("level %1").arg(dBm); });
        QObject::connect(&generator, &station::LevelSource::switchedOff,
                         [this] { events << "off"; });
        QObject::connect(&generator, &station::LevelSource::fault,
                         [this](const QString& m) { events << "fault: " + m; });
    }
    bool waitFor(int count) {
        return waitUntil([&] { return events.size() >= count; });
    }
};

TEST(ScpiGenerator, SetsTheLevelAndSwitchesOffOverLoopback) {
    SimulatedGenerator sim({"--dialect", "rf"});
    Driven d(sim, "rf");
    d.generator.open();
    ASSERT_TRUE(d.waitFor(1));
    EXPECT_EQ(d.events, QStringList{"ready"});
    EXPECT_EQ(text(d.generator.identity()),
              "GPS Coldstart,gps-generator-sim rf,0," COLDSTART_VERSION);
    d.generator.setLevel(-130.5);
    d.generator.setLevel(-120);  // one at a time: refused while busy
    ASSERT_TRUE(d.waitFor(3));
    EXPECT_TRUE(d.events[1].startsWith("fault: instrument 127.0.0.1:")) << text(d.events[1]);
    EXPECT_EQ(d.events[2], "level -130.5");
    // Another client sees the level while the station holds its connection.
    EXPECT_EQ(sim.ask("SOUR:POW?"), "-130.50");
    EXPECT_EQ(sim.ask("OUTP?"), "1");
    d.generator.switchOff();
    ASSERT_TRUE(d.waitFor(4));
    EXPECT_EQ(d.events[3], "off");
    EXPECT_EQ(sim.ask("OUTP?"), "0");

    // The blocking switch-off, for a process about to exit.
    d.generator.setLevel(-140);
    ASSERT_TRUE(d.waitFor(5));
    EXPECT_EQ(sim.ask("OUTP?"), "1");
    EXPECT_TRUE(d.generator.switchOffNow());
    EXPECT_EQ(sim.ask("OUTP?"), "0");
    // Its connection gone, the next level takes a new one and the output on again.
    d.generator.setLevel(-125);
    ASSERT_TRUE(d.waitFor(6));
    EXPECT_EQ(d.events[5], "level -125");
    EXPECT_EQ(sim.ask("OUTP?"), "1");
}

TEST(ScpiGenerator, PlaysTheScenarioOfAGnssSimulator) {
    SimulatedGenerator sim({"--dialect", "gsg"});
    Driven d(sim, "gsg", 10000, "open sky");
    d.generator.open();
    ASSERT_TRUE(d.waitFor(1));
    EXPECT_EQ(sim.ask("SOUR:SCEN:CONT?"), "STOP");
    d.generator.setLevel(-150);
    ASSERT_TRUE(d.waitFor(2));
    EXPECT_EQ(d.events, (QStringList{"ready", "level -150"}));
    EXPECT_EQ(sim.ask("SOUR:SCEN:CONT?"), "START");
    EXPECT_EQ(sim.ask("SOUR:POW?"), "-150.00");
}

// Each instrument fault: one fault naming the instrument and its error,
// then the output switched off on a new connection, without being asked.
TEST(ScpiGenerator, EveryInstrumentFaultLeavesTheOutputOff) {
    // The station's lines on its connection: 1-5 open it, 6-11 the first
    // level and the output on, 12-14 the next level.
    const struct {
        QStringList options;
        double level;
        const char* fault;
    } cases[] = {
        {{}, -150, "SOUR:POW -150.00: -222,\"Data out of range\""},
        {{"--drop-after", "11"}, -130, "the connection was lost"},
        {{"--silent-after", "12"}, -130, "no answer to *OPC? after SOUR:POW -130.00 within 4 s"},
    };
    for (const auto& c : cases) {
        SimulatedGenerator sim(QStringList{"--dialect", "rf"} + c.options);
        Driven d(sim, "rf", 4000);
        d.generator.open();
        d.generator.connect(&d.generator, &station::LevelSource::ready,
                            [&] { d.generator.setLevel(-120); });
        ASSERT_TRUE(d.waitFor(2));
        ASSERT_EQ(d.events, (QStringList{"ready", "level -120"})) << text(c.options.join(' '));
        EXPECT_EQ(sim.ask("OUTP?"), "1");
        d.generator.setLevel(c.level);
        ASSERT_TRUE(d.waitFor(4)) << text(d.events.join('\n'));
        EXPECT_TRUE(d.events[2].startsWith(QStringLiteral("fault: instrument 127.0.0.1:%1 (GPS "
                                                          "Coldstart,gps-generator-sim rf,0,")
                                               .arg(sim.address().port)))
            << text(d.events[2]);
        EXPECT_TRUE(d.events[2].contains(QLatin1String(c.fault))) << text(d.events[2]);
        EXPECT_EQ(d.events.mid(3), QStringList{"off"});
        EXPECT_EQ(sim.ask("OUTP?"), "0") << text(c.options.join(' '));
    }

    // Nothing listening: one fault, and the attempt to switch off.
    quint16 closed;
    {
        SimulatedGenerator gone({});
        closed = gone.address().port;
    }
    instrument::ScpiGenerator generator(
        {{QStringLiteral("127.0.0.1"), closed}, instrument::dialect("rf"), {}, 4000});
    QStringList events;
    QObject::connect(&generator, &station::LevelSource::fault,
                     [&](const QString& m) { events << m; });
    QObject::connect(&generator, &station::LevelSource::switchedOff, [&] { events << "off"; });
    generator.open();
    ASSERT_TRUE(waitUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events,
              (QStringList{QStringLiteral("instrument 127.0.0.1:%1: no connection (Connection "
                                          "refused)")
                               .arg(closed),
                           "off"}));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
