// The connection table. Each connection has one entry in the idle order, moved on each frame, so
// its size follows the number of connections and never the number of frames they send.
#include "connections.h"

namespace agent_sim {

connection_table::connection_table(size_t capacity, long long min_age_ms)
    : capacity_(capacity), min_age_ms_(min_age_ms) {}

connection* connection_table::add(int id, const connection& c, long long now_ms) {
  forget(id);
  connection& entry = conns_[id] = c;
  entry.greeted_ms = now_ms;
  entry.idle_since_ms = now_ms;
  entry.greet_due_ms = -1;
  entry.closed = false;
  idle_order_.insert({now_ms, id});
  ++open_;
  return &entry;
}

connection* connection_table::find(int id) {
  auto it = conns_.find(id);
  return it == conns_.end() ? nullptr : &it->second;
}

void connection_table::forget(int id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  idle_order_.erase({it->second.idle_since_ms, id});
  if (it->second.greet_due_ms >= 0) greetings_due_.erase({it->second.greet_due_ms, id});
  if (!it->second.closed) --open_;
  conns_.erase(it);
}

void connection_table::touch(int id, long long now_ms) {
  connection* c = find(id);
  if (c == nullptr) return;
  idle_order_.erase({c->idle_since_ms, id});
  c->idle_since_ms = now_ms;
  idle_order_.insert({now_ms, id});
}

void connection_table::greeted(int id, long long now_ms) {
  if (connection* c = find(id)) c->greeted_ms = now_ms;
}

void connection_table::mark_closed(int id) {
  connection* c = find(id);
  if (c == nullptr || c->closed) return;
  c->closed = true;
  --open_;
}

int connection_table::choose_to_give_way(long long now_ms, int except,
                                         const std::function<bool(int id)>& has_unread) const {
  for (const auto& [idle_since, id] : idle_order_) {
    const connection& c = conns_.at(id);
    if (id == except || c.closed || now_ms - c.greeted_ms < min_age_ms_) continue;
    if (!has_unread(id)) return id;
  }
  return -1;
}

void connection_table::greet_at(int id, long long due_ms) {
  connection* c = find(id);
  if (c == nullptr) return;
  if (c->greet_due_ms >= 0) greetings_due_.erase({c->greet_due_ms, id});
  c->greet_due_ms = due_ms;
  greetings_due_.insert({due_ms, id});
}

std::vector<int> connection_table::take_due_greetings(long long now_ms) {
  std::vector<int> due;
  while (!greetings_due_.empty() && greetings_due_.begin()->first <= now_ms) {
    const int id = greetings_due_.begin()->second;
    greetings_due_.erase(greetings_due_.begin());
    conns_.at(id).greet_due_ms = -1;
    due.push_back(id);
  }
  return due;
}

int connection_table::take_first_waiting_for_room() {
  for (auto it = greetings_due_.begin(); it != greetings_due_.end(); ++it) {
    connection& c = conns_.at(it->second);
    if (!c.room_pending) continue;
    const int id = it->second;
    greetings_due_.erase(it);
    c.greet_due_ms = -1;
    c.room_pending = false;
    return id;
  }
  return -1;
}

int connection_table::ms_to_next_greeting(long long now_ms, int limit_ms) const {
  if (greetings_due_.empty()) return limit_ms;
  const long long left = greetings_due_.begin()->first - now_ms;
  return left <= 0 ? 0 : left >= limit_ms ? limit_ms : static_cast<int>(left);
}

}  // namespace agent_sim
