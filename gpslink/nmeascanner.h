// Framing NMEA 0183 sentences out of a stream of receive chunks.
//
// A receiver's characters arrive in chunks that bear no relation to sentence
// boundaries: a chunk may end anywhere inside a sentence, or hold several.
// A sentence runs from a "$" through the "*" that has at least two more
// characters after it, and those two characters (the checksum, which is not
// verified).  Neither a line end nor another "$" ends the search for the "*",
// so a sentence that lost its "*" runs on into the next one and is examined
// as one sentence of the first one's kind.  Scanning resumes right after the
// "*", so a "$" among the checksum characters starts the next sentence.
//
// The scanner hands every complete sentence out exactly once and keeps only
// what cannot be examined yet: an unfinished sentence from its "$".  The work
// of one scan is proportional to the characters that arrived since the last
// one: the search for the "*" of an unfinished sentence resumes where it
// stopped.  An unfinished sentence longer than kMaxPending (a real one is at
// most 82 characters) is dropped up to the next "$", so the buffer stays
// bounded whatever the line carries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace gpslink {

// Characters start..start+length-1 of text, counted from 1 and cut at its
// end: positions past the end read as empty text.
inline std::string_view mid(std::string_view text, std::size_t start, std::size_t length) {
    if (start < 1 || start > text.size()) return {};
    return text.substr(start - 1, length);
}

class NmeaScanner {
public:
    static constexpr std::size_t kMaxPending = 4096;

    // Frames the sentences in buffer, which holds what was kept from the last
    // scan followed by the characters received since.  Each complete sentence
    // goes to onSentence(std::string_view), in order; when onSentence returns
    // false the rest of the buffer is dropped unexamined.  Afterwards buffer
    // holds only an unfinished sentence, or nothing.
    template <typename OnSentence>
    void scan(std::string& buffer, OnSentence&& onSentence);

    // Forget where the search in the kept sentence stopped (the buffer was
    // changed from outside).
    void reset() { searchFrom_ = 0; }

private:
    // In a kept unfinished sentence, the index from which the search for its
    // "*" resumes; every "*" before it was already found to lack its two
    // checksum characters or was not there.
    std::size_t searchFrom_ = 0;
};

template <typename OnSentence>
void NmeaScanner::scan(std::string& buffer, OnSentence&& onSentence) {
    const char* const data = buffer.data();
    const std::size_t size = buffer.size();
    std::size_t pos = 0;             // where the search for the next "$" starts
    std::size_t from = searchFrom_;  // lower bound for the "*" search

    for (;;) {
        const void* dollar = pos < size ? std::memchr(data + pos, '$', size - pos) : nullptr;
        if (dollar == nullptr) {  // nothing left that could become a sentence
            buffer.clear();
            searchFrom_ = 0;
            return;
        }
        std::size_t start = static_cast<const char*>(dollar) - data;

        // A "*" at index p completes the sentence when p + 2 < size.
        const std::size_t searchBegin = std::max(start + 1, from);
        const std::size_t searchEnd = size >= 2 ? size - 2 : 0;
        const void* star = searchBegin < searchEnd
                               ? std::memchr(data + searchBegin, '*', searchEnd - searchBegin)
                               : nullptr;
        if (star != nullptr) {
            const std::size_t p = static_cast<const char*>(star) - data;
            if (!onSentence(std::string_view(data + start, p + 3 - start))) {
                buffer.clear();
                searchFrom_ = 0;
                return;
            }
            pos = p + 1;
            from = 0;
            continue;
        }

        // Unfinished: keep it from its "$", and resume the search at the
        // first index that more characters could still make a "*" count at.
        from = std::max(searchBegin, searchEnd);
        while (size - start > kMaxPending) {
            const void* next = std::memchr(data + start + 1, '$', size - start - 1);
            if (next == nullptr) {
                buffer.clear();
                searchFrom_ = 0;
                return;
            }
            start = static_cast<const char*>(next) - data;
        }
        searchFrom_ = std::max(from, start + 1) - start;
        buffer.erase(0, start);
        return;
    }
}

}  // namespace gpslink
