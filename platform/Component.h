// The component base: an object with an owner that frees what it owns,
// and the exception base class of the components.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

// Base of the components' exceptions (ESocketException, FtpException).
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& msg) : std::runtime_error(msg) { }
    std::string Message() const { return what(); }
    // The class name as shown in reports ("ESocketException: ...").
    virtual const char* ClassName() const { return "Exception"; }
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::vector<TComponent*>& Components() const { return FComponents; }

    // True once destruction of this component (or of its owner) has begun.
    bool IsDestroying() const { return FDestroying; }

protected:
    // Marks this component and everything it owns as being destroyed. A
    // derived destructor calls it first, so that owned components see the
    // flag while they are torn down.
    void Destroying();

    // Told when a component is added to or removed from this owner.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    bool FDestroying = false;
};
