// A signal generator in memory (station/levelsource.h): each request
// answered at once, the levels set and the switch-offs counted, and a fault
// planted on the nth setting or on opening.
#pragma once

#include <QString>
#include <vector>

#include "station/levelsource.h"

namespace testkit {

class FakeLevelSource : public station::LevelSource {
public:
    QString idn = QStringLiteral("Sim,SG-1,0001,1.0");
    bool failOpen = false;
    int failAtSetting = 0;  // 1: the first setting fails; 0: none
    QString error = QStringLiteral("-222,\"Data out of range\"");

    std::vector<double> levels;  // as set, in order
    int switchOffs = 0;
    bool on = false;

    void open() override {
        if (failOpen) return emit fault(QStringLiteral("no answer to *IDN?"));
        opened_ = true;
        emit ready();
    }
    void setLevel(double dBm) override {
        if (int(levels.size()) + 1 == failAtSetting) return emit fault(error);
        levels.push_back(dBm);
        on = true;
        emit levelSet(dBm);
    }
    void switchOff() override {
        ++switchOffs;
        on = false;
        emit switchedOff();
    }
    QString identity() const override { return opened_ ? idn : QString(); }

private:
    bool opened_ = false;
};

}  // namespace testkit
