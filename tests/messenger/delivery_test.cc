// The verdict on a record without an answer wait (TIMEOUT=0), in process, with the main thread
// held where the agent's close used to overturn it: right after the record was seen to have
// left, and between two looks while it was still on its way. In both the agent has read the
// record and closed, so the record counts as delivered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../../src/ccm/test_point.h"
#include "../../src/messenger/agent_channel.h"
#include "messenger/harness.h"
#include "qm7/ccm.h"
#include "qm7/messenger.h"

namespace {

using namespace qm7_test;

// The agent greets and reads, and closes only when the test ends it (its destructor closes its
// connections in order).
std::unique_ptr<raw_agent> g_agent;
const char* g_point = nullptr;
int g_holds = 0;
std::atomic<bool> g_main_held{false};

void MainThreadPoint(const char* point) {
  if (std::string(point) != g_point || g_holds++ > 0) return;
  g_main_held = true;  // lets the network thread go on (see NetworkThreadPoint)
  g_agent->Logs([](const std::vector<conn_log>& logs) {
    return !logs.empty() && logs[0].frames.size() == 1;
  });
  g_agent.reset();
  ccm_output_state_t out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ccm_channel_output(ccm, pcx->agentID, &out) == 0 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
}

// Holds the dispatch of the record until the main thread has looked at it once, so that the
// first look finds it on its way.
void NetworkThreadPoint(const char* point) {
  if (std::string(point) != "dispatch_found_head" || g_point != std::string("record_on_its_way")) {
    return;
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!g_main_held && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

int RunHeldAt(const char* point) {
  g_agent = std::make_unique<raw_agent>([](int) { return conn_mode::greet_only; });
  g_point = point;
  g_holds = 0;
  g_main_held = false;
  Argv argv({"TYP=S", "IPA=127.0.0.1", g_agent->Pnr(), "TIMEOUT=0", "RETRY=1"});
  pcx = &spcx;
  initialize_messenger(pcx);
  parse_arguments(pcx, argv.argc(), argv.argv());
  qm7::detail::testing::hook.store(MainThreadPoint);
  qm7::ccm::testing::hook.store(NetworkThreadPoint);
  const int delivered = run_agent_exchange(pcx);
  qm7::detail::testing::hook.store(nullptr);
  qm7::ccm::testing::hook.store(nullptr);
  g_agent.reset();
  EXPECT_EQ(g_holds, 1) << point;
  return delivered;
}

TEST(Delivery, AnAgentThatClosesRightAfterTheRecordDoesNotUndoItsDelivery) {
  // Seen drained, then the channel went: the verdict reached stands.
  EXPECT_EQ(RunHeldAt("record_left"), 1);
  // Seen on its way, then the agent read it and the channel went: the close notice says the
  // output had drained.
  EXPECT_EQ(RunHeldAt("record_on_its_way"), 1);
}

}  // namespace
