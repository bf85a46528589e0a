// A simulated SCPI signal generator, without a socket: one line in, its
// answer out.  Its commands are its dialect's row (instrument/dialects.h)
// and the common ones of IEEE 488.2-1992 and SCPI-99:
//
// - *IDN? (10.14), four fields; *OPC? (10.19) "1", every setting being done
//   at once; *RST (10.32), the output off and the level -30 dBm, as the
//   R&S SME manual gives its *RST value; *CLS (10.3), the error queue empty.
// - SYSTem:ERRor[:NEXT]? (SCPI-99 Volume 2, 21.8): the oldest entry, else
//   0,"No error"; the queue holds 10, the last place taken by -350,"Queue
//   overflow" when more come.
// - [:SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude] <dBm>[DBM] and its
//   query: out of the dialect's range -222,"Data out of range", not a number
//   -104,"Data type error" (the numbers and texts of SCPI-99's error list).
// - OUTPut[:STATe] ON|OFF|1|0 and its query, in every dialect: the receiver
//   simulators ask OUTP? whether the carrier is there.
// - The gsg dialect's SOURce:SCENario:LOAD "<name>" and
//   SOURce:SCENario:CONTrol START|STOP and its query; START is the output
//   on, STOP off; START with no scenario loaded -221,"Settings conflict".
// - Anything else -113,"Undefined header".
//
// Headers are matched as SCPI-99 Volume 1 (Syntax and Style) has them: the
// long or the short form of each keyword, any case, the optional keywords
// in brackets left out or not.
//
// Faults for the station's tests, counted in lines per connection: no answer
// after N lines, the connection dropped after N, garbage for answers after
// N, and an execution error queued at line N.
#pragma once

#include <QByteArray>
#include <QString>
#include <deque>

#include "instrument/dialects.h"

namespace gpssim {

class GeneratorModel {
public:
    struct Faults {
        int silentAfter = -1;   // lines answered on a connection; -1: all
        int dropAfter = -1;     // lines taken before the connection is dropped; -1: never
        int garbageAfter = -1;  // lines answered sensibly; -1: all
        int errorAt = -1;       // the line that queues -200,"Execution error"; -1: none
    };
    struct Reply {
        QByteArray text;  // with its newline; empty: no answer
        bool drop = false;
    };

    GeneratorModel(const instrument::Dialect& dialect, Faults faults, QString identity);

    // Line lineNumber (from 1) of a connection, without its newline.
    Reply line(const QByteArray& line, int lineNumber);

    double levelDbm() const { return level_; }
    bool outputOn() const { return output_; }
    const QString& scenario() const { return scenario_; }

private:
    void error(int code, const char* text);
    QByteArray execute(const QByteArray& header, const QByteArray& argument, bool query);

    const instrument::Dialect& dialect_;
    Faults faults_;
    QString identity_;
    double level_ = -30;
    bool output_ = false;
    QString scenario_;
    std::deque<QByteArray> errors_;
};

}  // namespace gpssim
