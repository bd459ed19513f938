#pragma once

// Something made with an owner that destroys it, at the latest when the owner
// itself goes; one destroyed before its owner leaves the owner's list, so it
// is never destroyed twice. An owned component is made with new.

#include <vector>

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    // Destroys what it still owns, the last made first.
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
};
