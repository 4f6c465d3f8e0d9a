// Records in the lock-free ring buffers between the JACK process callback and
// the other threads: a RecordHeader and its bytes, written with one advance of
// the write pointer, so that the reader sees whole records only.  Each side
// tells ThreadSanitizer about the hand-over before it moves its pointer and
// after it has seen the other side's pointer move.
#pragma once

#include <jack/ringbuffer.h>

#include <cstdint>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace platform::jack_ring {

// The ring buffers and the port buffers are plain memory handed between
// threads by libjack's own barriers and futexes, which ThreadSanitizer cannot
// see; these tell it about the hand-over.
inline void TsanAcquire([[maybe_unused]] const void* address)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(address));
#endif
}

inline void TsanRelease([[maybe_unused]] const void* address)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(address));
#endif
}

struct RecordHeader {
    std::uint64_t seq;    // output: the send's sequence number; input: 0
    std::uint32_t size;   // bytes that follow
    std::uint32_t unused;
};

// Writes a whole record; false (nothing written) when the ring lacks room.
bool WriteRecord(jack_ringbuffer_t* ring, const RecordHeader& header, const void* bytes);
// The next record's header, left in the ring; false when none is whole yet.
bool PeekRecord(jack_ringbuffer_t* ring, RecordHeader& header);
// Takes the record whose header was peeked, its bytes to `target` (nullptr: dropped).
void TakeRecord(jack_ringbuffer_t* ring, const RecordHeader& header, void* target);

}  // namespace platform::jack_ring
