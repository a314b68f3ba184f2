// Shared helpers of the channel manager tests.
#include "ccm/ccm_test_util.h"

#include <mutex>

namespace qm7::test {
namespace {

std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_entries;
logger_function_t* g_previous = nullptr;

int capture_logger(int msgnr, const char* msginsert) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.emplace_back(msgnr, msginsert);
  return 0;
}

}  // namespace

LogCapture::LogCapture() {
  clear();
  g_previous = default_logger;
  __log_set_logger(capture_logger);
}

LogCapture::~LogCapture() { __log_set_logger(g_previous); }

std::vector<std::pair<int, std::string>> LogCapture::entries() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_entries;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.clear();
}

void merge_newq(ccm_context_t* ccm) {
  ccm_channel_lock(ccm);
  while (ccm_channel_t* ch = ccm_queue_pop(&ccm->channel_newq))
    ccm_queue_append(&ccm->channelq, ch);
  ccm_channel_unlock(ccm);
}

void CcmTest::SetUp() {
  ASSERT_EQ(ccm_open(&host_, &ccm_, &err_), 0);
  host_.ccm = ccm_;
}

void CcmTest::TearDown() {
  ccm_channel_closeall(ccm_);
  ccm_close(ccm_, &err_);
}

}  // namespace qm7::test
