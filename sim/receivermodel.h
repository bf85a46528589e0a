// A GPS receiver with a SiRF chipset as seen from its serial line, without a
// clock: the owner calls tick() once per epoch (one second at the default
// rate) and writes what it returns, and passes whatever the other end writes
// to receive().
//
// From power-up the receiver's clock runs free from 00:00:00 with no fix;
// once it has decoded the time from the satellites its GGA sentences carry
// UTC, and a little later it gets a fix.  Every epoch it sends GGA, GSA,
// three GSV and RMC, in that order, each with its checksum and CR LF.
//
// Options make it send what real receivers send beside that: one GSV group
// per signal (dual band), a second talker's GGA of the same second, sentences
// longer than NMEA's 82 characters, binary packets with "$" bytes in them;
// and a SiRF receiver may be left in SiRF binary mode.  It answers its own
// family's identity queries and stays silent to every other query.
//
// Its RF front end (sim/frontend.h): the active antenna's state over time,
// sent each second in its family's form, and for u-blox the front end's
// figures in UBX-MON-HW and UBX-MON-RF, polled or each second.  Its
// configuration items (sim/configstore.h) are set, saved and read back with
// its family's commands; a power cycle keeps only what was saved.
//
// It acts only on the start commands of its chip family (SiRF by default:
// message 101, navigation initialisation, with reset configuration 4 cold, 2
// warm or 1 hot; for ublox binary UBX-CFG-RST frames).  After a cold start it
// falls silent for a moment, then comes back with its clock from zero and no
// fix, as after power-up.  After a warm or hot start its clock goes on and it
// is without a fix for a while.  The behaviour setting makes it misbehave in the ways a
// bench meets: no output at all, output at another baud rate, commands not
// obeyed, a restart that takes too long, being switched off.
#pragma once

#include <QDateTime>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gpslink/resetcommand.h"
#include "sim/chunker.h"
#include "sim/configstore.h"
#include "sim/frontend.h"
#include "sim/rng.h"

