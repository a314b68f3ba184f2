// Formatting of the short and long channel descriptions used in trace lines.
#include "channel_text.h"

#include <cstdio>

#include "qm7/ccm/flag.h"

namespace qm7::ccm {

ChannelText channel_short(const ccm_channel_t* ch) {
  ChannelText t;
  snprintf(t.text, sizeof(t.text), "channel(%p,s=%d/chID=%d,%.64s,flag=%.8X)",
           static_cast<const void*>(ch), ch->s, ch->ID, ch->name,
           static_cast<unsigned>(ccm_flag_get(&ch->flag)));
  return t;
}

ChannelText channel_long(const ccm_channel_t* ch) {
  ChannelText t;
  int flag = ccm_flag_get(&ch->flag);
  snprintf(t.text, sizeof(t.text),
           "channel(name=%-20.64s,chID=%d,s=%d,type=%.8X,flag=%.8X,%s,host=%.128s(%.64s),port=%d,"
           "sendq=%p)",
           ch->name, ch->ID, ch->s, static_cast<unsigned>(ch->type), static_cast<unsigned>(flag),
           (flag & CCM_FLAG_DELETED) ? "deleted" : "active", ch->host, ch->addr, ch->port,
           static_cast<void*>(ch->sendq.head));
  return t;
}

}  // namespace qm7::ccm
