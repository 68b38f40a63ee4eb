// The answer callbacks of a method-channel bridge's call, bundled: one for success (the result
// sent to Dart) and one for failure (code, message, details and the native error, any of which
// may be absent). It adds no behaviour of its own.
//
// Thread safety: immutable after creation; the blocks may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

class FLTZudiroruMethodCallResult {
 public:
  using SuccessBlock = std::function<void(const fnd::Value& result)>;
  using ErrorBlock = std::function<void(
      const std::optional<std::string>& code, const std::optional<std::string>& message,
      const std::optional<fnd::Dictionary>& details, const fnd::Error* error)>;

  static std::shared_ptr<FLTZudiroruMethodCallResult> createWithSuccess(SuccessBlock success,
                                                                        ErrorBlock errorBlock) {
    return std::make_shared<FLTZudiroruMethodCallResult>(std::move(success), std::move(errorBlock));
  }

  FLTZudiroruMethodCallResult(SuccessBlock success, ErrorBlock errorBlock)
      : success_(std::move(success)), error_(std::move(errorBlock)) {}

  const SuccessBlock& success() const { return success_; }
  const ErrorBlock& error() const { return error_; }

 private:
  const SuccessBlock success_;
  const ErrorBlock error_;
};