namespace gpssim {

// The receiver families modelled here (the station may know more).
inline constexpr gpslink::ReceiverFamily kModelledFamilies[] = {
    gpslink::ReceiverFamily::Sirf,   gpslink::ReceiverFamily::Mtk,
    gpslink::ReceiverFamily::Airoha, gpslink::ReceiverFamily::QuectelLg,
    gpslink::ReceiverFamily::Casic,  gpslink::ReceiverFamily::Ublox};

enum class Behaviour {
    Normal,       // streams, obeys the cold start
    Silent,       // sends nothing, reads nothing
    WrongBaud,    // its output arrives as bytes without any "$"; commands arrive garbled
    Ignore,       // streams, recognises start commands and does not obey them
    SlowConfirm,  // obeys the cold start, but only after slowConfirmSeconds of silence
    OffAfter,     // switched off offAfterSeconds after power-up, for good
};

std::optional<Behaviour> behaviourFromName(std::string_view name);
std::string_view nameOf(Behaviour behaviour);

// A binary packet sent after each second's sentences, with "$" bytes in it.
enum class Binary { None, Ubx, Casic, Sirf, Rtcm3 };
std::optional<Binary> binaryFromName(std::string_view name);  // ubx, casic, sirf, rtcm3

// A signal generator playing one satellite into the receiver's antenna
// input, as a production line's is: the receiver's sky is that satellite
// alone, tracked from the moment its time is known, and each second it reads
// cn0 - loss + offset with noise spread evenly over +-noise, to the whole
// dB-Hz GSV sends.
struct Generator {
    std::string talker = "GP";  // GP, GL, GA or GB: the satellite's system
    int prn = 1;
    double cn0 = 45;     // dB-Hz at the generator's power
    double loss = 0;     // the slot's path loss, dB
    double offset = 0;   // the unit's own reading above the truth, dB (a golden unit's is known)
    double noise = 0.5;  // dB
    // dB the reading falls at each power-up after the simulator's start (a
    // power cycle or the supply switched on): a slot whose RF path wears, to
    // plant the drift a golden unit's calibrations should catch.
    double drift = 0;
};

// The antenna port fed by a signal generator whose level the receiver is told
// (ReceiverModel::setRfLevel), for sensitivity tests.  What reaches the port
// is the generator's level less the path loss; each satellite's C/N0 is
// that level over the thermal noise floor less the front end's noise figure
// (receivermodel.cpp says where each figure is published), with the
// satellite's own spread about it.
struct RfInput {
    double pathLoss = 0;           // dB, from the generator's output to the antenna port
    double noiseFigure = 2;        // dB
    double acquisitionDbm = -147;  // the weakest level a cold start fixes at
    double trackingDbm = -160;     // the weakest level a fix is held at
};

struct ReceiverConfig {
    Behaviour behaviour = Behaviour::Normal;
    int rateHz = 1;  // epochs per second, 1 to 10; the clock advances 1/rateHz s per epoch
    // Seconds from power-up or restart until the GGA time is UTC rather than
    // the free-running clock, and until the first fix.  A fix brings the time
    // with it: the time is known from the earlier of the two.
    int timeKnownAfterSeconds = 12;
    int timeToFirstFixSeconds = 25;
    // The UTC shown when the time first becomes known after power-up; the
    // UTC goes on from there through restarts.
    QDateTime startUtc = QDateTime(QDate(2024, 12, 6), QTime(20, 41, 37), Qt::UTC);
    int resetSilenceSeconds = 1;  // silent after a cold start before the restart
    int slowConfirmSeconds = 35;  // the same for SlowConfirm
    // SlowConfirm: during that wait, send bursts whose GGA and RMC have an
    // empty time field instead of nothing.  The line stays busy, so the
    // tool goes on counting the seconds of the cold start past 30.
    bool slowConfirmEmptyTime = false;
    int offAfterSeconds = 30;  // OffAfter: seconds of output after power-up
    // The chip family: the only reset commands the receiver obeys are its own.
    gpslink::ReceiverFamily family = gpslink::ReceiverFamily::Sirf;
    int warmTtffSeconds = 10;  // without a fix after a warm start; the clock goes on
    int hotTtffSeconds = 1;    // the same after a hot start
    bool hotKeepsFix = false;  // a hot start does not lose the fix at all
    // What the sentences say once there is a fix.
    int fixQuality = 1;                 // GGA fix quality, 1 to 8
    std::optional<int> satellitesUsed;  // GGA satellites used; unset: the tracked ones, at most 12
    double hdop = 0.9;                  // GGA and GSA horizontal dilution of precision
    // C/N0 in dB-Hz of each satellite in view, in GSV order; 0: in view, not
    // tracked.  Empty: twelve in view, eight of them tracked at 38 to 44.
    std::vector<int> snr;
    // Dual band: each tracked satellite on L1 and L5, one GSV group per signal
    // (NMEA 4.10 signal IDs 1 and 8); the L5 C/N0 is 3 dB above L1's for every
    // other satellite and 5 dB below for the rest.
    bool dualBand = false;
    bool secondGga = false;      // a GLGGA of the same time after each GPGGA
    bool longSentences = false;  // a high-precision GGA over 82 characters, a 110-character $PSIMX
    Binary binary = Binary::None;
    // SiRF: starts in SiRF binary mode (a packet a second, no NMEA) until
    // binary message 129 switches it to NMEA at its rate.
    bool sirfBinary = false;
    // Answers its family's identity queries with these (empty: made from the
    // family's name); with answersIdentity false it answers none, as a
    // receiver whose firmware predates them: SiRF's NMEA Reference Manual
    // (1050-0042, rev. 2.1, chapter 2, input messages) has no version poll,
    // which $PSRF125 of the later NMEA Reference Guide (CS-129435) adds, and
    // an input it does not know is not answered at all.
    bool answersIdentity = true;
    std::string firmware, hardware, uniqueId;
    Chunking chunking = Chunking::Burst;
    std::uint64_t seed = 1;
    std::optional<Generator> generator;  // the sky instead of snr's
    std::optional<RfInput> rf;           // the sky's C/N0 and the fix from a generator's level
    // When not empty, these bursts (from a capture) are sent one per epoch in
    // place of the receiver's own; a restart starts them again from the first.
    std::vector<std::string> replay;
    // The active antenna's state from power-up on, sent each second in the
    // family's form; empty: no antenna supervisor.
    std::vector<AntennaChange> antenna;
    FrontEndFigures frontEnd;  // ublox: what UBX-MON-HW and UBX-MON-RF report
    bool ubxMonitors = false;  // ublox: MON-HW and MON-RF each second from power-up
    // Configuration items the receiver refuses to set (ConfigStore::itemNamed).
    std::vector<std::string> refusedItems;
    bool loseUnsaved = false;    // a start rebuilds the configuration from what was saved
    bool failingMemory = false;  // a save is acknowledged and keeps nothing
    // A backup supply (a battery) that keeps the clock and the last position
    // while the main supply is off: a power-up is then a warm start, fix
    // after warmTtffSeconds; without it a power-up is a cold start.
    bool backupSupply = false;
};

struct Event {
    enum Kind {
        ColdStart,    // a valid cold-start (or factory-start) command was recognised
        Rejected,     // an input sentence or frame was not acted on (checksum, other command)
        Ignored,      // a start command was recognised and, by behaviour, not obeyed
        Restart,      // output resumed after a cold start: clock from zero, no fix
        TimeKnown,    // GGA time is UTC from this epoch on
        Fix,          // the first fix since power-up, a restart or a warm or hot start
        SwitchedOff,  // no more output, for good
        ReplayEnd,    // the last burst of the capture has been sent
        WarmStart,    // a valid warm-start command was recognised
        HotStart,     // a valid hot-start command was recognised
        Answered,     // an identity query of its family was answered
        ToNmea,       // switched from SiRF binary to NMEA
        Configured,   // a configuration command was taken, refused or answered
        PowerCycled,  // switched off and on: clock from zero, the saved configuration
        PoweredOff,   // the supply switched off: silent until it is on again
        PoweredOn,    // the supply switched on
        Stopped,      // u-blox: the GNSS part stopped (UBX-CFG-RST 0x08): silent until started
        FixLost,      // RF input: the signal fell below the tracking sensitivity
    };
    Kind kind;
    std::int64_t atMs;  // time since power-up, on the receiver's epoch clock
    std::string text;
};

class ReceiverModel {
public:
    explicit ReceiverModel(ReceiverConfig config = {});

