// Bytes compressed as qCompress compresses them (their size unpacked, four
// bytes big-endian, then a zlib stream at zlib's default level), so that
// qUncompress reads them back, with one zlib stream kept for every call.
// qCompress sets up and tears down a stream of about 256 KiB for each call,
// and its set-up, clearing and freeing cost more than compressing a unit's
// few kilobytes of evidence.
#pragma once

#include <QByteArray>
#include <memory>

namespace results {

class Packer {
public:
    Packer();
    ~Packer();
    Packer(const Packer&) = delete;
    Packer& operator=(const Packer&) = delete;

    // Byte for byte what qCompress(bytes) gives; empty when zlib fails.
    QByteArray pack(const QByteArray& bytes);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

}  // namespace results
