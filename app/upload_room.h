// The memory that uploads in progress hold, and the one bound that keeps
// them together within what the system can still give the process.
//
// The system's figure of free memory drops only as pages are first written,
// not when room is set aside: an upload that has announced 60 MiB and
// received 10 has used 10, and 50 more will be taken from the system later,
// whatever happens in between. So every upload counts in one ledger the room
// it has set aside and not yet filled, and a new claim must fit what the
// system reports less that ledger. Each byte counts once: in the ledger
// until it is written, in the system's figure afterwards.
#ifndef TINKERPOT_UPLOAD_ROOM_H
#define TINKERPOT_UPLOAD_ROOM_H

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

#include "platform.h"

// Where a ledger reads the system's figures (available_memory, or a test's
// own). Called from any thread, without a lock.
typedef memory_figures (*memory_query)();

// The room set aside by every upload in progress and not yet filled. One
// ledger is shared by any number of threads; every change to it is one
// atomic step, so no upload is ever counted twice, even for a moment.
class upload_ledger {
public:
    explicit upload_ledger(memory_query query) : query_(query) {}
    upload_ledger(const upload_ledger&) = delete;
    upload_ledger& operator=(const upload_ledger&) = delete;

    // What a new claim may take now: the memory not yet written less the
    // room set aside and not filled, and no more than the address space
    // left. 0 when nothing is left.
    unsigned long long room_left() const;

    // The room counted now, by every upload together.
    unsigned long long unfilled() const { return unfilled_.load(); }

private:
    friend class upload_body;

    // Counts `room` in place of `counted`, the claimant's own share, if
    // what is left besides the other uploads allows it; false, and nothing
    // changed, when it does not.
    bool claim(unsigned long long& counted, unsigned long long room);
    // Counts `now` in place of `counted`, in one step, without asking.
    void settle(unsigned long long& counted, unsigned long long now);

    memory_query query_;
    std::atomic<unsigned long long> unfilled_{0};
};

// The body of one PUT or POST as it arrives. Its room not yet filled counts
// in its ledger from the moment it is set aside until the body is taken or
// destroyed, on every path out (refused, cut short, reset, an exception).
// Used by one thread at a time; the ledger must outlive it.
class upload_body {
public:
    explicit upload_body(upload_ledger& ledger) : ledger_(ledger) {}
    upload_body(const upload_body&) = delete;
    upload_body& operator=(const upload_body&) = delete;
    ~upload_body();

    // Room for `room` bytes in all; false, and the body as it was, when it
    // is not to be had. The new room counts whole while the bytes so far
    // are moved into it.
    bool reserve(size_t room);

    // Appends, growing the room by doubling; false and nothing appended
    // when the room is not to be had.
    bool append(const char* bytes, size_t count);

    // The bytes so far, valid until the next change.
    std::string_view view() const { return std::string_view(bytes_.data(), bytes_.size()); }

    // The bytes, to be stored: they stay as they are for as long as the
    // server runs. Room past them is given back by copying them into a
    // buffer that fits, when the ledger has room for that copy; otherwise
    // they are handed over with their room, untouched. The body is empty
    // afterwards and counts nothing.
    std::vector<char> take();

private:
    unsigned long long unfilled_room() const { return bytes_.capacity() - bytes_.size(); }

    upload_ledger& ledger_;
    std::vector<char> bytes_;
    unsigned long long counted_ = 0;  // this body's share of the ledger
};

#endif
