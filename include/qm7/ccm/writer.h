// The writer of the channel manager: the one place where bytes are put on a channel's socket.
#ifndef QM7_CCM_WRITER_H_
#define QM7_CCM_WRITER_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"

// Largest amount offered to one send call, so that one large message does not hold the thread
// for long; large enough that a message of 100 000 bytes takes one call where the socket has room
// (pieces of 32 768 bytes took four calls and as many select passes).
enum : size_t { CCM_SEND_CHUNK = 262144 };

// Writes the messages of the channel's sendq in order, as far as the socket takes them without
// blocking: one send call offers at most CCM_SEND_CHUNK bytes, from the head message on and
// through up to 64 whole messages behind it. A message with control data (passed descriptors)
// is sent on its own, its control data attached to every send call of it. A
// message written whole is taken off the queue and freed; a partly written one keeps its place
// and `pos`. A message whose `pos` lies outside 0 to `len` is dumped as "invalid CCMMSG" and
// dropped unsent. Sends never raise SIGPIPE. Returns 0 (queue written, socket full, or queue
// empty), or -1 when a send failed: the channel then carries 2002002 "%d(%s)|%s(%d/ID=%d)|" and
// is deleted; its unwritten messages go with it. `ccmerr` is not touched. Network thread only.
int ccm_write_channel(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

#endif  // QM7_CCM_WRITER_H_
