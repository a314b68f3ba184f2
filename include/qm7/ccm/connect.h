// Connecting and listening: the operations that open sockets and enter them into the channel
// table, and the small socket settings they share with the accept path of the network thread.
// Every socket made here is close-on-exec. All run in the calling thread.
#ifndef QM7_CCM_CONNECT_H_
#define QM7_CCM_CONNECT_H_

#include "qm7/ccm/channel.h"
#include "qm7/ccm/error.h"

// Starts a non-blocking TCP connection to `host` (name or address, at most 127 characters) and
// `port`, as a channel of `type` on channel_newq with CCM_FLAG_CONNECTING; wakes the network
// thread. `cuc` (may be null) belongs to the channel once the entry exists. Returns the channel
// ID, or -1: an unresolvable host makes no channel and uses no ID; a later failure destroys the
// channel, which posts its CHANNEL_CLOSE notice. The network thread ends the channel as a failed
// connection (2002036, "110(Connection timed out)") when the connect has not completed within
// `connwait` seconds (no bound when 0 or less), and as refused ("111(Connection refused)") when
// it reached the channel's own socket, as a connect to a free port of the ephemeral range can.
int ccm_connect(ccm_context_t* ccm, const char* host, int port, int type,
                ccm_connect_user_context_t* cuc, int connwait, ccm_error_t* ccmerr);

// Opens a non-blocking listening socket on `pbind_addr` ("*LOCAL": "::1" with CCM_CTX_IPV6, else
// "127.0.0.1"; empty: every local address) and `port`, with backlog `listen_count`, as the
// channel "*LISTEN" of type 1 on channel_newq. Does not wake the network thread. Returns 0 or -1.
int ccm_create_listen(ccm_context_t* ccm, const char* pbind_addr, int port, int listen_count,
                      ccm_error_t* ccmerr);

// Non-blocking mode for the channel's socket (FIONBIO). 0, or -1 with 2000102.
int ccm_set_nonblocking(ccm_context_t* ccm, ccm_channel_t* ccmch, ccm_error_t* ccmerr);

// SO_LINGER with `onoff` and `ptime` seconds on the channel's socket. 0, or -1 with 2000102.
int ccm_set_linger(ccm_context_t* ccm, ccm_channel_t* ccmch, int onoff, int ptime,
                   ccm_error_t* ccmerr);

// 1 when a live channel of type 6 to `host` and `port` exists (channelq and channel_newq), 0 if
// not, -1 when `host` does not resolve.
int ccm_is_cp_connecting(ccm_context_t* ccm, const char* host, int port, ccm_error_t* ccmerr);

// Two channels over a connected local socket pair, both non-blocking, chained first then second.
// Returns 0 with *pch1 and *pch2 set, or -1 having chained nothing and released what it made.
int ccm_channel_create_pair(ccm_context_t* ccm, ccm_channel_t** pch1, ccm_channel_t** pch2,
                            ccm_error_t* ccmerr);

#endif  // QM7_CCM_CONNECT_H_
