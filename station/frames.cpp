#include "station/frames.h"

#include "gpslink/resetcommand.h"

namespace station {

namespace {

// Longest payload taken as a packet's; a receiver's own are far shorter.
constexpr std::size_t kMaxPayload = 4096;

std::uint8_t byteAt(std::string_view bytes, std::size_t i) {
    return static_cast<std::uint8_t>(bytes[i]);
}

// Whether bytes hold a whole sentence with a right checksum.  A packet's
// payload practically never does, so one after a packet's first bytes shows
// that those were noise (a line at another rate) rather than a packet to
// wait for.
bool holdsSentence(std::string_view bytes) {
    for (std::size_t at = bytes.find('$'); at != std::string_view::npos;
         at = bytes.find('$', at + 1)) {
        for (std::size_t end = at + 1;
             end < bytes.size() && end - at < StreamSplitter::kMaxSentence; ++end) {
            const char c = bytes[end];
            if (c < 0x20 || c > 0x7E || c == '$') break;
            if (c == '*' && end + 2 < bytes.size()) {
                if (gpslink::nmeaCheckedBody(bytes.substr(at, end + 3 - at))) return true;
                break;
            }
        }
    }
    return false;
}

}  // namespace

int Packet::messageClass() const {
    switch (kind) {
        case PacketKind::Ubx:
        case PacketKind::Casic:
            return byteAt(bytes, kind == PacketKind::Ubx ? 2 : 4);
        case PacketKind::Sirf:
            return byteAt(bytes, 4);
        case PacketKind::Rtcm3:
            return byteAt(bytes, 3);
    }
    return 0;
}

int Packet::messageId() const {
    switch (kind) {
        case PacketKind::Ubx:
        case PacketKind::Casic:
            return byteAt(bytes, kind == PacketKind::Ubx ? 3 : 5);
        case PacketKind::Sirf:
            return 0;
        case PacketKind::Rtcm3:
            return byteAt(bytes, 4);
    }
    return 0;
}

std::string_view Packet::payload() const {
    const std::string_view all(bytes);
    switch (kind) {
        case PacketKind::Ubx:
            return all.substr(6, all.size() - 8);
        case PacketKind::Casic:
            return all.substr(6, all.size() - 10);
        case PacketKind::Sirf:
            return all.substr(5, all.size() - 9);
        case PacketKind::Rtcm3:
            return all.substr(3, all.size() - 6);
    }
    return {};
}

std::uint32_t casicChecksum(std::uint8_t messageClass, std::uint8_t messageId,
                            std::string_view payload) {
    std::uint32_t sum = (std::uint32_t(messageId) << 24) + (std::uint32_t(messageClass) << 16) +
                        std::uint32_t(payload.size());
    for (std::size_t i = 0; i + 4 <= payload.size(); i += 4)
        sum += std::uint32_t(byteAt(payload, i)) | std::uint32_t(byteAt(payload, i + 1)) << 8 |
               std::uint32_t(byteAt(payload, i + 2)) << 16 |
               std::uint32_t(byteAt(payload, i + 3)) << 24;
    return sum;
}

std::uint16_t sirfChecksum(std::string_view payload) {
    std::uint32_t sum = 0;
    for (char c : payload) sum += static_cast<std::uint8_t>(c);
    return static_cast<std::uint16_t>(sum & 0x7FFF);
}

std::uint32_t crc24q(std::string_view bytes) {
    std::uint32_t crc = 0;
    for (char c : bytes) {
        crc ^= std::uint32_t(static_cast<std::uint8_t>(c)) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000) crc ^= 0x1864CFB;
        }
    }
    return crc & 0xFFFFFF;
}

std::string sirfFrame(std::string_view payload) {
    const std::uint16_t sum = sirfChecksum(payload);
    std::string frame("\xA0\xA2", 2);
    frame += static_cast<char>((payload.size() >> 8) & 0x7F);
    frame += static_cast<char>(payload.size() & 0xFF);
    frame += payload;
    frame += static_cast<char>(sum >> 8);
    frame += static_cast<char>(sum & 0xFF);
    frame += "\xB0\xB3";
    return frame;
}

