// The simulated receiver's fix figures, its chip families and their start
// types, and its USB re-enumeration over real pseudo-terminals.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <string>
#include <vector>

#include "gpslink/link.h"
#include "gpslink/resetcommand.h"
#include "sim/nmea.h"
#include "sim/receivermodel.h"
#include "sim/simdriver.h"

namespace gpssim {
namespace {

std::vector<std::string> linesOf(const std::string& burst) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = burst.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(burst.substr(at, end - at));
    return lines;
}

// The fields of a sentence without its checksum, the address being field 0.
std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> out;
    const std::string body = line.substr(0, line.find('*'));
    std::size_t at = 0;
    for (std::size_t comma; (comma = body.find(',', at)) != std::string::npos; at = comma + 1)
        out.push_back(body.substr(at, comma - at));
    out.push_back(body.substr(at));
    return out;
}

// One letter a second, in runs ("3u2T"): 'u' the clock since power-up, 'T'
// UTC without a fix, 'F' a fix (GGA quality above 0), '-' nothing.
std::string timeline(ReceiverModel& model, int seconds) {
    std::string letters, runs;
    for (int i = 0; i < seconds; ++i) {
        const std::string burst = model.tick();
        if (burst.empty()) {
            letters += '-';
            continue;
        }
        const std::vector<std::string> gga = fieldsOf(linesOf(burst).at(0));
        letters += gga.at(1).rfind("0000", 0) == 0 ? 'u' : gga.at(6) != "0" ? 'F' : 'T';
    }
    for (std::size_t at = 0, end; at < letters.size(); at = end) {
        end = std::min(letters.find_first_not_of(letters[at], at), letters.size());
        runs += std::to_string(end - at) + letters[at];
    }
    return runs;
}

ReceiverConfig quickConfig() {
    ReceiverConfig c;
    c.timeKnownAfterSeconds = 3;
    c.timeToFirstFixSeconds = 5;
    return c;
}

