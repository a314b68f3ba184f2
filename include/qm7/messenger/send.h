// The messenger's one message to its agent: take a pooled message, build the "MELD    " record
// that melder_type selects (records.h), address it to the agent's channel and the function
// "JPAKTJ_R", and hand it to the channel manager. Main thread only, with the channel manager
// open and its network thread running.
#ifndef QM7_MESSENGER_SEND_H_
#define QM7_MESSENGER_SEND_H_

#include "qm7/messenger/context.h"

// Name of the agent function the records are addressed to.
#define QM7_AGENT_FUNCTION "JPAKTJ_R"

// Each returns 0 when the message was handed to the channel manager (which then owns it), or
// -1 when nothing was sent: no message could be allocated, or (SendOutputViewMsg) output_file
// is empty. They use the global channel manager context `ccm` and pcx->agentID.
int SendJpMd(PCX* pcx);            // JP_EXMLDJ, a job event
int SendOutputViewMsg(PCX* pcx);   // JP_EXMLDO, an output file
int SendRegVariableMsg(PCX* pcx);  // JP_EXMLDV, a registered variable

#endif  // QM7_MESSENGER_SEND_H_
