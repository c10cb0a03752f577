#include "serial/Component.h"

#include <algorithm>

namespace qv {

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
