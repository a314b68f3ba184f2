// The queues of the channel manager: a pair of pointers to the first and the last record,
// linked through the record's own `nxt` field. A record is on at most one queue at a time.
// The helpers take no lock; the caller holds the lock that guards the queue.
#ifndef QM7_CCM_QUEUE_H_
#define QM7_CCM_QUEUE_H_

typedef struct ccm_channel ccm_channel_t;
typedef struct ccm_msg ccm_msg_t;

typedef struct ccm_channel_queue {
  ccm_channel_t* head;
  ccm_channel_t* tail;
} ccm_channel_queue_t;

typedef struct ccm_msg_queue {
  ccm_msg_t* head;
  ccm_msg_t* tail;
} ccm_msg_queue_t;

// Appends `rec` at the tail and clears its link.
template <typename Q, typename T>
inline void ccm_queue_append(Q* q, T* rec) {
  rec->nxt = nullptr;
  if (q->tail != nullptr) {
    q->tail->nxt = rec;
  } else {
    q->head = rec;
  }
  q->tail = rec;
}

// Puts `rec` in front of the head.
template <typename Q, typename T>
inline void ccm_queue_push_front(Q* q, T* rec) {
  rec->nxt = q->head;
  q->head = rec;
  if (q->tail == nullptr) q->tail = rec;
}

// Takes the head off the queue and returns it with its link cleared; null when empty.
template <typename Q>
inline auto ccm_queue_pop(Q* q) -> decltype(q->head) {
  auto rec = q->head;
  if (rec == nullptr) return nullptr;
  q->head = rec->nxt;
  if (q->head == nullptr) q->tail = nullptr;
  rec->nxt = nullptr;
  return rec;
}

// Unlinks `rec` when it is on the queue (keeping the tail right) and clears its link.
// Returns true when it was found there. Walks the queue: O(length).
template <typename Q, typename T>
inline bool ccm_queue_unlink(Q* q, T* rec) {
  T* prev = nullptr;
  for (T* cur = q->head; cur != nullptr; prev = cur, cur = cur->nxt) {
    if (cur != rec) continue;
    if (prev != nullptr) {
      prev->nxt = cur->nxt;
    } else {
      q->head = cur->nxt;
    }
    if (q->tail == cur) q->tail = prev;
    cur->nxt = nullptr;
    return true;
  }
  return false;
}

// Detaches the whole queue: returns its head and leaves the queue empty.
template <typename Q>
inline auto ccm_queue_take_all(Q* q) -> decltype(q->head) {
  auto head = q->head;
  q->head = nullptr;
  q->tail = nullptr;
  return head;
}

// Number of records on the queue.
template <typename Q>
inline int ccm_queue_count(const Q* q) {
  int n = 0;
  for (auto rec = q->head; rec != nullptr; rec = rec->nxt) ++n;
  return n;
}

#endif  // QM7_CCM_QUEUE_H_
