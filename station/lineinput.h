// What one read of the port comes to, without the port: binary packets taken
// out by their own framing (frames.h), the text read by the watcher, and the
// read itself counted by the line's supervision (linesupervisor.h) once the
// watcher has read what it held, whether it held text or packets only.  A
// unit that sends only binary packets is talking: it is not "no data", nor
// silent; without a GGA time among its bytes it is at another rate.
#pragma once

#include <string>
#include <string_view>

#include "station/frames.h"
#include "station/linesupervisor.h"
#include "station/watcher.h"

namespace station {

class LineInput {
public:
    LineInput(Watcher& watcher, LineSupervisor& line) : watcher_(watcher), line_(line) {}

    StreamSplitter splitter;  // its onPacket: each packet as it completes

    // The text handed on to the link.
    std::string read(std::string_view bytes, qint64 nowMs) {
        std::string text = splitter.feed(bytes);
        if (!text.empty()) watcher_.feed(text);
        if (!bytes.empty()) line_.received(nowMs);
        return text;
    }

private:
    Watcher& watcher_;
    LineSupervisor& line_;
};

}  // namespace station
