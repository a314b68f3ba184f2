// The simulator's connection table: what it knows of each open connection (its peer, its fault,
// its delayed greeting, when it was greeted and last sent a frame, what it sent), how many fit
// under the descriptor limit, and which one gives way when a new one does not fit. It makes no
// call of the channel manager: whether a connection has unread input is asked of the caller, so
// the table is tested without sockets. Processor thread only.
#ifndef QM7_AGENT_SIM_CONNECTIONS_H_
#define QM7_AGENT_SIM_CONNECTIONS_H_

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "report_line.h"

namespace agent_sim {

struct connection {
  peer_info peer;
  bool faulty = false;          // the fault mode applies to this connection
  long long greeted_ms = 0;     // its accept, then its greeting: its age counts from there
  long long idle_since_ms = 0;  // its accept or its last frame
  long long greet_due_ms = -1;  // a delayed greeting is due then; -1: none pending
  bool closed = false;          // ended, its close notice still to come
  int bad_frames = 0;           // frames it sent that are no report
  bool room_pending = false;    // not greeted for want of room: looked at again when greet_due
};

class connection_table {
 public:
  // `capacity`: connections that fit under the descriptor limit. `min_age_ms`: how long after
  // its accept or greeting a connection is spared, so that a messenger has time to send its
  // record.
  connection_table(size_t capacity, long long min_age_ms);

  // Adds connection `id` accepted at `now_ms` (replacing any entry of that ID). Returns it.
  connection* add(int id, const connection& c, long long now_ms);
  // The connection `id`, or null.
  connection* find(int id);
  // Drops connection `id` and every entry that names it; unknown IDs are ignored.
  void forget(int id);

  // A frame of connection `id` arrived at `now_ms`: it is idle from then.
  void touch(int id, long long now_ms);
  // Connection `id` was greeted at `now_ms`: its age starts again, as its messenger's record
  // follows the greeting, not the accept.
  void greeted(int id, long long now_ms);
  // Connection `id` has ended, its close notice is still to come: it no longer counts against
  // the capacity and is never chosen to give way. Unknown IDs are ignored.
  void mark_closed(int id);

  // Connections not marked closed, and whether they are more than fit.
  size_t open_count() const { return open_; }
  bool over_capacity() const { return open_ > capacity_; }

  // The connection that gives way to a new one at `now_ms`: the one idle longest that is not
  // `except`, is not closed, was greeted at least min_age_ms ago and has no input waiting unread,
  // neither bytes nor a record (`has_unread`, asked only of connections that pass the other
  // tests). -1 when none qualifies.
  int choose_to_give_way(long long now_ms, int except,
                         const std::function<bool(int id)>& has_unread) const;

  // Schedules connection `id`'s greeting for `due_ms`.
  void greet_at(int id, long long due_ms);
  // The connections whose greeting is due by `now_ms`, taken off the schedule.
  std::vector<int> take_due_greetings(long long now_ms);
  // The connection waiting longest for room (room_pending), taken off the schedule and no longer
  // waiting; -1 when none waits.
  int take_first_waiting_for_room();
  // Milliseconds from `now_ms` until the next greeting is due, at most `limit_ms`.
  int ms_to_next_greeting(long long now_ms, int limit_ms) const;

  // Entries of the idle order; one per connection, however many frames each sent.
  size_t idle_entries() const { return idle_order_.size(); }

 private:
  const size_t capacity_;
  const long long min_age_ms_;
  std::map<int, connection> conns_;
  size_t open_ = 0;                                    // conns_ not marked closed
  std::set<std::pair<long long, int>> idle_order_;     // (idle_since_ms, id), oldest first
  std::set<std::pair<long long, int>> greetings_due_;  // (greet_due_ms, id), soonest first
};

}  // namespace agent_sim

#endif  // QM7_AGENT_SIM_CONNECTIONS_H_
