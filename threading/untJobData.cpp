#include "threading/untJobData.h"

#include <algorithm>

void TJobData::Run() {
  BeforeExecute();
  Execute();
  AfterExecute();
}

std::vector<TObject *> &TCustomThreadList::LockList() {
  FLock.lock();
  return FList;
}

void TCustomThreadList::UnlockList() { FLock.unlock(); }

int TCustomThreadList::Count() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int>(FList.size());
}

void TCustomThreadList::AddItem(TObject *Item) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (std::find(FList.begin(), FList.end(), Item) == FList.end()) FList.push_back(Item);
}

TObject *TCustomThreadList::ExtractItem(TObject *Item) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  auto it = std::find(FList.begin(), FList.end(), Item);
  if (it == FList.end()) return nullptr;
  FList.erase(it);
  return Item;
}

TObject *TCustomThreadList::ExtractFirstItem() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (FList.empty()) return nullptr;
  TObject *item = FList.front();
  FList.erase(FList.begin());
  return item;
}

std::vector<TObject *> TCustomThreadList::ExtractAll() {
  std::vector<TObject *> items;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  items.swap(FList);
  return items;
}

void TObjectThreadList::Add(std::unique_ptr<TObject> Item) {
  // The list holds each object once; a second hand-over of the same object (which would mean two
  // owners) keeps the entry it has.
  AddItem(Item.release());
}

void TObjectThreadList::Clear() {
  for (TObject *item : ExtractAll()) delete item;
}