    const ReceiverConfig& config() const { return config_; }

    // The output of the next epoch; empty when the receiver says nothing.
    std::string tick();
    // The same, cut into the pieces the configured chunking gives.
    std::vector<std::string> tickPieces();

    // Bytes written to the receiver, in any pieces.
    void receive(std::string_view bytes);
    // What the receiver answers at once to what it received (identity queries).
    std::string takeAnswers() { return std::exchange(answers_, {}); }

    // The line is set to a rate other than the receiver's: what it sends
    // arrives garbled and what it is sent is unreadable, as with WrongBaud.
    void setRateMismatch(bool mismatch);

    // length bytes as the receiver's output looks when read at another rate:
    // never a "$".
    std::string garble(std::size_t length);

    // Notable events since the last call, oldest first.
    std::vector<Event> takeEvents();

    // With an RF input: the generator's level in dBm, empty while its output
    // is off (no signal at all).
    void setRfLevel(std::optional<double> dBm) { rfLevel_ = dBm; }

    // Whether a start command recognised is acted on (not so with Ignore).
    bool obeysStarts() const { return config_.behaviour != Behaviour::Ignore; }

    // Time since power-up of the next epoch.
    std::int64_t elapsedMs() const { return nextEpochMs_; }
    bool switchedOff() const { return switchedOff_; }

