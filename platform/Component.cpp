#include "platform/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* AOwner)
{
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent()
{
    Destroying();
    // Free what we own, last inserted first; each removes itself from the
    // list in its own destructor.
    while (!FComponents.empty())
        delete FComponents.back();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

void TComponent::Destroying()
{
    if (FDestroying)
        return;
    FDestroying = true;
    for (TComponent* c : FComponents)
        c->Destroying();
}

void TComponent::Notification(TComponent*, TOperation) { }

void TComponent::InsertComponent(TComponent* AComponent)
{
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent)
{
    auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (it == FComponents.end())
        return;
    FComponents.erase(it);
    AComponent->FOwner = nullptr;
    if (!FDestroying)
        Notification(AComponent, TOperation::opRemove);
}
