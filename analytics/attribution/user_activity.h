// ZIVUserActivity: a user activity as the application hands it over (continuing a browsing-web
// activity through a universal link, or a launch that carried one): its type and the URLs it
// carries. An immutable record; any thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/value.h"

inline constexpr const char* kZIVUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

// A user activity as the application hands it over: its type and the URLs it carries.
class ZIVUserActivity : public fnd::Record {
 public:
  ZIVUserActivity(std::string activityType, std::optional<std::string> webpageURL,
                  std::optional<std::string> referrerURL = std::nullopt)
      : activityType_(std::move(activityType)),
        webpageURL_(std::move(webpageURL)),
        referrerURL_(std::move(referrerURL)) {}
  const std::string& activityType() const { return activityType_; }
  const std::optional<std::string>& webpageURL() const { return webpageURL_; }
  const std::optional<std::string>& referrerURL() const { return referrerURL_; }
  std::string typeName() const override { return "NSUserActivity"; }
  std::string description() const override { return activityType_; }

 private:
  const std::string activityType_;
  const std::optional<std::string> webpageURL_;
  const std::optional<std::string> referrerURL_;
};
