#include "platform/untObjects.h"

#include <algorithm>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

#include "platform/untSysUtils.h"

std::string TObject::ClassName() const {
  const char *mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void *)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  // Strip namespaces and template arguments: only the class's own name is wanted.
  if (auto lt = name.find('<'); lt != std::string::npos) name.erase(lt);
  if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

void TPersistent::Assign(const TPersistent *Source) {
  if (Source != nullptr) {
    Source->AssignTo(this);
    return;
  }
  AssignTo(this); // raises with the receiver's own name for a missing source
}

void TPersistent::AssignTo(TPersistent *Dest) const {
  const std::string from = (Dest == this) ? std::string("nil") : ClassName();
  throw EConvertError(Format("Cannot assign a %s to a %s", from, Dest->ClassName()));
}

TComponent::TComponent(TComponent *AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Tell everyone who asked that this component goes away, then drop the links both ways.
  while (!FFreeNotifies.empty()) {
    TComponent *other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    auto &theirs = other->FFreeNotifies;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, TOperation::opRemove);
  }
  DestroyComponents();
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent *child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;
    child->BeforeDestruction();
    delete child;
  }
}

TComponent *TComponent::FindComponent(const std::string &AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent *c : FComponents)
    if (SameText(c->Name(), AName)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent *AComponent) {
  if (AComponent->FOwner != nullptr) AComponent->FOwner->RemoveComponent(AComponent);
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent *AComponent) {
  auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (it == FComponents.end()) return;
  FComponents.erase(it);
  AComponent->FOwner = nullptr;
  if (!FDestroying) Notification(AComponent, TOperation::opRemove);
}

void TComponent::FreeNotification(TComponent *AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  auto &theirs = AComponent->FFreeNotifies;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent *AComponent) {
  if (AComponent == nullptr) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                      FFreeNotifies.end());
  auto &theirs = AComponent->FFreeNotifies;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent *AComponent, TOperation Operation) {
  // Owned components hear of each other's removal too, as on the platform.
  if (Operation == TOperation::opRemove && AComponent != nullptr && !FDestroying) {
    for (TComponent *c : FComponents)
      if (c != AComponent) c->Notification(AComponent, Operation);
  }
}
