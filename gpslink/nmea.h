// NMEA 0183 sentences as the whole tool reads and writes them: the checksum,
// one sentence checked, and its fields.
//
// A sentence is "$", a body of printable ASCII without "$" or "*", "*", and
// two hex digits (either case) that are the exclusive-or of the body's
// characters; at most kMaxSentence characters from "$" to the last digit.
// Its checksum is checked once (nmeaCheckedBody); the body is then read field
// by field (NmeaFields).  Any field may be null (empty) or missing (past the
// last comma): both read as null, and a typed read tells a null field, which
// is no fault, from a malformed one, which is.
//
// The window's own framing (nmeascanner.h) is not this: it frames leniently
// and checks no checksum, as the window always has.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gpslink {

// Longest sentence taken, "$" to the checksum's last digit: NMEA 0183 allows
// 82 characters with the line end, but real receivers send longer ones
// (high-precision GGA, proprietary sentences).
inline constexpr std::size_t kMaxSentence = 128;

// Exclusive-or of every character of body, the text between "$" and "*".
std::uint8_t nmeaChecksum(std::string_view body);
// "$", body, "*", the checksum as two upper-case hex digits, CR LF.
std::string nmeaCommand(std::string_view body);
// The body of a sentence "$body*hh" (no line end) that is well formed (see
// above) and whose hh is the checksum of body; nothing otherwise.
std::optional<std::string_view> nmeaCheckedBody(std::string_view sentence);

// The comma-separated fields of a body ("GPGGA,,1" gives "GPGGA", "" and
// "1"), read in place without allocating.  Field 0 is the address.
class NmeaFields {
public:
    // More than any sentence read here has (PMTK314: 20, GSV: 21, PUBX: 21).
    static constexpr std::size_t kMaxFields = 40;

    explicit NmeaFields(std::string_view body);
    // The fields are views of the body: it must outlive them.
    explicit NmeaFields(std::string&&) = delete;
    explicit NmeaFields(const char* body) : NmeaFields(std::string_view(body)) {}

    // The number of fields; a body with more than kMaxFields counts
    // kMaxFields + 1, and the ones past kMaxFields are not read.
    std::size_t size() const { return count_; }
    bool overlong() const { return count_ > kMaxFields; }
    // Field i as sent; empty when null or missing.
    std::string_view operator[](std::size_t i) const { return i < stored() ? fields_[i] : ""; }
    std::string_view back() const { return (*this)[stored() - 1]; }
    const std::string_view* begin() const { return fields_.data(); }
    const std::string_view* end() const { return fields_.data() + stored(); }

    // The body from field i on, commas and all (a text that may hold commas);
    // empty when missing.
    std::string_view from(std::size_t i) const;

    // Field 0; for a sentence of a talker ("GPGGA") its two letters and its
    // three-letter formatter, empty for a proprietary one ("PMTK001").
    std::string_view address() const { return fields_[0]; }
    std::string_view talker() const;
    std::string_view formatter() const;

    // Typed reads of field i.  Each leaves value empty for a null or missing
    // field and returns true; for a malformed one it returns false.
    //   number:  a whole number of 1 to maxDigits digits, nothing else
    //   decimal: digits with at most one point ("0.9", "12", ".5"), up to 8
    //            characters, read as NMEA writes it whatever the locale
    //   time:    hhmmss with an optional fraction of up to 5 digits, as
    //            milliseconds of the day (a leap second 60 taken)
    //   hex:     one hex digit, either case
    bool number(std::size_t i, std::optional<int>& value, std::size_t maxDigits = 4) const;
    bool decimal(std::size_t i, std::optional<double>& value) const;
    bool time(std::size_t i, std::optional<int>& ms) const;
    bool hex(std::size_t i, std::optional<int>& value) const;

private:
    std::size_t stored() const { return count_ > kMaxFields ? kMaxFields : count_; }

    std::string_view body_;
    std::array<std::string_view, kMaxFields> fields_;
    std::size_t count_ = 0;
};

}  // namespace gpslink
