// The simulator's connection table without sockets: which connection gives way at the
// descriptor limit, the greetings it schedules, and an idle order that stays one entry per
// connection however many frames arrive.
#include "connections.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using agent_sim::connection;
using agent_sim::connection_table;

constexpr long long kMinAge = 200;

// Four connections accepted at 0, 10, 20 and 30 ms, in a table with room for three.
connection_table FourAccepted() {
  connection_table table(3, kMinAge);
  for (int id = 1; id <= 4; ++id) table.add(id, connection{}, (id - 1) * 10);
  return table;
}

TEST(ConnectionTable, TheOldestIdleWithoutUnreadInputGivesWayOnceOldEnough) {
  connection_table table = FourAccepted();
  ASSERT_TRUE(table.over_capacity());
  const auto none = [](int) { return false; };
  // Younger than the minimum age, none qualifies; the new connection (4) never does.
  EXPECT_EQ(-1, table.choose_to_give_way(150, 4, none));
  EXPECT_EQ(1, table.choose_to_give_way(200, 4, none));
  // A frame makes a connection the most recently idle; a late greeting makes it young again.
  table.touch(1, 250);
  table.greeted(2, 250);
  EXPECT_EQ(3, table.choose_to_give_way(300, 4, none));
  EXPECT_EQ(2, table.choose_to_give_way(450, 4, none));
  // Input waiting unread (bytes or a record) keeps a connection; an ended one does not count.
  std::set<int> unread = {2, 3};
  const auto has_unread = [&](int id) { return unread.count(id) > 0; };
  EXPECT_EQ(1, table.choose_to_give_way(450, 4, has_unread));
  table.mark_closed(1);
  EXPECT_FALSE(table.over_capacity());
  EXPECT_EQ(-1, table.choose_to_give_way(450, 4, has_unread));
  unread.erase(3);
  EXPECT_EQ(3, table.choose_to_give_way(450, 4, has_unread));
  table.forget(3);
  table.forget(1);
  EXPECT_EQ(2u, table.open_count());
  EXPECT_EQ(2u, table.idle_entries());
}

TEST(ConnectionTable, OneIdleEntryPerConnectionHoweverManyFrames) {
  connection_table table = FourAccepted();
  for (long long t = 100; t < 100100; ++t) table.touch(static_cast<int>(t % 4) + 1, t);
  EXPECT_EQ(4u, table.idle_entries());
  table.forget(2);
  EXPECT_EQ(3u, table.idle_entries());
  EXPECT_EQ(3u, table.open_count());
}

TEST(ConnectionTable, DelayedGreetingsComeDueInOrderAndLeaveWithTheirConnection) {
  connection_table table = FourAccepted();
  EXPECT_EQ(1000, table.ms_to_next_greeting(0, 1000));
  table.greet_at(1, 500);
  table.greet_at(2, 300);
  table.greet_at(3, 400);
  table.forget(3);
  EXPECT_EQ(200, table.ms_to_next_greeting(100, 1000));
  EXPECT_TRUE(table.take_due_greetings(299).empty());
  EXPECT_EQ(std::vector<int>({2, 1}), table.take_due_greetings(600));
  EXPECT_EQ(-1, table.find(1)->greet_due_ms);
  EXPECT_EQ(1000, table.ms_to_next_greeting(600, 1000));
}

}  // namespace
