// Cooperative cancellation. Long operations call vkAttention::check()
// between steps; it throws vkAttention::Cancelled when the token installed
// for the calling thread has been cancelled, for instance from another thread.
//
//     vkAttention::Token token;                  // share it with a watchdog
//     std::thread watchdog([&] { ...; token.cancel(); });
//     vkAttention::Scope scope(token);           // this thread now watches it
//     tool.train(methods, nullptr, 0);           // may throw Cancelled
#pragma once

#include <atomic>
#include <memory>

#include "imgnorm/exception.h"
#include "imgnorm/export.h"

class IMGNORM_API vkAttention {
public:
    VK_DECLARE_PLATFORM_EXCEPTION(Cancelled, vkExceptionWithString);

    // A cancellation flag; copies share it. Thread-safe.
    class IMGNORM_API Token {
    public:
        Token();
        void cancel() const;
        void reset() const;
        bool isCancelled() const;

    private:
        friend class vkAttention;
        std::shared_ptr<std::atomic<bool>> flag_;
    };

    // Installs a token for the calling thread for the lifetime of the scope;
    // scopes nest, and the previous token is restored on exit.
    class IMGNORM_API Scope {
    public:
        explicit Scope(const Token& token);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<std::atomic<bool>> flag_;
        std::atomic<bool>* previous_;
    };

    // Returns when no token is installed or it is not cancelled; otherwise
    // throws Cancelled.
    static void check();
};
