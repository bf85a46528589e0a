#include "results/packer.h"

#include <zlib.h>

#include <QtEndian>
#include <limits>

namespace results {

struct Packer::Stream {
    z_stream z{};
    bool ready = false;
};

Packer::Packer() : stream_(std::make_unique<Stream>()) {
    stream_->ready = deflateInit(&stream_->z, Z_DEFAULT_COMPRESSION) == Z_OK;
}

Packer::~Packer() {
    if (stream_->ready) deflateEnd(&stream_->z);
}

QByteArray Packer::pack(const QByteArray& bytes) {
    // qCompress's own answer for nothing: a size of zero and no stream.
    if (bytes.isEmpty()) return QByteArray(4, '\0');
    if (!stream_->ready || bytes.size() > std::numeric_limits<uInt>::max() / 2) return {};
    z_stream& z = stream_->z;
    if (deflateReset(&z) != Z_OK) return {};
    QByteArray out(4 + qsizetype(deflateBound(&z, uLong(bytes.size()))), Qt::Uninitialized);
    qToBigEndian(quint32(bytes.size()), out.data());
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    z.avail_in = uInt(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data() + 4);
    z.avail_out = uInt(out.size() - 4);
    // The bound holds the whole stream, so one call finishes it.
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return {};
    out.truncate(4 + qsizetype(z.total_out));
    return out;
}

}  // namespace results
