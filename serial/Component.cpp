#include "serial/Component.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace qv {

namespace {

std::mutex ServicesMutex;
TApplicationServices Services;

TApplicationServices CurrentServices() {
  std::lock_guard<std::mutex> lock(ServicesMutex);
  return Services;
}

}  // namespace

void SetApplicationServices(TApplicationServices services) {
  std::lock_guard<std::mutex> lock(ServicesMutex);
  Services = std::move(services);
}

void SynchronizeCall(const std::function<void()>& method) {
  const TApplicationServices services = CurrentServices();
  if (services.Synchronize)
    services.Synchronize(method);
  else
    method();
}

bool HasMainThreadSynchronizer() {
  return static_cast<bool>(CurrentServices().Synchronize);
}

void HandleApplicationException(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  const TApplicationServices services = CurrentServices();
  if (services.HandleException) {
    services.HandleException(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fputs("Unknown exception\n", stderr);
  }
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Owned components go first, newest first; each unregisters itself.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) {
    auto& list = FOwner->FComponents;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

void TComponent::EndLoading() {
  FComponentState &= ~static_cast<unsigned>(csLoading);
  Loaded();
}

void TComponent::SetDesigning(bool value) {
  if (value)
    FComponentState |= csDesigning;
  else
    FComponentState &= ~static_cast<unsigned>(csDesigning);
}

}  // namespace qv
