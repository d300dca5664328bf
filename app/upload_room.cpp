// The ledger of the room that uploads hold, and the upload bodies that
// count in it.
#include "upload_room.h"

#include <algorithm>
#include <exception>
#include <utility>

// What a claim may take of the system's figures when the other uploads
// hold `others` unfilled.
static unsigned long long left_besides(const memory_figures& figures, unsigned long long others)
{
    unsigned long long unwritten = figures.unwritten > others ? figures.unwritten - others : 0;
    return std::min(unwritten, figures.address_space);
}

unsigned long long upload_ledger::room_left() const
{
    return left_besides(query_(), unfilled_.load());
}

// The system is asked once: a retry after another upload moved the ledger
// needs only the ledger read again.
bool upload_ledger::claim(unsigned long long& counted, unsigned long long room)
{
    memory_figures figures = query_();
    unsigned long long held = unfilled_.load();
    unsigned long long others;
    do {
        others = held - counted;
        if (room > left_besides(figures, others))
            return false;
    } while (!unfilled_.compare_exchange_weak(held, others + room));
    counted = room;
    return true;
}

// Unsigned arithmetic wraps, so adding the difference moves the ledger down
// as well as up, in one step.
void upload_ledger::settle(unsigned long long& counted, unsigned long long now)
{
    unfilled_.fetch_add(now - counted);
    counted = now;
}

upload_body::~upload_body() { ledger_.settle(counted_, 0); }

bool upload_body::reserve(size_t room)
{
    if (room <= bytes_.capacity())
        return true;
    if (!ledger_.claim(counted_, room))
        return false;
    bool made = true;
    try {
        bytes_.reserve(room);
    } catch (const std::exception&) {
        made = false;
    }
    ledger_.settle(counted_, unfilled_room());
    return made;
}

bool upload_body::append(const char* bytes, size_t count)
{
    size_t needed = bytes_.size() + count;
    if (needed > bytes_.capacity() && !reserve(std::max(needed, 2 * bytes_.capacity())))
        return false;
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    ledger_.settle(counted_, unfilled_room());
    return true;
}

std::vector<char> upload_body::take()
{
    // For the moment of the copy both buffers exist; the old one's room
    // past its bytes was never written, so only the copy is counted.
    if (unfilled_room() > 0 && ledger_.claim(counted_, bytes_.size())) {
        try {
            std::vector<char>(bytes_.begin(), bytes_.end()).swap(bytes_);
        } catch (const std::exception&) {
            // kept with its room: nothing is lost
        }
    }
    std::vector<char> taken = std::move(bytes_);
    bytes_ = std::vector<char>();
    ledger_.settle(counted_, 0);
    return taken;
}