    // Switched off and on again: silent for the reset silence, then from
    // power-up (clock, antenna schedule) with only the saved configuration.
    void powerCycle();
    // The supply switched off (silent, deaf) or on again: from power-up,
    // with the time kept when it has a backup supply.  As the u-blox 5
    // Hardware Integration Manual (GPS.G5-MS5-09027), 1.3.1.2 V_BCKP, has it:
    // with a backup battery the real-time clock and the backup RAM are kept
    // and the receiver recovers with a hot or warm start; without one it
    // performs a cold start at power-up (the MAX-M10S Integration Manual,
    // 2.7.3.1 Hardware backup mode, says the same of its backup domain).
    void setPowered(bool on);
    bool powered() const { return powered_; }

    const ConfigStore& configuration() const { return store_; }

    // Most satellites in view the sentences can describe.
    static constexpr std::size_t kMaxInView = 32;

private:
    struct Satellite {
        int prn, elevation, azimuth, snr;  // snr 0: not tracked
    };
    std::string burstOf(const std::string& time, const std::string& date, bool fix,
                        bool tracked) const;
    std::string synthesize(std::int64_t sinceStartMs, std::int64_t nowMs);
    std::string replayBurst(std::int64_t sinceStartMs, std::int64_t nowMs);
    void examine(std::string_view line);
    bool takeUbxFrame();
    bool takeSirfFrame();
    void examineUbx(std::string_view frame);
    void answer(std::string_view query);
    std::string binaryPacket() const;
    std::string frontEndOutput(std::int64_t nowMs);
    std::string monitor(int id, std::int64_t atMs) const;
    void ubloxReset(std::string_view frame);
    // processorReset: the whole receiver restarts (u-blox resetMode 0x00,
    // 0x01, 0x04), so its running configuration is rebuilt from what was saved.
    void obey(gpslink::StartType type, const std::string& what, bool processorReset = false);
    void note(Event::Kind kind, std::string text, std::int64_t atMs);

    ReceiverConfig config_;
    std::int64_t epochMs_;
    std::int64_t nextEpochMs_ = 0;             // time since power-up of the next epoch
    std::int64_t startedAtMs_ = 0;             // time since power-up of the last (re)start
    std::optional<std::int64_t> restartAtMs_;  // silent until then after a cold start
    std::optional<std::int64_t> fixBackAtMs_;  // no fix until then after a warm or hot start
    std::optional<std::int64_t> bootUntilMs_;  // silent until then while the processor restarts
    bool gnssStopped_ = false;                 // u-blox: silent until the GNSS part is started
    bool timeKnownNoted_ = false;
    bool fixNoted_ = false;
    bool switchedOff_ = false;
    bool powered_ = true;
    bool replayEndNoted_ = false;
    bool rateMismatch_ = false;
    std::string input_;
    std::string answers_;
    bool inSirfBinary_;
    Rng garbleRng_;
    Chunker chunker_;
    std::vector<Event> events_;
    std::vector<Satellite> sky_;
    Rng noiseRng_;
    ConfigStore store_;
    std::int64_t poweredAtMs_ = 0;  // time of the last power-up, on the epoch clock
    int powerUps_ = 0;              // since the simulator's start, for Generator::drift
    Rng frontEndRng_;
    std::vector<FrontEndReading> frontEnd_;  // this second's, one per RF band
    // The RF input's: the level, since when the signal has been strong
    // enough to acquire, whether the fix is held, and each satellite's C/N0
    // above the sky's mean, from the sky as configured.
    std::optional<double> rfLevel_;
    std::optional<std::int64_t> rfSinceMs_;
    bool rfFixed_ = false;
    std::vector<double> rfSpread_;
    // The RF input's part of an epoch: when a fix may be had, and the sky's C/N0.
    std::optional<std::int64_t> rfEpoch(std::int64_t nowMs);
};

}  // namespace gpssim
