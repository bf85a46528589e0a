#include "sim/generatormodel.h"

#include <QList>
#include <QLocale>
#include <cmath>

namespace gpssim {

namespace {

constexpr size_t kQueueSize = 10;

// One keyword of a header pattern, "POWer" or "[:LEVel]".
struct Node {
    QByteArray longForm, shortForm;
    bool optional;
};

std::vector<Node> nodesOf(const char* pattern) {
    std::vector<Node> nodes;
    QByteArray text(pattern);
    int at = 0;
    while (at < text.size()) {
        const bool optional = text[at] == '[';
        if (optional) ++at;
        if (text[at] == ':') ++at;
        int end = at;
        while (end < text.size() && text[end] != ':' && text[end] != '[' && text[end] != ']') ++end;
        const QByteArray word = text.mid(at, end - at);
        QByteArray shortForm;
        for (char c : word)
            if ((c >= 'A' && c <= 'Z') || c == '*' || c == '?') shortForm += c;
        nodes.push_back({word.toUpper(), shortForm, optional});
        at = end;
        if (at < text.size() && text[at] == ']') ++at;
    }
    return nodes;
}

bool matchFrom(const QList<QByteArray>& words, int w, const std::vector<Node>& nodes, size_t n) {
    if (n == nodes.size()) return w == words.size();
    const Node& node = nodes[n];
    if (w < words.size() && (words[w] == node.longForm || words[w] == node.shortForm) &&
        matchFrom(words, w + 1, nodes, n + 1))
        return true;
    return node.optional && matchFrom(words, w, nodes, n + 1);
}

// The header (upper case, without its leading colon) against a pattern.
bool matches(const QByteArray& header, const char* pattern) {
    return matchFrom(header.split(':'), 0, nodesOf(pattern), 0);
}

const char* const kLevel = "[:SOURce]:POWer[:LEVel][:IMMediate][:AMPLitude]";
const char* const kOutput = "OUTPut[:STATe]";
const char* const kError = "SYSTem:ERRor[:NEXT]";
const char* const kLoad = "[:SOURce]:SCENario:LOAD";
const char* const kControl = "[:SOURce]:SCENario:CONTrol";

}  // namespace

GeneratorModel::GeneratorModel(const instrument::Dialect& dialect, Faults faults, QString identity)
    : dialect_(dialect), faults_(faults), identity_(std::move(identity)) {}

void GeneratorModel::error(int code, const char* text) {
    if (errors_.size() >= kQueueSize) return;
    if (errors_.size() == kQueueSize - 1)
        errors_.push_back("-350,\"Queue overflow\"");
    else
        errors_.push_back(QByteArray::number(code) + ",\"" + text + '"');
}

GeneratorModel::Reply GeneratorModel::line(const QByteArray& text, int lineNumber) {
    const auto past = [&](int limit) { return limit >= 0 && lineNumber > limit; };
    if (past(faults_.dropAfter)) return {{}, true};
    if (past(faults_.silentAfter)) return {};
    if (lineNumber == faults_.errorAt) error(-200, "Execution error");
    QByteArray trimmed = text.trimmed();
    if (trimmed.isEmpty()) return {};
    const int space = trimmed.indexOf(' ');
    QByteArray header = (space < 0 ? trimmed : trimmed.left(space)).toUpper();
    const QByteArray argument = space < 0 ? QByteArray() : trimmed.mid(space + 1).trimmed();
    if (header.startsWith(':')) header.remove(0, 1);
    const bool query = header.endsWith('?');
    if (query) header.chop(1);
    const QByteArray answer = execute(header, argument, query);
    if (answer.isEmpty()) return {};
    if (past(faults_.garbageAfter)) return {QByteArray("\x15#garbage\xff\n"), false};
    return {answer + '\n', false};
}

QByteArray GeneratorModel::execute(const QByteArray& header, const QByteArray& argument,
                                   bool query) {
    if (header == "*IDN" && query) return identity_.toLatin1();
    if (header == "*OPC" && query) return "1";
    if (header == "*CLS" && !query) {
        errors_.clear();
        return {};
    }
    if (header == "*RST" && !query) {
        level_ = -30;
        output_ = false;
        return {};
    }
    if (matches(header, kError) && query) {
        if (errors_.empty()) return "0,\"No error\"";
        QByteArray entry = errors_.front();
        errors_.pop_front();
        return entry;
    }
    if (matches(header, kLevel)) {
        if (query) return QLocale::c().toString(level_, 'f', 2).toLatin1();
        QByteArray number = argument.toUpper();
        if (number.endsWith("DBM")) number.chop(3);
        bool ok = false;
        const double value = number.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(value))
            error(-104, "Data type error");
        else if (value < dialect_.lowDbm || value > dialect_.highDbm)
            error(-222, "Data out of range");
        else
            level_ = value;
        return {};
    }
    if (matches(header, kOutput)) {
        if (query) return output_ ? "1" : "0";
        const QByteArray state = argument.toUpper();
        if (state == "ON" || state == "1")
            output_ = true;
        else if (state == "OFF" || state == "0")
            output_ = false;
        else
            error(-104, "Data type error");
        return {};
    }
    if (dialect_.takesScenario() && matches(header, kLoad) && !query) {
        if (argument.size() < 3 || !argument.startsWith('"') || !argument.endsWith('"')) {
            error(-151, "Invalid string data");
            return {};
        }
        scenario_ = QString::fromLatin1(argument.mid(1, argument.size() - 2));
        output_ = false;
        return {};
    }
    if (dialect_.takesScenario() && matches(header, kControl)) {
        if (query) return output_ ? "START" : "STOP";
        const QByteArray state = argument.toUpper();
        if (state == "START" && scenario_.isEmpty())
            error(-221, "Settings conflict");
        else if (state == "START")
            output_ = true;
        else if (state == "STOP")
            output_ = false;
        else
            error(-104, "Data type error");
        return {};
    }
    error(-113, "Undefined header");
    return {};
}

}  // namespace gpssim
