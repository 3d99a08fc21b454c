#pragma once
// Runs an action on every way out of a scope, exceptions included.
#include <utility>

template <class Action>
class ScopeExit
{
public:
    explicit ScopeExit(Action action) : action(std::move(action)) {}
    ~ScopeExit() { action(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action;
};
