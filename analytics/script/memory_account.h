// APMPMemoryAccount: the memory that the values of one runtime hold, so that no program can
// exhaust the process's memory, within one event or across events.
//
// Values that can grow (strings, array element lists, property maps) carry an APMPMemoryTicket
// that charges their approximate size to the account active on the thread when they were made
// (APMPMemoryAccount::Activation, set by the runtime around everything it runs) and gives it
// back when they are freed. The account never refuses an allocation that has already happened;
// when the live total passes the cap of the running event, it moves the runtime's instruction
// count to the hard limit, so the very next evaluation fails with code 18. Operations that are
// about to allocate a large block ask reserve() first and fail before allocating.
//
// Thread safety: none; an account belongs to one runtime, used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analytics/script/runtime_error.h"

class APMPScope;

class APMPMemoryAccount {
 public:
  APMPMemoryAccount() = default;
  APMPMemoryAccount(const APMPMemoryAccount&) = delete;
  APMPMemoryAccount& operator=(const APMPMemoryAccount&) = delete;

  // Bytes held by live values made while this account was active.
  int64_t liveBytes() const { return live_; }
  // The live bytes may grow by at most `allowance` from now on (the runtime calls this before
  // each event and before each load).
  void startBudget(int64_t allowance) {
    limit_ = live_ + allowance;
    peak_ = live_;
    overrun_ = false;
  }
  // The most bytes live at once since the last startBudget().
  int64_t peakBytes() const { return peak_; }
  // The scope whose instruction count is driven to the limit on an overrun; null for none. The
  // owner clears it before the scope goes away.
  void setLimitScope(APMPScope* scope) { limitScope_ = scope; }
  // True once the live bytes have passed the limit since the last startBudget().
  bool overrun() const { return overrun_; }

  // Adds (or, negative, removes) bytes.
  void charge(int64_t bytes) {
    live_ += bytes;
    if (live_ > peak_) peak_ = live_;
    if (bytes > 0 && live_ > limit_) exhaust();
  }
  // True when `bytes` more fit under the limit; otherwise false with code 18, and the
  // instruction count is at the limit.
  [[nodiscard]] bool reserve(int64_t bytes, APMPError* error);

  // The account active on this thread, or null.
  static const std::shared_ptr<APMPMemoryAccount>& current();

  // Makes an account the active one of this thread for its lifetime (nests).
  class Activation {
   public:
    explicit Activation(std::shared_ptr<APMPMemoryAccount> account);
    ~Activation();
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;

   private:
    std::shared_ptr<APMPMemoryAccount> previous_;
  };

 private:
  void exhaust();

  int64_t live_ = 0;
  int64_t peak_ = 0;
  int64_t limit_ = INT64_MAX;
  bool overrun_ = false;
  APMPScope* limitScope_ = nullptr;
};

// The share of one value in an account. set() charges the difference to the account that was
// active when the ticket first held bytes; the destructor gives everything back.
class APMPMemoryTicket {
 public:
  APMPMemoryTicket() = default;
  ~APMPMemoryTicket() {
    if (account_) account_->charge(-bytes_);
  }
  APMPMemoryTicket(const APMPMemoryTicket&) = delete;
  APMPMemoryTicket& operator=(const APMPMemoryTicket&) = delete;

  void set(int64_t bytes) {
    if (bytes == bytes_) return;
    if (!account_) {
      account_ = APMPMemoryAccount::current();
      if (!account_) return;
    }
    account_->charge(bytes - bytes_);
    bytes_ = bytes;
  }

 private:
  std::shared_ptr<APMPMemoryAccount> account_;
  int64_t bytes_ = 0;
};

// True when `bytes` more fit in the active account (always true without one); otherwise false
// with code 18.
[[nodiscard]] bool APMPReserveMemory(int64_t bytes, APMPError* error);
