// The memory that requests make the server take, and the one bound that
// keeps it within what the system can still give the process.
//
// The system's figure of free memory drops only as pages are first written,
// not when room is set aside: an upload that has announced 60 MiB and
// received 10 has used 10, and 50 more will be taken from the system later,
// whatever happens in between. So every piece of memory a request takes is
// claimed in one ledger before it is taken, and counts there until its bytes
// are written; a new claim must fit what the system reports less that
// ledger. Each byte counts once: in the ledger until it is written, in the
// system's figure afterwards.
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

// The room claimed by every request and not yet written. One ledger is
// shared by any number of threads; every change to it is one atomic step,
// so no claim is ever counted twice, or missed, by another.
class upload_ledger {
public:
    explicit upload_ledger(memory_query query) : query_(query) {}
    upload_ledger(const upload_ledger&) = delete;
    upload_ledger& operator=(const upload_ledger&) = delete;

    // The room counted now, by every claim together.
    unsigned long long unfilled() const { return unfilled_.load(); }

private:
    friend class room_claim;

    // Counts `room` in place of `counted`, the claimant's own share, if
    // what is left besides the other claims allows it; false, and nothing
    // changed, when it does not.
    bool claim(unsigned long long& counted, unsigned long long room);
    // Counts `now` in place of `counted`, in one step, without asking.
    void settle(unsigned long long& counted, unsigned long long now);

    memory_query query_;
    std::atomic<unsigned long long> unfilled_{0};
};

// One allocation's share of a ledger: claimed before the allocation is made,
// lowered as its bytes are written, and given back whole when the claim is
// destroyed, on every path out (refused, stored, an exception). Used by one
// thread at a time; the ledger must outlive it.
class room_claim {
public:
    explicit room_claim(upload_ledger& ledger) : ledger_(ledger) {}
    room_claim(const room_claim&) = delete;
    room_claim& operator=(const room_claim&) = delete;
    ~room_claim() { settle(0); }

    // Counts `room` in place of what this claim counts now, if the
    // system's figures less every other claim allow it; false, and the
    // claim as it was, when they do not.
    bool claim(unsigned long long room) { return ledger_.claim(counted_, room); }
    // Counts `now` in place of what this claim counts, without asking: for
    // room that has been written, or given back.
    void settle(unsigned long long now) { ledger_.settle(counted_, now); }

private:
    upload_ledger& ledger_;
    unsigned long long counted_ = 0;
};

// The body of one PUT or POST as it arrives. Its room not yet filled is
// claimed in its ledger from the moment it is set aside until the body is
// taken or destroyed. Used by one thread at a time; the ledger must outlive
// it.
class upload_body {
public:
    explicit upload_body(upload_ledger& ledger) : room_(ledger) {}
    upload_body(const upload_body&) = delete;
    upload_body& operator=(const upload_body&) = delete;

    // Room for `room` bytes in all; false, and the body as it was, when it
    // is not to be had. The new room counts whole while the bytes so far
    // are moved into it.
    bool reserve(size_t room);

    // Appends, growing the room to twice its size, or where that does not
    // fit to the most that does, down to what the bytes need; false and
    // nothing appended when not even that is to be had.
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
    bool grow_to_hold(size_t needed);

    room_claim room_;
    std::vector<char> bytes_;
};

#endif
