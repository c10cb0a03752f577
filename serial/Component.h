// Small toolkit layer shared by the serial component and the worker: an
// owned-component base, the exception base classes, thread priorities and
// method references ("events") that compare by routine.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// Base of every exception the system raises on purpose.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

// The silent abort: an exception that the application's default handler
// does not show (raised when an OnError handler chooses caAbort).
class EAbort : public Exception {
public:
  EAbort() : Exception("Operation aborted") {}
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The application's services for threads that components run on their own
// (the serial port's event monitor). The application gives them once, at
// start-up; a component never includes a windowing toolkit.
struct TApplicationServices {
  // Runs method on the main thread and returns once it has run there; an
  // exception raised by method is raised again in the caller.
  std::function<void(const std::function<void()>& method)> Synchronize;
  // The application-wide handler of exceptions that no caller catches
  // (the toolkit shows them; EAbort is never shown).
  std::function<void(std::exception_ptr error)> HandleException;
};
void SetApplicationServices(TApplicationServices services);
// Without a Synchronize of the application's, the calling thread stands in
// for the main thread and method runs at once.
void SynchronizeCall(const std::function<void()>& method);
bool HasMainThreadSynchronizer();
// Without a handler of the application's, the message goes to standard
// error. EAbort is dropped silently either way.
void HandleApplicationException(std::exception_ptr error);

enum TComponentStateFlag : unsigned { csLoading = 1, csDesigning = 2 };

// A component has an owner that frees it, a name and a free integer Tag.
class TComponent {
public:
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  std::string Name;
  intptr_t Tag = 0;

  unsigned ComponentState() const { return FComponentState; }
  bool IsLoading() const { return (FComponentState & csLoading) != 0; }
  bool IsDesigning() const { return (FComponentState & csDesigning) != 0; }

  // Streaming support: BeginLoading marks the component as being loaded from
  // a description; EndLoading clears the mark and runs Loaded.
  void BeginLoading() { FComponentState |= csLoading; }
  void EndLoading();
  void SetDesigning(bool value);

protected:
  virtual void Loaded() {}

private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
  unsigned FComponentState = 0;
};

// A method reference: a routine plus the object it runs on. Two references
// to the same routine compare equal whatever their objects are.
template <class... Args>
class TEvent {
public:
  using TCode = void (*)(void* data, Args...);

  TEvent() = default;
  TEvent(std::nullptr_t) {}
  TEvent(TCode code, void* data) : Code(code), Data(data) {}

  // Reference to member function Method of obj.
  template <auto Method, class T>
  static TEvent Of(T* obj) {
    return TEvent([](void* d, Args... a) { (static_cast<T*>(d)->*Method)(a...); }, obj);
  }

  explicit operator bool() const { return Code != nullptr; }
  void operator()(Args... a) const { Code(Data, a...); }
  bool SameRoutine(const TEvent& other) const { return Code == other.Code; }

  TCode Code = nullptr;
  void* Data = nullptr;
};

}  // namespace qv