// What the options set appears in GGA, GSA and the GSV group once there is a
// fix: GSV in sentences of four with the right count, numbers and total.
TEST(FixFigures, GgaGsaAndGsvCarryTheConfiguredValues) {
    const struct {
        const char* name;
        int quality;
        std::optional<int> used;
        double hdop;
        std::vector<int> snr;
        const char* gga;  // GGA fields 6 to 8
        const char* gsa;  // GSA PRNs used, then PDOP, HDOP, VDOP
        const char* gsv;  // per sentence: count, number, total, then PRN:C/N0 ("" untracked)
    } cases[] = {
        {"the default sky",
         1,
         std::nullopt,
         0.9,
         {},
         "1 08 0.9",
         "07 02 26 27 09 04 15 08 1.75 0.9 1.5",
         "3 1 12 07:42 02:43 26:42 27:42|3 2 12 09:40 04:41 15:38 08:44|"
         "3 3 12 10: 13: 29: 31:|"},
        {"six in view, one untracked",
         2,
         std::nullopt,
         1.25,
         {45, 44, 42, 40, 38, 0},
         "2 05 1.25",
         "07 02 26 27 09 1.95 1.25 1.5",
         "2 1 06 07:45 02:44 26:42 27:40|2 2 06 09:38 04:|"},
        {"thirteen in view, sats set",
         5,
         3,
         12.0,
         {30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 31},
         "5 03 12.0",
         "07 01 12.09 12.0 1.5",
         "4 1 13 07:30 02: 26: 27:|4 2 13 09: 04: 15: 08:|4 3 13 10: 13: 29: 31:|"
         "4 4 13 01:31|"},
        {"one in view", 1, std::nullopt, 0.9, {50}, "1 01 0.9", "07 1.75 0.9 1.5", "1 1 01 07:50|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverConfig config = quickConfig();
        config.timeToFirstFixSeconds = 0;
        config.fixQuality = c.quality;
        config.satellitesUsed = c.used;
        config.hdop = c.hdop;
        config.snr = c.snr;
        ReceiverModel model(config);
        std::string gga, gsa, gsv;
        for (const std::string& line : linesOf(model.tick())) {
            EXPECT_TRUE(nmeaChecksumValid(line)) << line;
            const std::vector<std::string> f = fieldsOf(line);
            if (f[0] == "$GPGGA") gga = f[6] + " " + f[7] + " " + f[8];
            if (f[0] == "$GPGSA") {
                EXPECT_EQ(f.size(), 18u) << "mode, fix, 12 PRN slots, 3 DOPs: " << line;
                for (std::size_t i = 3; i < f.size(); ++i)
                    if (!f[i].empty()) gsa += (gsa.empty() ? "" : " ") + f[i];
            }
            if (f[0] == "$GPGSV") {
                gsv += f[1] + " " + f[2] + " " + f[3];
                for (std::size_t i = 4; i + 3 < f.size(); i += 4)
                    gsv += " " + f[i] + ":" + f.at(i + 3);
                gsv += "|";
            }
        }
        EXPECT_EQ(gga, c.gga);
        EXPECT_EQ(gsa, c.gsa);
        EXPECT_EQ(gsv, c.gsv);
    }
}

// A cold start ignored keeps the fix with no gap; one obeyed restarts the
// clock and the time to first fix, with the configured quality afterwards.
TEST(FixFigures, ColdStartIgnoredKeepsTheFixObeyedWaitsTheTtffAgain) {
    const std::string coldStart(gpslink::kColdStartSentence);
    const struct {
        Behaviour behaviour;
        const char* seen;
    } cases[] = {
        {Behaviour::Ignore, "3u2T3F 10F"},
        {Behaviour::Normal, "3u2T3F 1-3u2T4F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(nameOf(c.behaviour));
        ReceiverConfig config = quickConfig();
        config.behaviour = c.behaviour;
        config.fixQuality = 2;
        ReceiverModel model(config);
        std::string seen = timeline(model, 8) + " ";
        model.receive(coldStart);
        seen += timeline(model, 10);
        EXPECT_EQ(seen, c.seen);
    }
}

// The events as letters: C cold (or factory) start, x rejected, i ignored, R
// restart, T time known, F fix, O switched off, E end of the replay, w warm
// start, h hot start.
std::string kinds(const std::vector<Event>& events) {
    std::string out;
    for (const Event& e : events) out += "CxiRTFOEwh"[e.kind];
    return out;
}

// The same command with its checksum broken.
std::string corrupted(std::string command) {
    const std::size_t at = command.back() == '\n' ? command.size() - 3 : command.size() - 1;
    command[at] = command[at] == '0' ? '1' : char(command[at] ^ 0x01);
    return command;
}

// Each family obeys its own commands of each start type, sent byte by byte
// after a stray sync byte, and ignores another family's and a corrupted one.
// Cold: silence, the clock from zero, the TTFF again.  Warm: the clock goes
// on, no fix for the warm TTFF.  Hot: the fix back after the hot TTFF, or
// kept throughout.
TEST(Families, ObeyTheirOwnStartCommandsOnly) {
    using gpslink::ReceiverFamily;
    using gpslink::StartType;
    const std::vector<ReceiverFamily>& all = {gpslink::kReceiverFamilies.begin(),
                                              gpslink::kReceiverFamilies.end()};
    for (std::size_t n = 0; n < all.size(); ++n) {
        const ReceiverFamily family = all[n], other = all[(n + 1) % all.size()];
        for (StartType type : gpslink::kStartTypes) {
            for (bool hotKeepsFix : {false, true}) {
                const std::string command = gpslink::resetCommand(family, type);
                if (command.empty() || (hotKeepsFix && type != StartType::Hot)) continue;
                SCOPED_TRACE(std::string(gpslink::nameOf(family)) + " " +
                             std::string(gpslink::nameOf(type)) +
                             (hotKeepsFix ? " keeping the fix" : ""));
                ReceiverConfig config = quickConfig();
                config.family = family;
                config.warmTtffSeconds = 4;
                config.hotKeepsFix = hotKeepsFix;
                ReceiverModel model(config);
                timeline(model, 8);
                model.takeEvents();
                const std::string otherCommand = gpslink::resetCommand(
                    other, type == StartType::Factory ? StartType::Cold : type);
                for (const std::string& input :
                     {otherCommand, corrupted(command), "\xB5" + command})
                    for (char byte : input) model.receive(std::string(1, byte));
                const char* expected = type == StartType::Warm  ? "4T4F wF"
                                       : type != StartType::Hot ? "1-3u2T2F CRTF"
                                       : hotKeepsFix            ? "8F h"
                                                                : "1T7F hF";
                const std::string seen = timeline(model, 8);
                const std::vector<Event> events = model.takeEvents();
                EXPECT_EQ(seen + " " + kinds(events).substr(2), expected);
                EXPECT_EQ(kinds(events).substr(0, 2), "xx") << events.front().text;
            }
        }
    }
}

// Runs the event loop until done() holds or ms have passed; returns done().
template <class Done>
bool waitFor(Done done, int ms = 10000) {
    const QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

std::string linkTarget(const QString& link) {
    char target[256];
    const ssize_t n = ::readlink(qPrintable(link), target, sizeof target);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

// A USB receiver that re-enumerates on the cold start, over real
// pseudo-terminals: the reader of the link sees the hang-up, the link goes
// and comes back to a new pseudo-terminal, and the link's path gives data
// again.  The link is removed when the receiver stops.
TEST(UsbDrop, SameLinkLeadsToTheNewPseudoTerminal) {
    int argc = 1;
    char name[] = "simfamily_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    DriverOptions options;
    options.intervalMs = 40;
    options.link = dir.filePath(QStringLiteral("usb-receiver"));
    options.usbDrop = UsbDrop::Same;
    options.usbAwayMs = 300;
    SimDriver driver(quickConfig(), options);
    QStringList changes;
    QObject::connect(&driver, &SimDriver::deviceChanged,
                     [&](const QString& path) { changes << path; });
    QString error;
    ASSERT_TRUE(driver.start(&error)) << error.toStdString();
    EXPECT_EQ(driver.devicePath(), options.link);
    const std::string firstTarget = linkTarget(options.link);
    EXPECT_EQ(firstTarget, driver.slavePath().toStdString());

    // Reads from the port until the text holds what; false on a hang-up.
    std::string text;
    const auto readUntil = [&](int port, const char* what) {
        text.clear();
        bool hungUp = false;
        waitFor([&] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(port, chunk, sizeof chunk)) > 0) text.append(chunk, std::size_t(n));
            hungUp = n == 0 || (n < 0 && errno != EAGAIN);
            return hungUp || text.find(what) != std::string::npos;
        });
        return !hungUp && text.find(what) != std::string::npos;
    };
    int port = ::open(qPrintable(options.link), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    ASSERT_TRUE(readUntil(port, "$GPGGA"));
    const std::string coldStart(gpslink::kColdStartSentence);
    ASSERT_EQ(::write(port, coldStart.data(), coldStart.size()), ssize_t(coldStart.size()));
    EXPECT_FALSE(readUntil(port, "never sent")) << "the reader sees the hang-up";

    // The hung-up port stays open, as a tool's may, so the old
    // pseudo-terminal's number is not free for the new one.
    ASSERT_TRUE(waitFor([&] {
        const std::string target = linkTarget(options.link);
        return !target.empty() && target != firstTarget;
    })) << "the link points at a new pseudo-terminal";
    ::close(port);
    EXPECT_EQ(changes, (QStringList{QString(), options.link}));
    port = ::open(qPrintable(options.link), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    EXPECT_TRUE(readUntil(port, "$GPGGA"));
    ::close(port);

    driver.stop();
    EXPECT_FALSE(QFileInfo(options.link).isSymLink()) << "removed on stop";
}

}  // namespace
}  // namespace gpssim
