#include "analytics/script/memory_account.h"

#include "analytics/script/evaluator.h"
#include "analytics/script/scope.h"

namespace {

thread_local std::shared_ptr<APMPMemoryAccount> active;

}  // namespace

bool APMPMemoryAccount::reserve(int64_t bytes, APMPError* error) {
  if (bytes <= 0 || live_ + bytes <= limit_) return true;
  exhaust();
  return APMPSetError(error, APMPErrorCodeInstructionLimit);
}

void APMPMemoryAccount::exhaust() {
  overrun_ = true;
  if (limitScope_) limitScope_->setInstructionCount(APMPInstructionCountHardLimit);
}

const std::shared_ptr<APMPMemoryAccount>& APMPMemoryAccount::current() { return active; }

APMPMemoryAccount::Activation::Activation(std::shared_ptr<APMPMemoryAccount> account)
    : previous_(std::move(active)) {
  active = std::move(account);
}

APMPMemoryAccount::Activation::~Activation() { active = std::move(previous_); }

bool APMPReserveMemory(int64_t bytes, APMPError* error) {
  const auto& account = APMPMemoryAccount::current();
  return !account || account->reserve(bytes, error);
}
