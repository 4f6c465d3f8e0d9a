#include "platform/jack/ring_records.h"

#include <algorithm>
#include <cstring>

namespace platform::jack_ring {

namespace {

void CopyIn(const jack_ringbuffer_data_t (&parts)[2], std::size_t offset, const void* source, std::size_t size)
{
    const auto* from = static_cast<const char*>(source);
    for (const jack_ringbuffer_data_t& part : parts) {
        if (offset >= part.len) {
            offset -= part.len;
            continue;
        }
        const std::size_t n = std::min(size, part.len - offset);
        std::memcpy(part.buf + offset, from, n);
        from += n;
        size -= n;
        offset = 0;
        if (size == 0) {
            break;
        }
    }
}

void CopyOut(const jack_ringbuffer_data_t (&parts)[2], std::size_t offset, void* target, std::size_t size)
{
    auto* to = static_cast<char*>(target);
    for (const jack_ringbuffer_data_t& part : parts) {
        if (offset >= part.len) {
            offset -= part.len;
            continue;
        }
        const std::size_t n = std::min(size, part.len - offset);
        std::memcpy(to, part.buf + offset, n);
        to += n;
        size -= n;
        offset = 0;
        if (size == 0) {
            break;
        }
    }
}

}  // namespace


// Writes one record if there is room for all of it.
bool WriteRecord(jack_ringbuffer_t* ring, const RecordHeader& header, const void* bytes)
{
    const std::size_t total = sizeof header + header.size;
    if (jack_ringbuffer_write_space(ring) < total) {
        return false;
    }
    TsanAcquire(ring);   // the space was handed back by the reader
    jack_ringbuffer_data_t parts[2];
    jack_ringbuffer_get_write_vector(ring, parts);
    CopyIn(parts, 0, &header, sizeof header);
    CopyIn(parts, sizeof header, bytes, header.size);
    TsanRelease(ring);
    jack_ringbuffer_write_advance(ring, total);
    return true;
}

// The header of the oldest record, if a record is there.
bool PeekRecord(jack_ringbuffer_t* ring, RecordHeader& header)
{
    if (jack_ringbuffer_read_space(ring) < sizeof header) {
        return false;
    }
    TsanAcquire(ring);
    jack_ringbuffer_data_t parts[2];
    jack_ringbuffer_get_read_vector(ring, parts);
    CopyOut(parts, 0, &header, sizeof header);
    return true;
}

// Takes the oldest record (its header peeked before), copying its bytes to
// `target` unless that is nullptr.
void TakeRecord(jack_ringbuffer_t* ring, const RecordHeader& header, void* target)
{
    if (target != nullptr) {
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_read_vector(ring, parts);
        CopyOut(parts, sizeof header, target, header.size);
    }
    TsanRelease(ring);
    jack_ringbuffer_read_advance(ring, sizeof header + header.size);
}

}  // namespace platform::jack_ring
