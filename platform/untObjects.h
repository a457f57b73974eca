// The object model every unit builds on: TObject (type name, virtual destructor), TPersistent
// (Assign) and TComponent (Name, Owner, owned components and the removal notification).
#pragma once

#include <string>
#include <vector>

class TObject {
public:
  TObject() = default;
  TObject(const TObject &) = default;
  TObject &operator=(const TObject &) = default;
  virtual ~TObject() = default;

  // The class name of the most derived type, without namespaces ("TBitmap24").
  std::string ClassName() const;

  // Run after the constructor of the most derived class and before the destructor starts.
  // Classes whose set-up needs the complete object override these; creators call them through
  // the helpers below.
  virtual void AfterConstruction() {}
  virtual void BeforeDestruction() {}
};

class TPersistent : public TObject {
public:
  // Copies the content of Source; the base raises EConvertError ("Cannot assign a X to a Y").
  virtual void Assign(const TPersistent *Source);

protected:
  virtual void AssignTo(TPersistent *Dest) const;
};

enum class TOperation { opInsert, opRemove };

// A component owns the components created with it as owner and destroys them, last created first,
// when it is destroyed. Components that hold pointers to others ask for FreeNotification so that
// they hear of the other's destruction through Notification(…, opRemove) and can forget it.
// Components are not thread-safe: they are made, used and destroyed on one thread.
class TComponent : public TPersistent {
public:
  explicit TComponent(TComponent *AOwner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent &) = delete;
  TComponent &operator=(const TComponent &) = delete;

  TComponent *Owner() const { return FOwner; }
  const std::string &Name() const { return FName; }
  void SetName(const std::string &Value) { FName = Value; }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent *Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
  TComponent *FindComponent(const std::string &AName) const;

  void InsertComponent(TComponent *AComponent);
  void RemoveComponent(TComponent *AComponent);

  // Ask to be told (Notification with opRemove) when AComponent is destroyed; the link works both
  // ways, so either side's destruction is heard by the other.
  void FreeNotification(TComponent *AComponent);
  void RemoveFreeNotification(TComponent *AComponent);

  bool Destroying() const { return FDestroying; }

protected:
  virtual void Notification(TComponent *AComponent, TOperation Operation);

private:
  void DestroyComponents();

  TComponent *FOwner = nullptr;
  std::string FName;
  std::vector<TComponent *> FComponents;        // owned
  std::vector<TComponent *> FFreeNotifies;      // not owned
  bool FDestroying = false;
};

// Creates an object and runs its AfterConstruction, as the platform's constructors do.
template <class T, class... A> T *CreateComponent(A &&...args) {
  T *obj = new T(std::forward<A>(args)...);
  obj->AfterConstruction();
  return obj;
}
