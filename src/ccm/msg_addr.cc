// Addressing of a message: destination, sender and the reply address taken from a received
// message. Each fills 64-byte text fields of ccm_addr_t; a longer text is cut to 63 characters
// and terminated, never written past its field. Only the message's owner calls them.
#include <cstring>

#include "qm7/ccm/msg.h"
#include "qm7/runtime/text.h"
#include "qm7/runtime/trace.h"

namespace {

constexpr char kAddrEyec[] = "#CCMADDR";
static_assert(sizeof(kAddrEyec) == 9);

template <size_t N>
void copy_field(char (&field)[N], const char* text) {
  StringCopy(field, static_cast<int>(N), text != nullptr ? text : "");
}

}  // namespace

ccm_addr_t* ccm_setaddr(ccm_msg_t* ccmmsg, int ID, int /*reply_ID*/, const char* addr,
                        const char* name, int acv) {
  QM7_TRACE("%s(ID=%d,addr=%s,name=%s,acv=%.8X) -->", __func__, ID, addr ? addr : "",
            name ? name : "", static_cast<unsigned>(acv));
  ccm_addr_t* a = &ccmmsg->addr;
  memcpy(a->eyec, kAddrEyec, sizeof(a->eyec));
  a->dst_ID = ID;
  a->dst_acv = acv;
  copy_field(a->dst_addr, addr);
  copy_field(a->dst_name, name);
  QM7_TRACE("%s <-- (ccma=%p)", __func__, static_cast<void*>(a));
  return a;
}

ccm_addr_t* ccm_setback(ccm_msg_t* ccmmsg, const char* addr, const char* name, int acv) {
  QM7_TRACE("%s(addr=%s,name=%s,acv=%.8X) -->", __func__, addr ? addr : "", name ? name : "",
            static_cast<unsigned>(acv));
  ccm_addr_t* a = &ccmmsg->addr;
  memcpy(a->eyec, kAddrEyec, sizeof(a->eyec));
  a->src_acv = acv;
  copy_field(a->src_addr, addr);
  copy_field(a->src_name, name);
  QM7_TRACE("%s <-- (ccma=%p)", __func__, static_cast<void*>(a));
  return a;
}

ccm_addr_t* ccm_setaddr_reply(ccm_msg_t* ccmd, ccm_msg_t* ccms) {
  // The received fields may lack a terminator, so the trace reads no further than a field.
  QM7_TRACE("%s(ID=%d,addr=%.*s,name=%.*s,acv=%.8X) -->", __func__, ccms->addr.src_ID,
            static_cast<int>(sizeof(ccms->addr.src_addr)), ccms->addr.src_addr,
            static_cast<int>(sizeof(ccms->addr.src_name)), ccms->addr.src_name,
            static_cast<unsigned>(ccms->addr.src_acv));
  ccm_addr_t* a = &ccmd->addr;
  const ccm_addr_t& from = ccms->addr;
  memcpy(a->eyec, kAddrEyec, sizeof(a->eyec));
  a->dst_ID = from.src_ID;
  a->dst_acv = from.src_acv;
  // Copy bounded for the same reason.
  char text[sizeof(from.src_addr) + 1];
  memcpy(text, from.src_addr, sizeof(from.src_addr));
  text[sizeof(from.src_addr)] = '\0';
  copy_field(a->dst_addr, text);
  memcpy(text, from.src_name, sizeof(from.src_name));
  text[sizeof(from.src_name)] = '\0';
  copy_field(a->dst_name, text);
  QM7_TRACE("%s <-- (ccma=%p)", __func__, static_cast<void*>(a));
  return a;
}
