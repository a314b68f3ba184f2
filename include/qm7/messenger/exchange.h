// The messenger's exchange with its agent, the middle of every run: open the channel manager
// and start its network thread, connect with a bounded number of attempts, wait for the
// agent's greeting, send the one record, wait for the answer, and take everything down again.
// Main thread only; runs between the job report and the end-of-run trace line.
#ifndef QM7_MESSENGER_EXCHANGE_H_
#define QM7_MESSENGER_EXCHANGE_H_

#include "qm7/messenger/context.h"

// Runs the exchange with the agent at pcx->ipAddr and pcx->portnri. Sets pcx->agentID when the
// agent greeted, and pcx->abnormal_end when the channel manager could not be started or no
// greeting came. Every wait is bounded: the look-up of the agent's host and the greeting by
// IoTimeOut (60 seconds when it is 0 or below), the answer by IoTimeOut (none when it is 0 or
// below); no close waits. A run whose record the agent did not answer (or, without an answer
// wait, whose record did not leave this host) writes one line on standard error (and the same
// line to the trace) naming the phase, the agent's address and port and the reason, foreign
// text made printable. Uses the globals ccm, ccmmsg and ccmID; ccm is null again on return.
// Returns 1 when the record counts as delivered, else 0.
int run_agent_exchange(PCX* pcx);

#endif  // QM7_MESSENGER_EXCHANGE_H_
