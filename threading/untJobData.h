// The job data base, the text a job posts to a window, and the lock-protected lists that two
// threads share (a worker's job list, the manager's done list, a picture job's part threads).
#pragma once

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

  void Run();
  // Raises EAbort when the job was told to stop; data without a job is never stopped.
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

// A list guarded by its own lock. LockList returns the inner list for use until UnlockList; every
// other operation takes and releases the lock itself. An item already in the list is not added
// again. With OwnsObjects, an item removed from the list (or left in it when the list is destroyed)
// is freed.
class TSyncThreadList : public TObject {
public:
  TSyncThreadList() = default;
  explicit TSyncThreadList(bool OwnsObjects) : FOwnsObjects(OwnsObjects) {}
  ~TSyncThreadList() override;
  TSyncThreadList(const TSyncThreadList &) = delete;
  TSyncThreadList &operator=(const TSyncThreadList &) = delete;

  std::vector<TObject *> &LockList();
  void UnlockList();

  void Add(TObject *Item);
  // Removes Item (freeing it when the list owns its items); nothing happens for an unknown item.
  void Remove(TObject *Item);
  // Removes Item without freeing it, even from an owning list.
  TObject *Extract(TObject *Item);
  void Clear();
  int Count();
  bool OwnsObjects() const { return FOwnsObjects; }

private:
  std::recursive_mutex FLock;
  std::vector<TObject *> FList;
  const bool FOwnsObjects = false;
};

class TObjectThreadList : public TSyncThreadList {
public:
  TObjectThreadList() : TSyncThreadList(true) {}
};

// Holds a TSyncThreadList locked for the life of the guard.
class TThreadListLock {
public:
  explicit TThreadListLock(TSyncThreadList &List) : FList(List), Items(List.LockList()) {}
  ~TThreadListLock() { FList.UnlockList(); }
  TThreadListLock(const TThreadListLock &) = delete;
  TThreadListLock &operator=(const TThreadListLock &) = delete;

private:
  TSyncThreadList &FList;

public:
  std::vector<TObject *> &Items;
};
