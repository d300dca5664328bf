// The upload ledger against a system of the test's own: its memory drops as
// bytes are written (not when room is set aside), and on the Windows model
// its address space drops as room is set aside. So each bound can be shown
// with a few hundred bytes instead of real memory.
#include "upload_room.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The system the ledger asks. Bodies write through `fill`, which counts
// what is written as the real system would.
struct fake_system {
    unsigned long long memory = 0;  // all there is
    std::atomic<unsigned long long> written{0};
    bool writes_lower_memory = true;  // false: a figure that stays put
    unsigned long long address_space = ~0ULL;
    std::atomic<unsigned long long> set_aside{0};  // counted only against address_space
    // Run once, by the next query, after it has read the figures and before
    // it hands them over: what other uploads do while a claim is made.
    std::function<void()> between_reads;
};

fake_system sys;

memory_figures fake_query()
{
    unsigned long long used = sys.writes_lower_memory ? sys.written.load() : 0;
    unsigned long long as_used = sys.set_aside.load();
    memory_figures figures;
    figures.unwritten = sys.memory > used ? sys.memory - used : 0;
    figures.address_space = sys.address_space > as_used ? sys.address_space - as_used : 0;
    if (std::function<void()> meanwhile = std::exchange(sys.between_reads, nullptr))
        meanwhile();
    return figures;
}

class UploadRoom : public ::testing::Test {
protected:
    void SetUp() override
    {
        sys.memory = 100;
        sys.written = 0;
        sys.writes_lower_memory = true;
        sys.address_space = ~0ULL;
        sys.set_aside = 0;
        sys.between_reads = nullptr;
    }

    // Appends n bytes to the body and counts them as written.
    static bool fill(upload_body& body, size_t n)
    {
        std::string bytes(n, 'u');
        if (!body.append(bytes.data(), n))
            return false;
        sys.written += n;
        return true;
    }

    upload_ledger ledger{fake_query};
};

TEST_F(UploadRoom, ByteReceivedCountsOnceNotInLedgerAndSystemBoth)
{
    upload_body first(ledger);
    ASSERT_TRUE(first.reserve(80));
    EXPECT_EQ(ledger.unfilled(), 80u);
    ASSERT_TRUE(fill(first, 70));
    EXPECT_EQ(ledger.unfilled(), 10u);
    // 100 - 70 written - 10 still to come leaves 20.
    upload_body second(ledger);
    EXPECT_FALSE(second.reserve(21));
    EXPECT_EQ(ledger.unfilled(), 10u) << "a refused claim changes nothing";
    EXPECT_TRUE(second.reserve(20));
    EXPECT_EQ(ledger.unfilled(), 30u);
}

TEST_F(UploadRoom, GrowthByDoublingCountsTheNewRoomWhole)
{
    upload_body body(ledger);
    ASSERT_TRUE(fill(body, 30));
    ASSERT_TRUE(fill(body, 10));  // room 60: 100 - 30 written allows it
    EXPECT_EQ(ledger.unfilled(), 20u);
    // Now 40 written; doubling to 80 asks 80 of the 60 left, and the exact
    // need is no better: the old buffer stays while the bytes move.
    EXPECT_FALSE(fill(body, 30));
    EXPECT_EQ(body.view().size(), 40u) << "nothing appended";
    EXPECT_EQ(ledger.unfilled(), 20u);
}

// A body that goes past its room by two bytes, as a client that sends a
// CRLF after the length it announced: where twice the room does not fit,
// it grows by what it needs, counted whole since the bytes so far are
// copied into it. Only where even that does not fit is it refused.
TEST_F(UploadRoom, GrowthPastTheRoomTakesTheBareNeedWhereDoublingDoesNotFit)
{
    struct Case {
        const char* what;
        unsigned long long memory;
        bool writes_lower_memory;
        bool grows;
    };
    const Case cases[] = {
        {"a figure that stays put: 10 does not fit 8, 7 does", 8, false, true},
        {"12 less the 5 written leaves 7: the copy of 7 fits", 12, true, true},
        {"8 less the 5 written leaves 3: the copy of 7 does not fit", 8, true, false},
    };
    for (const Case& c : cases) {
        SetUp();
        sys.memory = c.memory;
        sys.writes_lower_memory = c.writes_lower_memory;
        upload_body body(ledger);
        ASSERT_TRUE(body.reserve(5)) << c.what;
        ASSERT_TRUE(fill(body, 5)) << c.what;
        EXPECT_EQ(body.append("\r\n", 2), c.grows) << c.what;
        EXPECT_EQ(body.view(), c.grows ? std::string(5, 'u') + "\r\n" : std::string(5, 'u'))
            << c.what;
        EXPECT_EQ(ledger.unfilled(), 0u) << c.what;
    }
}

// A form comes a byte at a time. Near the bound, where doubling no longer
// fits, growing by the bare need would copy the whole body again for every
// byte; the body grows by the most that fits instead, and still fills the
// bound to its last byte.
TEST_F(UploadRoom, ABodyComingAByteAtATimeNearTheBoundMovesOnlyAFewTimes)
{
    sys.memory = 1000;
    sys.writes_lower_memory = false;
    upload_body body(ledger);
    int moves = 0;
    const char* at = nullptr;
    while (body.append("b", 1)) {
        if (body.view().data() != at)
            ++moves;
        at = body.view().data();
    }
    EXPECT_EQ(body.view().size(), 1000u);
    EXPECT_LT(moves, 30) << "1 to 512 by doubling takes 10";
    EXPECT_EQ(ledger.unfilled(), 0u);
}

