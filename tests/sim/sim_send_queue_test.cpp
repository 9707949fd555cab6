// The sim's send queue: the line's pace, and dues that count from the item before.
#include <gtest/gtest.h>

#include "sim_send_queue.h"

namespace {

const Nanos BYTE = MS;  // 10000 bit/s

TxItem item(const std::string& bytes, Nanos due) {
    TxItem sent;
    sent.bytes = bytes;
    sent.due = due;
    return sent;
}

TxItem after_previous(const std::string& bytes, Nanos delay, bool from_written) {
    TxItem sent = item(bytes, 0);
    sent.relative = true;
    sent.delay = delay;
    sent.from_written = from_written;
    return sent;
}

TEST(SendQueue, PacedBytesLeaveOneAtATimeAndLateOnesTogether) {
    SendQueue queue(BYTE);
    queue.push(item("abcd", 10 * MS));
    EXPECT_EQ(queue.next(9 * MS).what, SendStep::What::Wait);
    SendStep step = queue.next(10 * MS);
    ASSERT_EQ(step.what, SendStep::What::Write);
    EXPECT_EQ(std::string(step.data, step.count), "a");
    EXPECT_FALSE(queue.wrote(step, 1, 10 * MS));
    step = queue.next(10 * MS);
    EXPECT_EQ(step.what, SendStep::What::Wait);
    EXPECT_EQ(step.at, 11 * MS);
    // Two byte times late: the bytes that should have left by now go in one write.
    step = queue.next(13 * MS);
    ASSERT_EQ(step.what, SendStep::What::Write);
    EXPECT_EQ(std::string(step.data, step.count), "bcd");
    EXPECT_TRUE(queue.wrote(step, 3, 13 * MS));
    EXPECT_TRUE(queue.empty());
}

TEST(SendQueue, ShortWriteLeavesTheRestForItsOwnTime) {
    SendQueue queue(BYTE);
    queue.push(item("abcd", 0));
    SendStep step = queue.next(3 * MS);
    EXPECT_EQ(step.count, 4u);
    EXPECT_FALSE(queue.wrote(step, 2, 3 * MS));
    step = queue.next(3 * MS);
    EXPECT_EQ(step.what, SendStep::What::Write);  // "c" was due at 2 ms
    EXPECT_EQ(std::string(step.data, step.count), "cd");
}

TEST(SendQueue, RelativeDueCountsFromTheLastByteDueOrWritten) {
    for (bool from_written : {false, true}) {
        SCOPED_TRACE(from_written ? "from written" : "from due");
        SendQueue queue(BYTE);
        queue.push(item("ab", 0));
        queue.push(after_previous("c", 100 * MS, from_written));
        SendStep step = queue.next(5 * MS);  // written 5 ms late; "b" was due at 1 ms
        EXPECT_TRUE(queue.wrote(step, step.count, 5 * MS));
        step = queue.next(5 * MS);
        EXPECT_EQ(step.what, SendStep::What::Wait);
        EXPECT_EQ(step.at, (from_written ? 105 : 101) * MS);
    }
}

TEST(SendQueue, UnpacedItemsLeaveWholeAndTheHangupWhenDue) {
    SendQueue queue(0);
    queue.push(item("abcd", 5 * MS));
    TxItem hangup;
    hangup.hangup = true;
    hangup.due = 7 * MS;
    queue.push(hangup);
    SendStep step = queue.next(5 * MS);
    EXPECT_EQ(step.count, 4u);
    EXPECT_TRUE(queue.wrote(step, 4, 5 * MS));
    EXPECT_EQ(queue.next(6 * MS).what, SendStep::What::Wait);
    EXPECT_EQ(queue.next(7 * MS).what, SendStep::What::Hangup);
}

TEST(SendQueue, DropsOnlyWhatHasNotBegunToLeave) {
    SendQueue queue(BYTE);
    TxItem begun = item("ab", 0), waiting = item("cd", 0), other = item("ef", 0);
    begun.sync = waiting.sync = true;
    queue.push(begun);
    queue.push(waiting);
    queue.push(other);
    SendStep step = queue.next(0);
    EXPECT_FALSE(queue.wrote(step, 1, 0));
    EXPECT_EQ(queue.drop_unsent(&TxItem::sync), 1u);
    step = queue.next(10 * MS);
    EXPECT_EQ(std::string(step.data, step.count), "b");
    queue.wrote(step, 1, 10 * MS);
    step = queue.next(20 * MS);
    EXPECT_EQ(std::string(step.data, step.count), "ef");
}

}  // namespace
