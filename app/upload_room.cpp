// The ledger of the room that requests claim, and the upload bodies that
// count in it.
#include "upload_room.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

// What a claim may take of the system's figures when the other claims hold
// `others` unfilled.
static unsigned long long left_besides(const memory_figures& figures, unsigned long long others)
{
    unsigned long long unwritten = figures.unwritten > others ? figures.unwritten - others : 0;
    return std::min(unwritten, figures.address_space);
}

// The claim goes into the ledger first, and the system is asked after.
// Bytes that another request writes in between are then counted twice for a
// moment (as room in the ledger, as written in the figures), never zero
// times; and every claim made meanwhile sees this one, so of two claims at
// once the later is always checked against both. Unsigned arithmetic
// wraps, so adding the difference moves the ledger down as well as up.
bool upload_ledger::claim(unsigned long long& counted, unsigned long long room)
{
    unsigned long long change = room - counted;
    unsigned long long others = unfilled_.fetch_add(change) + change - room;
    if (room > left_besides(query_(), others)) {
        unfilled_.fetch_sub(change);
        return false;
    }
    counted = room;
    return true;
}

void upload_ledger::settle(unsigned long long& counted, unsigned long long now)
{
    unfilled_.fetch_add(now - counted);
    counted = now;
}

bool upload_body::reserve(size_t room)
{
    if (room <= bytes_.capacity())
        return true;
    if (!room_.claim(room))
        return false;
    bool made = true;
    try {
        bytes_.reserve(room);
    } catch (const std::exception&) {
        made = false;
    }
    room_.settle(unfilled_room());
    return made;
}

// Twice the room, so that a body of no announced length is moved only a few
// times as it grows. Where that does not fit, half as much more, a quarter,
// and so on: the most that fits, so that a body near the bound, coming a
// byte at a time as a form does, is not copied again for every byte. Last,
// just what the bytes need.
bool upload_body::grow_to_hold(size_t needed)
{
    size_t room = bytes_.capacity();
    for (size_t extra = room; extra > needed - room; extra /= 2) {
        if (extra <= SIZE_MAX - room && reserve(room + extra))
            return true;
    }
    return reserve(needed);
}

bool upload_body::append(const char* bytes, size_t count)
{
    size_t needed = bytes_.size() + count;
    if (needed > bytes_.capacity() && !grow_to_hold(needed))
        return false;
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    room_.settle(unfilled_room());
    return true;
}

std::vector<char> upload_body::take()
{
    // For the moment of the copy both buffers exist; the old one's room
    // past its bytes was never written, so only the copy is counted.
    if (unfilled_room() > 0 && room_.claim(bytes_.size())) {
        try {
            std::vector<char>(bytes_.begin(), bytes_.end()).swap(bytes_);
        } catch (const std::exception&) {
            // kept with its room: nothing is lost
        }
    }
    std::vector<char> taken = std::move(bytes_);
    bytes_ = std::vector<char>();
    room_.settle(0);
    return taken;
}