// Another upload writes the bytes it had claimed room for, and gives that
// room back, between the two reads of a claim. The ledger is read first:
// those bytes are then counted twice for a moment (as room in the ledger,
// as written in the figures), never zero times.
TEST_F(UploadRoom, AClaimReadsTheLedgerBeforeTheSystem)
{
    upload_body other(ledger);
    ASSERT_TRUE(other.reserve(60));
    sys.between_reads = [&other] { ASSERT_TRUE(fill(other, 60)); };
    upload_body late(ledger);
    EXPECT_FALSE(late.reserve(41)) << "100 less the other's 60 leaves 40";
    EXPECT_EQ(ledger.unfilled(), 0u) << "a refused claim gives back what it counted";
    EXPECT_TRUE(late.reserve(40));
}

struct CopyCase {
    const char* what;
    unsigned long long memory;
    bool shrunk;
};

// A body announced 60 and got 59: storing it copies the 59 into a buffer
// that fits, while the old one still holds them.
TEST_F(UploadRoom, TakeCopiesOnlyWhereTheCopyFits)
{
    const CopyCase cases[] = {
        {"room for the copy: stored without room past its bytes", 200, true},
        {"the copy fits once this body's own unfilled room is no longer counted", 118, true},
        {"no room for a second 59: stored as it is, nothing lost", 117, false},
    };
    for (const CopyCase& c : cases) {
        SetUp();
        sys.memory = c.memory;
        std::vector<char> stored;
        {
            upload_body body(ledger);
            ASSERT_TRUE(body.reserve(60)) << c.what;
            ASSERT_TRUE(fill(body, 59)) << c.what;
            stored = body.take();
            EXPECT_EQ(ledger.unfilled(), 0u) << c.what;
        }
        EXPECT_EQ(stored.size(), 59u) << c.what;
        EXPECT_EQ(std::string(stored.begin(), stored.end()), std::string(59, 'u')) << c.what;
        EXPECT_EQ(stored.capacity() == stored.size(), c.shrunk) << c.what;
    }
}

TEST_F(UploadRoom, TakeOfAFullBodyCopiesNothing)
{
    upload_body body(ledger);
    ASSERT_TRUE(body.reserve(10));
    ASSERT_TRUE(fill(body, 10));
    const char* bytes = body.view().data();
    std::vector<char> stored = body.take();
    EXPECT_EQ(stored.data(), bytes);
    EXPECT_TRUE(body.view().empty());
}

// Every way out of a request gives its room back.
TEST_F(UploadRoom, LedgerGivenBackOnEveryExit)
{
    struct Exit {
        const char* what;
        void (*run)(upload_ledger&);
    };
    const Exit exits[] = {
        {"refused as too large",
         [](upload_ledger& l) {
             upload_body body(l);
             ASSERT_TRUE(body.reserve(50));
             EXPECT_FALSE(body.reserve(101));
         }},
        {"cut short: the peer ended before the announced length",
         [](upload_ledger& l) {
             upload_body body(l);
             ASSERT_TRUE(body.reserve(80));
             ASSERT_TRUE(fill(body, 30));
             body.take();
         }},
        {"reset: dropped part way",
         [](upload_ledger& l) {
             upload_body body(l);
             ASSERT_TRUE(body.reserve(90));
             ASSERT_TRUE(fill(body, 45));
         }},
        {"an exception while receiving",
         [](upload_ledger& l) {
             try {
                 upload_body body(l);
                 ASSERT_TRUE(body.reserve(70));
                 throw std::runtime_error("out of memory");
             } catch (const std::runtime_error&) {
             }
         }},
        {"stored",
         [](upload_ledger& l) {
             upload_body body(l);
             ASSERT_TRUE(body.reserve(30));
             ASSERT_TRUE(fill(body, 30));
             body.take();
         }},
    };
    for (const Exit& exit : exits) {
        SetUp();
        exit.run(ledger);
        EXPECT_EQ(ledger.unfilled(), 0u) << exit.what;
        room_claim everything_else(ledger);
        EXPECT_TRUE(everything_else.claim(100u - sys.written)) << exit.what;
    }
}

// On Windows a 32-bit process's address space drops as soon as room is set
// aside: that figure already holds the ledger's room and must not count it
// again, while the physical memory does not.
TEST_F(UploadRoom, AddressSpaceBoundsWithoutCountingTheLedgerTwice)
{
    sys.memory = 1000;
    sys.address_space = 100;
    upload_body first(ledger);
    ASSERT_TRUE(first.reserve(60));
    sys.set_aside += 60;
    upload_body second(ledger);
    EXPECT_FALSE(second.reserve(41));
    EXPECT_TRUE(second.reserve(40)) << "100 - 60 set aside leaves 40, not 40 - 60";
}

// Two uploads of 120 each, over and over, against a figure of 256 that no
// write lowers: at most 240 is ever set aside, so none may be refused. A
// ledger that moved in two steps counted one of them twice for a moment.
TEST_F(UploadRoom, UploadsClaimingAtOnceAreNeverRefusedWithinTheBound)
{
    sys.memory = 256;
    sys.writes_lower_memory = false;
    std::atomic<int> refused{0};
    auto uploader = [&] {
        std::string bytes(120, 'r');
        for (int i = 0; i < 100000; ++i) {
            upload_body body(ledger);
            if (!body.reserve(120) || !body.append(bytes.data(), bytes.size())) {
                ++refused;
                continue;
            }
            body.take();
        }
    };
    std::thread a(uploader), b(uploader);
    a.join();
    b.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(ledger.unfilled(), 0u);
}

}  // namespace
