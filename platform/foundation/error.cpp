#include "platform/foundation/error.h"

#include <utility>

namespace fnd {

Error::Error(std::string domain, int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::withDescription(std::string domain, int64_t code, std::string description) {
  Dictionary info;
  info.set(kLocalizedDescriptionKey, std::move(description));
  return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
  if (const Value* d = userInfo_.find(kLocalizedDescriptionKey); d && d->isString()) {
    return d->asString();
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::string Error::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription() + "\"";
  if (!userInfo_.empty()) out += " UserInfo=" + Value(userInfo_).description();
  return out;
}

bool Error::operator==(const Error& other) const {
  return domain_ == other.domain_ && code_ == other.code_ && userInfo_ == other.userInfo_;
}

}  // namespace fnd
