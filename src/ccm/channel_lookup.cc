// Finding channels: by ID, by name and by the partner's ID. A lookup that succeeds returns with
// the context's channel_lock held, so the channel cannot vanish while the caller uses it; the
// derived operations (exist, get_ip, delete) release it before they return.
#include <cstring>

#include "qm7/ccm/channel.h"
#include "qm7/ccm/context.h"
#include "qm7/ccm/flag.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

template <typename Pred>
ccm_channel_t* find_live(ccm_channel_queue_t* q, Pred matches) {
  for (ccm_channel_t* ch = q->head; ch != nullptr; ch = ch->nxt) {
    if (!ccm_flag_test(&ch->flag, CCM_FLAG_DELETED) && matches(ch)) return ch;
  }
  return nullptr;
}

// Runs a lookup over channelq and, when `with_newq`, channel_newq. Keeps channel_lock on success.
template <typename Pred>
ccm_channel_t* lookup(ccm_context_t* ccm, bool with_newq, Pred matches) {
  ccm_channel_lock(ccm);
  ccm_channel_t* ch = find_live(&ccm->channelq, matches);
  if (ch == nullptr && with_newq) ch = find_live(&ccm->channel_newq, matches);
  if (ch == nullptr) ccm_channel_unlock(ccm);
  return ch;
}

bool name_equals(const ccm_channel_t* ch, const char* name) {
  return strncmp(ch->name, name, sizeof(ch->name)) == 0 && strlen(name) < sizeof(ch->name);
}

}  // namespace

ccm_channel_t* ccm_channel_getbyID(ccm_context_t* ccm, int ID) {
  QM7_TRACE("%s(searchID=%d) -->", __func__, ID);
  ccm_channel_t* ch = lookup(ccm, true, [ID](const ccm_channel_t* c) { return c->ID == ID; });
  QM7_TRACE("%s <-- (channel=%p)", __func__, static_cast<void*>(ch));
  return ch;
}

ccm_channel_t* ccm_channel_getbyRemoteID(ccm_context_t* ccm, int ID) {
  QM7_TRACE("%s(remoteID=%d) -->", __func__, ID);
  ccm_channel_t* ch =
      lookup(ccm, false, [ID](const ccm_channel_t* c) { return c->remoteID == ID; });
  QM7_TRACE("%s <-- (channel=%p)", __func__, static_cast<void*>(ch));
  return ch;
}

ccm_channel_t* ccm_channel_getbyName(ccm_context_t* ccm, const char* name) {
  if (name == nullptr) name = "";
  QM7_TRACE("%s(name=%s) -->", __func__, name);
  ccm_channel_t* ch =
      lookup(ccm, true, [name](const ccm_channel_t* c) { return name_equals(c, name); });
  QM7_TRACE("%s <-- (channel=%p)", __func__, static_cast<void*>(ch));
  return ch;
}

int ccm_channel_existbyID(ccm_context_t* ccm, int ID) {
  QM7_TRACE("%s(ID=%d) -->", __func__, ID);
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, ID);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (AGENT[ID=%i] does NOT exists)", __func__, ID);
    return 0;
  }
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (AGENT[ID=%i] EXISTS)", __func__, ID);
  return 1;
}

int ccm_channel_existbyName(ccm_context_t* ccm, const char* name) {
  if (name == nullptr) name = "";
  QM7_TRACE("%s(name=%s) -->", __func__, name);
  ccm_channel_t* ch = ccm_channel_getbyName(ccm, name);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (AGENT[name=%s] does NOT exists)", __func__, name);
    return 0;
  }
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (AGENT[name=%s] EXISTS)", __func__, name);
  return 1;
}

int ccm_channel_get_ip(ccm_context_t* ccm, int ID, const char* name, char* ip,
                       ccm_error_t* /*ccmerr*/) {
  QM7_TRACE("%s(ID=%d) -->", __func__, ID);
  ccm_channel_t* ch = ID >= 1 ? ccm_channel_getbyID(ccm, ID) : nullptr;
  if (ch == nullptr && name != nullptr) ch = ccm_channel_getbyName(ccm, name);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (channel not found, ID=%d, name=%s)", __func__, ID, name ? name : "");
    return -1;
  }
  char addr[sizeof(ch->addr) + 1] = {};
  memcpy(addr, ch->addr, sizeof(ch->addr));
  ccm_channel_unlock(ccm);
  StringCopy(ip, static_cast<int>(sizeof(ch->addr)), addr);
  QM7_TRACE("%s <-- (ip=%s)", __func__, ip);
  return 0;
}

int ccm_channel_deletebyID(ccm_context_t* ccm, int ID) {
  QM7_TRACE("%s(ID=%d) -->", __func__, ID);
  ccm_channel_t* ch = ccm_channel_getbyID(ccm, ID);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (channel not found, ID=%d, name=%s)", __func__, ID, "");
    return 0;
  }
  ccm_channel_delete(ccm, ch);
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (channel=%p deleted)", __func__, static_cast<void*>(ch));
  return 0;
}

int ccm_channel_deletebyName(ccm_context_t* ccm, const char* name) {
  if (name == nullptr) name = "";
  QM7_TRACE("%s(name=%s) -->", __func__, name);
  ccm_channel_t* ch = ccm_channel_getbyName(ccm, name);
  if (ch == nullptr) {
    QM7_TRACE("%s <-- (channel=%p)", __func__, static_cast<void*>(ch));
    return 0;
  }
  ccm_channel_delete(ccm, ch);
  ccm_channel_unlock(ccm);
  QM7_TRACE("%s <-- (channel=%p deleted)", __func__, static_cast<void*>(ch));
  return 0;
}
