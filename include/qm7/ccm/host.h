// The part of a host program's context record that the channel manager reads. A host's own
// context type derives from it, so the channel manager never depends on a host's headers.
#ifndef QM7_CCM_HOST_H_
#define QM7_CCM_HOST_H_

#include "qm7/runtime/trace.h"  // ccm_context_t

typedef struct ccm_host_context {
  int running_mode;  // 0 agent, 1 listener, 2 file transfer; any other value names no role
  void* ccm;         // the host's channel manager context, or null
} ccm_host_context_t;

// The host context recorded by the last ccm_open; null before. Written by ccm_open only.
extern ccm_host_context_t* ccm_pcx;

#endif  // QM7_CCM_HOST_H_
