#include "launcher/component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_)
        owner_->owned_.push_back(this);
}

TComponent::~TComponent() {
    while (!owned_.empty()) {
        TComponent* last = owned_.back();
        owned_.pop_back();
        last->owner_ = nullptr; // gone from the list already
        delete last;
    }
    if (owner_)
        owner_->owned_.erase(std::find(owner_->owned_.begin(), owner_->owned_.end(), this));
}
