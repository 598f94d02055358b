// Runs a function when the scope that made it ends, on success and failure alike. Guards made
// one after another in a scope run in reverse order.
#pragma once

#include <utility>

template <typename Function>
class ScopeExit {
 public:
  explicit ScopeExit(Function function) : m_function(std::move(function)) {}
  ~ScopeExit() { m_function(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Function m_function;
};
