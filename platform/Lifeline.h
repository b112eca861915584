// Noticing a destruction from inside a call-out.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>

// Lets an object that calls out (an event handler may destroy it) find out
// afterwards whether it still exists. The object owns a TLifeline and calls
// out through CallOut, which tells whether the object lives after the call;
// a token taken by hand (Take) serves where the guard spans a loop. Tokens
// read false once the lifeline has ended, by End() or by its destruction.
// Counted without atomics: these objects live on the thread of the message
// queue.
class TLifeline {
    struct Flag {
        bool alive = true;
        int refs = 1;
    };

public:
    class Token {
    public:
        Token(const Token& o) : flag_(o.flag_) { ++flag_->refs; }
        Token& operator=(const Token&) = delete;
        ~Token() { Release(flag_); }
        explicit operator bool() const { return flag_->alive; }

    private:
        friend class TLifeline;
        explicit Token(Flag* flag) : flag_(flag) { ++flag_->refs; }
        Flag* flag_;
    };

    TLifeline() = default;
    ~TLifeline()
    {
        End();
        Release(flag_);
    }
    TLifeline(const TLifeline&) = delete;
    TLifeline& operator=(const TLifeline&) = delete;

    // Tokens taken before read false from now on.
    void End() { flag_->alive = false; }
    [[nodiscard]] Token Take() const { return Token(flag_); }

    // The one call-out helper: calls Call with Args (an event handler, a
    // member function with its object, or a step of the owner's that may
    // reach one) and returns whether the owner still lives afterwards. A
    // handler that is not set (an empty std::function) is not called: true.
    // After false nothing of the owner may be touched any more.
    template <class Call, class... Args> [[nodiscard]] bool CallOut(Call&& call, Args&&... args) const
    {
        if constexpr (std::is_constructible_v<bool, const std::remove_reference_t<Call>&>) {
            if (!static_cast<bool>(call))
                return true;
        }
        const Token token = Take();
        std::invoke(std::forward<Call>(call), std::forward<Args>(args)...);
        return static_cast<bool>(token);
    }

private:
    static void Release(Flag* flag)
    {
        if (--flag->refs == 0)
            delete flag;
    }
    Flag* flag_ = new Flag();
};
