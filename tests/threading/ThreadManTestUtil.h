// Helpers for the thread manager tests.
#pragma once

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/untApplication.h"
#include "tests/common/TestUtil.h"
#include "threading/untThreadMan.h"

namespace thmtest {

inline bool OnMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// A gate a worker-side event can wait at until the test opens it.
class TGate {
public:
  void Open() {
    std::lock_guard<std::mutex> g(FLock);
    FOpen = true;
    FCond.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> l(FLock);
    FCond.wait(l, [this] { return FOpen; });
  }

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FOpen = false;
};

// Pretends to run on a machine with the given processors, captures message boxes and restores
// everything afterwards.
class ThreadManTest : public ::testing::Test {
protected:
  void FakeProcessors(DWORD Count, DWORD Mask) {
    TThreadMan::SetSystemInfoFunctionForTests([Count, Mask](SYSTEM_INFO *Info) {
      *Info = SYSTEM_INFO{};
      Info->dwNumberOfProcessors = Count;
      Info->dwActiveProcessorMask = Mask;
    });
    // The fake processors may not exist here: record what would be applied instead.
    TThreadMan::SetAffinityFunctionsForTests(
        [this](TThreadManThread *Thread, DWORD_PTR Mask) -> DWORD_PTR {
          std::lock_guard<std::mutex> g(FAffinityLock);
          Masks.emplace_back(Thread, Mask);
          return 1;
        },
        [this](TThreadManThread *Thread, DWORD Ideal) -> DWORD {
          std::lock_guard<std::mutex> g(FAffinityLock);
          if (Ideal != MAXIMUM_PROCESSORS) Ideals.emplace_back(Thread, Ideal);
          return MAXIMUM_PROCESSORS;
        });
  }
  void SetUp() override {
    FOldBox = SetMessageBoxFunction([this](const std::string &Text, const std::string &, UINT Flags) {
      Boxes.push_back(Text);
      BoxFlags.push_back(Flags);
      return IDOK;
    });
  }
  void TearDown() override {
    TThreadMan::SetSystemInfoFunctionForTests({});
    TThreadMan::SetAffinityFunctionsForTests({}, {});
    SetMessageBoxFunction(FOldBox);
  }

  std::unique_ptr<TThreadMan> MakeManager(std::uint16_t Threads) {
    auto man = std::make_unique<TThreadMan>();
    man->SetThreadCount(Threads);
    man->SetThreadCountMode(tcmManual);
    EXPECT_EQ(man->Threads().Count(), Threads);
    return man;
  }

  std::vector<std::string> Boxes;
  std::vector<UINT> BoxFlags;
  std::vector<std::pair<TThreadManThread *, DWORD_PTR>> Masks;
  std::vector<std::pair<TThreadManThread *, DWORD>> Ideals;

private:
  TMessageBoxFunction FOldBox;
  std::mutex FAffinityLock;
};

} // namespace thmtest