long StreamSplitter::packetAt(std::string_view b, PacketKind* kind) const {
    const auto need = [&](std::size_t n) { return b.size() >= n; };
    if (!need(2)) return -1;
    const std::uint8_t first = byteAt(b, 0), second = byteAt(b, 1);
    if (first == 0xB5 && second == 0x62) {  // UBX
        *kind = PacketKind::Ubx;
        if (!need(6)) return -1;
        const std::size_t length = byteAt(b, 4) | std::size_t(byteAt(b, 5)) << 8;
        if (length > kMaxPayload) return 0;
        if (!need(length + 8)) return -1;
        const auto sum = gpslink::ubxChecksum(b.substr(2, length + 4));
        return byteAt(b, length + 6) == sum[0] && byteAt(b, length + 7) == sum[1] ? long(length + 8)
                                                                                  : 0;
    }
    if (first == 0xBA && second == 0xCE) {  // CASIC
        *kind = PacketKind::Casic;
        if (!need(6)) return -1;
        const std::size_t length = byteAt(b, 2) | std::size_t(byteAt(b, 3)) << 8;
        if (length > kMaxPayload || length % 4 != 0) return 0;
        if (!need(length + 10)) return -1;
        const std::uint32_t sum = casicChecksum(byteAt(b, 4), byteAt(b, 5), b.substr(6, length));
        const std::size_t at = length + 6;
        const std::uint32_t sent =
            std::uint32_t(byteAt(b, at)) | std::uint32_t(byteAt(b, at + 1)) << 8 |
            std::uint32_t(byteAt(b, at + 2)) << 16 | std::uint32_t(byteAt(b, at + 3)) << 24;
        return sent == sum ? long(length + 10) : 0;
    }
    if (first == 0xA0 && second == 0xA2) {  // SiRF binary
        *kind = PacketKind::Sirf;
        if (!need(4)) return -1;
        const std::size_t length = std::size_t(byteAt(b, 2)) << 8 | byteAt(b, 3);
        if (length == 0 || length > kMaxPayload) return 0;
        if (!need(length + 8)) return -1;
        const std::uint16_t sum = sirfChecksum(b.substr(4, length));
        const std::size_t at = length + 4;
        const bool ok = byteAt(b, at) == (sum >> 8) && byteAt(b, at + 1) == (sum & 0xFF) &&
                        byteAt(b, at + 2) == 0xB0 && byteAt(b, at + 3) == 0xB3;
        return ok ? long(length + 8) : 0;
    }
    if (first == 0xD3) {  // RTCM 3: six reserved bits, then a ten-bit length
        *kind = PacketKind::Rtcm3;
        if ((second & 0xFC) != 0) return 0;
        if (!need(3)) return -1;
        const std::size_t length = std::size_t(second & 0x03) << 8 | byteAt(b, 2);
        if (!need(length + 6)) return -1;
        const std::uint32_t sent = std::uint32_t(byteAt(b, length + 3)) << 16 |
                                   std::uint32_t(byteAt(b, length + 4)) << 8 |
                                   byteAt(b, length + 5);
        return crc24q(b.substr(0, length + 3)) == sent ? long(length + 6) : 0;
    }
    return 0;
}

std::string StreamSplitter::feed(std::string_view bytes) {
    // Only what was held back is joined to the new bytes; the rest is read in place.
    std::string joined;
    std::string_view buffer = bytes;
    if (!held_.empty()) {
        joined = std::move(held_);
        held_.clear();
        joined.append(bytes);
        buffer = joined;
    }
    std::string out;
    out.reserve(buffer.size());
    for (std::size_t i = 0; i < buffer.size();) {
        const std::uint8_t c = byteAt(buffer, i);
        if (c == 0xB5 || c == 0xBA || c == 0xA0 || c == 0xD3) {
            PacketKind kind = PacketKind::Ubx;
            const long length = packetAt(buffer.substr(i), &kind);
            if (length < 0 && !holdsSentence(buffer.substr(i + 1))) {
                held_.assign(buffer.substr(i));
                return out;
            }
            if (length > 0) {
                sentence_.clear();  // a packet breaks off a sentence under way
                ++counts_[static_cast<int>(kind)];
                if (onPacket)
                    onPacket(Packet{kind, std::string(buffer.substr(i, std::size_t(length)))});
                i += std::size_t(length);
                continue;
            }
        }
        ++i;
        if (c == '$') {
            sentence_.assign(1, '$');
        } else if (sentence_.empty()) {
            out += char(c);
        } else if (c == '\r' || c == '\n' || sentence_.size() >= kMaxSentence) {
            sentence_.clear();
            out += char(c);
        } else {
            sentence_ += char(c);
            if (sentence_.size() >= 4 && sentence_[sentence_.size() - 3] == '*') {
                out += sentence_;
                sentence_.clear();
            }
        }
    }
    return out;
}

void StreamSplitter::reset() {
    held_.clear();
    sentence_.clear();
}

}  // namespace station
