// SPDX-License-Identifier: Apache-2.0
// A policy's answer about one request text: the verdict, and the judged value only when the
// verdict is Allow. Operations take the judged value itself, which only its judge can make,
// so an act on a text that was refused (or never judged) cannot be written.
#pragma once
#include <cstdlib>
#include <optional>
#include <utility>
#include "policy/verdict.h"

namespace tarnvel::policy {

template <class Value>
class [[nodiscard]] Judgement {
 public:
  explicit Judgement(PolicyVerdict refusal) : verdict_(refusal == Allow ? MalformedKey : refusal) {}
  explicit Judgement(Value allowed) : verdict_(Allow), value_(std::move(allowed)) {}

  PolicyVerdict verdict() const { return verdict_; }
  bool allowed() const { return value_.has_value(); }
  // Only for an allowed judgement; asking a refusal for its value ends the process rather
  // than acting on nothing.
  const Value& operator*() const {
    if (!value_) std::abort();
    return *value_;
  }
  const Value* operator->() const { return &**this; }

 private:
  PolicyVerdict verdict_;
  std::optional<Value> value_;
};

}  // namespace tarnvel::policy
