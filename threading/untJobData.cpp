#include "threading/untJobData.h"

#include <algorithm>

void TJobData::Run() {
  BeforeExecute();
  Execute();
  AfterExecute();
}

TSyncThreadList::~TSyncThreadList() { Clear(); }

std::vector<TObject *> &TSyncThreadList::LockList() {
  FLock.lock();
  return FList;
}

void TSyncThreadList::UnlockList() { FLock.unlock(); }

void TSyncThreadList::Add(TObject *Item) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (std::find(FList.begin(), FList.end(), Item) == FList.end()) FList.push_back(Item);
}

void TSyncThreadList::Remove(TObject *Item) {
  TObject *removed = Extract(Item);
  if (FOwnsObjects) delete removed; // freed outside the lock: a destructor may use other lists
}

TObject *TSyncThreadList::Extract(TObject *Item) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  auto it = std::find(FList.begin(), FList.end(), Item);
  if (it == FList.end()) return nullptr;
  FList.erase(it);
  return Item;
}

void TSyncThreadList::Clear() {
  std::vector<TObject *> items;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    items.swap(FList);
  }
  if (FOwnsObjects)
    for (TObject *item : items) delete item;
}

int TSyncThreadList::Count() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int>(FList.size());
}
