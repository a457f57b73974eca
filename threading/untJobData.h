// The job data base, the text a job posts to a window, and the lock-protected lists that two
// threads share (a worker's job list, the manager's done list, a picture job's part threads).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

class TThreadManJob; // threading/untThreadMan.h

// The work of a job. Run executes BeforeExecute, Execute and AfterExecute on the calling thread
// (a worker of the thread manager). The data has no lock of its own.
class TJobData : public TObject {
public:
  TThreadManJob *Job = nullptr; // the job that runs this data; not owned
  // A stop request of data run without a job (a series' measurement on its own threads): when
  // set, CheckTerminated also stops once it is true. Not owned; it outlives the run.
  const std::atomic<bool> *StopFlag = nullptr;

  void Run();
  // Raises EAbort when the job was told to stop or StopFlag is set; data with neither is never
  // stopped.
  // Defined with TThreadManJob (threading/untThreadMan.cpp), which holds the flag.
  void CheckTerminated();

  virtual void BeforeExecute() {}
  virtual void Execute() {}
  virtual void AfterExecute() {}
};

// A text posted from a worker as the payload of a window message (PostMessage with a payload).
// Once posted it belongs to the message: the receiver takes it with TakePayload, a message dropped
// undelivered frees it; when posting fails the sender keeps it.
class TJobInfoText : public TObject {
public:
  explicit TJobInfoText(std::string AText) : FText(std::move(AText)) {}
  const std::string &Text() const { return FText; }

private:
  const std::string FText;
};

// The lock and the inner list that the two lock-protected lists share. LockList returns the inner
// list for use until UnlockList (the lock is recursive); every other operation takes and releases
// the lock itself. An item already in the list is not added again.
class TCustomThreadList : public TObject {
public:
  TCustomThreadList() = default;
  TCustomThreadList(const TCustomThreadList &) = delete;
  TCustomThreadList &operator=(const TCustomThreadList &) = delete;

  std::vector<TObject *> &LockList();
  void UnlockList();
  int Count();

protected:
  void AddItem(TObject *Item);
  // Takes Item out; nullptr (and nothing happens) for an item that is not in the list.
  TObject *ExtractItem(TObject *Item);
  // Takes the oldest item out; nullptr when the list is empty.
  TObject *ExtractFirstItem();
  std::vector<TObject *> ExtractAll();

private:
  std::recursive_mutex FLock;
  std::vector<TObject *> FList;
};

// A lock-protected list that owns nothing: removing an item, clearing or destroying the list
// leaves the items alone.
class TSyncThreadList : public TCustomThreadList {
public:
  void Add(TObject *Item) { AddItem(Item); }
  // Removes Item; nothing happens for an unknown item.
  void Remove(TObject *Item) { ExtractItem(Item); }
  // Removes Item and returns it; nullptr for an unknown item.
  TObject *Extract(TObject *Item) { return ExtractItem(Item); }
  void Clear() { ExtractAll(); }
};

// A lock-protected list that owns its items: an item removed from it, or left in it when the list
// is cleared or destroyed, is freed. Items are freed outside the lock (a destructor may use other
// lists).
class TObjectThreadList : public TCustomThreadList {
public:
  ~TObjectThreadList() override { Clear(); }

  void Add(std::unique_ptr<TObject> Item);
  // Removes and frees Item; nothing happens for an unknown item.
  void Remove(TObject *Item) { delete ExtractItem(Item); }
  // Removes Item and hands it back; nullptr for an unknown item.
  std::unique_ptr<TObject> Extract(TObject *Item) { return std::unique_ptr<TObject>(ExtractItem(Item)); }
  // Removes the oldest item and hands it back; nullptr when the list is empty.
  std::unique_ptr<TObject> ExtractFirst() { return std::unique_ptr<TObject>(ExtractFirstItem()); }
  void Clear();
};

// Holds a lock-protected list locked for the life of the guard.
class TThreadListLock {
public:
  explicit TThreadListLock(TCustomThreadList &List) : FList(List), Items(List.LockList()) {}
  ~TThreadListLock() { FList.UnlockList(); }
  TThreadListLock(const TThreadListLock &) = delete;
  TThreadListLock &operator=(const TThreadListLock &) = delete;

private:
  TCustomThreadList &FList;

public:
  std::vector<TObject *> &Items;
};
