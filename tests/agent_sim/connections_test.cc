// The simulator's connection table without sockets: which connection gives way at the
// descriptor limit, one idle entry per connection, and the greetings it schedules.
#include "connections.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(ConnectionTable, TheOldestIdleWithoutUnreadInputGivesWayOnceOldEnough) {
  agent_sim::connection_table table(3, 200);  // room for three, spared 200 ms
  for (int id = 1; id <= 4; ++id) table.add(id, {}, (id - 1) * 10);
  std::set<int> unread;
  const auto has_unread = [&](int id) { return unread.count(id) > 0; };
  EXPECT_TRUE(table.over_capacity());
  EXPECT_EQ(-1, table.choose_to_give_way(150, 4, has_unread));  // all too young
  EXPECT_EQ(1, table.choose_to_give_way(200, 4, has_unread));   // never the new one, 4
  table.touch(1, 250);                                          // a frame: idle from then
  table.greeted(2, 250);                                        // a late greeting: young again
  EXPECT_EQ(3, table.choose_to_give_way(300, 4, has_unread));
  unread = {2, 3};  // bytes or a record waiting
  EXPECT_EQ(1, table.choose_to_give_way(450, 4, has_unread));
  table.mark_closed(1);  // ended: neither counted nor chosen
  EXPECT_FALSE(table.over_capacity());
  EXPECT_EQ(-1, table.choose_to_give_way(450, 4, has_unread));
  for (long long t = 500; t < 50500; ++t) table.touch(static_cast<int>(t % 4) + 1, t);
  EXPECT_EQ(4u, table.idle_entries());
  // Greetings come due in order, and leave with their connection.
  table.greet_at(1, 900);
  table.greet_at(2, 700);
  table.greet_at(3, 800);
  table.forget(3);
  EXPECT_EQ(200, table.ms_to_next_greeting(500, 1000));
  EXPECT_TRUE(table.take_due_greetings(699).empty());
  EXPECT_EQ(std::vector<int>({2, 1}), table.take_due_greetings(1000));
  EXPECT_EQ(3u, table.idle_entries());
  EXPECT_EQ(2u, table.open_count());
}

}  // namespace
