// Binary packets in a receiver's stream, and the text around them.
//
// Many receivers send binary packets beside their NMEA sentences: u-blox UBX
// (B5 62), CASIC (BA CE), SiRF binary (A0 A2 ... B0 B3) and RTCM 3 corrections
// (D3).  Their payloads hold any byte, "$" included, and the link's own
// framing would join such a "$" to the next sentence.  The station therefore
// takes every packet out of the stream by its own framing (length and
// checksum) before the link or the watcher sees the characters, and hands
// out only whole sentences: a "$" starts a new sentence, and an unfinished one
// that a "$" or a line end breaks off is dropped.  Bytes that belong to no
// sentence and no packet (line ends, noise, a receiver at another rate) pass
// through unchanged, so the link still sees that characters arrive.
//
// A packet is taken only when its checksum is right; otherwise its first byte
// is ordinary input and the search goes on from the next one.  While a
// packet's bytes are awaited, a whole sentence with a right checksum after
// its first bytes shows they were noise, and the wait ends.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace station {

enum class PacketKind { Ubx, Casic, Sirf, Rtcm3 };

// One whole packet, as it came.
struct Packet {
    PacketKind kind;
    std::string bytes;

    // UBX and CASIC: class and id; SiRF: the message ID and 0; RTCM 3: the
    // message number's high and low bits.
    int messageClass() const;
    int messageId() const;
    std::string_view payload() const;  // UBX, CASIC: after class and id; SiRF: after the MID
};

// CASIC: the 32-bit sum of id << 24, class << 16, the length, and the
// payload read as little-endian 32-bit words.
std::uint32_t casicChecksum(std::uint8_t messageClass, std::uint8_t messageId,
                            std::string_view payload);
// SiRF binary: the sum of the payload's bytes, 15 bits.
std::uint16_t sirfChecksum(std::string_view payload);
// RTCM 3: CRC-24Q over the frame from its D3.
std::uint32_t crc24q(std::string_view bytes);

// A SiRF binary frame: A0 A2, the payload's length (two bytes, most
// significant first), the payload (its MID first), the checksum, B0 B3.
std::string sirfFrame(std::string_view payload);

class StreamSplitter {
public:
    // Longest sentence handed on, "$" to the checksum's last digit.
    static constexpr std::size_t kMaxSentence = 128;

    // Every packet taken out, as it completes.
    std::function<void(const Packet&)> onPacket;

    // The text of bytes, packets taken out: whole sentences and the bytes
    // outside them.  What cannot be decided yet waits for the next bytes.
    std::string feed(std::string_view bytes);
    // Forgets what waits (the line was reopened).
    void reset();

    // Packets of each kind taken so far.
    int packets(PacketKind kind) const { return counts_[static_cast<int>(kind)]; }

private:
    // A packet at the front of held_: its length once whole and valid, 0 when
    // it is not one, -1 when more bytes are needed.
    long packetAt(std::string_view bytes, PacketKind* kind) const;

    std::string held_;      // bytes not yet decided, from a possible packet's first byte
    std::string sentence_;  // an unfinished sentence from its "$"
    std::array<int, 4> counts_{};
};

}  // namespace station
