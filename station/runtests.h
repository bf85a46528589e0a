// The tests of a unit's cycle behind one interface (runtest.h), each the
// decision class of its name with what the sequencer needs beside it.
#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "station/antennatest.h"
#include "station/configtest.h"
#include "station/fixtest.h"
#include "station/runtest.h"
#include "station/signaltest.h"

namespace station {

// The fix test: started with the cycle, its command or power-on told to it
// directly (fix()).  Every checked sentence and every byte of the cycle is
// its, whichever test is under way: the sequencer hands them over.
class FixRun : public RunTest {
public:
    // What the run knows of the line, and the second under way, when a
    // deadline falls due.
    FixRun(FixTest::Settings settings, std::function<FixTest::Line()> line,
           std::function<Second()> secondSoFar)
        : test_(std::move(settings)), line_(std::move(line)), soFar_(std::move(secondSoFar)) {}

    FixTest& fix() { return test_; }
    const FixTest& fix() const { return test_; }

    Kind kind() const override { return Kind::Fix; }
    void start(qint64) override {}
    bool started() const override { return true; }
    void gga(const Gga& gga, qint64 nowNs) override { test_.gga(gga, nowNs); }
    void second(const Second& second, qint64) override { test_.secondEnded(second); }
    void tick(qint64 nowMs) override { test_.tick(nowMs, line_(), soFar_()); }
    std::optional<qint64> nextDeadlineMs(qint64 nowMs) const override {
        return test_.nextDeadlineMs(nowMs, line_());
    }
    std::optional<Reason> verdict() const override { return test_.verdict(); }
    bool checksIdentity() const override { return test_.fix().has_value(); }
    QString note() const override { return test_.note(); }
    void record(CycleResult& result) const override;

private:
    FixTest test_;
    std::function<FixTest::Line()> line_;
    std::function<Second()> soFar_;
};

// The signal test, held to the limits once its readings are in or its time
// is up.  A u-blox receiver's front end is polled once a second meanwhile
// (UBX-MON-HW, read as frontend.h says).
class SignalRun : public RunTest {
public:
    SignalRun(const SignalTest::Settings& settings, Limits limits, bool pollUblox)
        : test_(settings), sv_(settings.sv), limits_(std::move(limits)), pollUblox_(pollUblox) {}

    const SignalTest& signal() const { return test_; }

    Kind kind() const override { return Kind::Measuring; }
    void start(qint64 nowMs) override { test_.start(nowMs); }
    bool started() const override { return test_.started(); }
    void packet(const Packet& packet, qint64 nowMs) override;
    void second(const Second& second, qint64 nowMs) override;
    void tick(qint64 nowMs) override;
    std::optional<qint64> nextDeadlineMs(qint64) const override {
        return test_.running() ? test_.nextDeadlineMs() : std::nullopt;
    }
    std::optional<Reason> verdict() const override { return test_.result().reason; }
    void stop(Reason why) override;
    std::string takeOutput() override { return std::exchange(output_, {}); }
    void record(CycleResult& result) const override { result.signal = test_.result(); }
    void show(Stage& stage, qint64 nowMs) const override;

private:
    void judgeIfOver();

    SignalTest test_;
    QString sv_;
    Limits limits_;
    bool pollUblox_;
    std::string output_;
};

// Without a fix or signal test: the unit watched for a while (its antenna,
// or the answers to who it is), then it passes.
class ObserveRun : public RunTest {
public:
    explicit ObserveRun(qint64 forMs) : forMs_(forMs) {}

    Kind kind() const override { return Kind::Observing; }
    void start(qint64 nowMs) override { untilMs_ = nowMs + forMs_; }
    bool started() const override { return untilMs_.has_value(); }
    void tick(qint64 nowMs) override {
        if (untilMs_ && nowMs >= *untilMs_) verdict_ = Reason::Ok;
    }
    std::optional<qint64> nextDeadlineMs(qint64) const override {
        return verdict_ ? std::nullopt : untilMs_;
    }
    std::optional<Reason> verdict() const override { return verdict_; }

private:
    qint64 forMs_;
    std::optional<qint64> untilMs_;
    std::optional<Reason> verdict_;
};

// The configuration written, saved and read back, after the last cycle.
class ConfigRun : public RunTest {
public:
    ConfigRun(QString name, gpslink::ReceiverFamily family, std::vector<ConfigItem> items)
        : name_(std::move(name)), test_(family, std::move(items)) {}

    Kind kind() const override { return Kind::Configuring; }
    void start(qint64 nowMs) override { test_.start(nowMs); }
    bool started() const override { return test_.started(); }
    void sentence(std::string_view body, qint64 nowMs) override { test_.sentence(body, nowMs); }
    void packet(const Packet& packet, qint64 nowMs) override { test_.packet(packet, nowMs); }
    void tick(qint64 nowMs) override { test_.tick(nowMs); }
    std::optional<qint64> nextDeadlineMs(qint64) const override {
        return test_.done() ? std::nullopt : test_.nextDeadlineMs();
    }
    std::optional<Reason> verdict() const override { return test_.verdict(); }
    QString note() const override { return test_.note(); }
    std::string takeOutput() override { return test_.takeOutput(); }
    void record(CycleResult& result) const override {
        result.config = name_;
        result.configSha256 = test_.sha256();
    }

private:
    QString name_;
    ConfigTest test_;
};

// The sky of a second, as a result keeps it.
QJsonArray skyJson(const Sky& sky);

}  // namespace station
