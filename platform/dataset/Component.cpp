#include "platform/dataset/Component.h"

#include <algorithm>

namespace kura {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_) owner_->InsertComponent(this);
}

TComponent::~TComponent() {
    destroying_ = true;
    while (!components_.empty()) {
        TComponent* last = components_.back();
        delete last;  // its destructor removes it from components_
    }
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* component) {
    // Not announced: the component is still being constructed. Components that care
    // about their siblings look at their owner when they are created.
    components_.push_back(component);
}

void TComponent::RemoveComponent(TComponent* component) {
    components_.erase(std::remove(components_.begin(), components_.end(), component), components_.end());
    for (TComponent* c : std::vector<TComponent*>(components_)) c->Notification(component, false);
}

void TComponent::BeginLoading() {
    loading_ = true;
    for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
    loading_ = false;
    Loaded();
    for (TComponent* c : std::vector<TComponent*>(components_))
        if (c->Loading()) c->EndLoading();
}

}  // namespace kura
