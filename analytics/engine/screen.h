// ZIVScreen: one screen of the application as the screen reporter knows it (name, class name and
// an instance ID unique within the run), and the parameters that carry a screen on events: the
// current screen as "_si", "_sc", "_sn" and the previous one as "_pi", "_pc", "_pn".
//
// Screens are values shared by std::shared_ptr<const ZIVScreen>; null stands for "no screen".
// Thread safety: a ZIVScreen is immutable once shared; the functions are stateless.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

class ZIVMonitor;

class ZIVScreen {
 public:
  ZIVScreen() = default;
  ZIVScreen(std::optional<std::string> name, std::optional<std::string> className,
            int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  int64_t instanceID() const { return instanceID_; }
  bool isManuallySet() const { return isManuallySet_; }
  void setIsManuallySet(bool value) { isManuallySet_ = value; }
  // True for screens that come from "screen_view" events.
  bool isManuallyTracked() const { return isManuallyTracked_; }
  void setIsManuallyTracked(bool value) { isManuallyTracked_ = value; }
  // Seconds since 1970: when the screen's "screen_view" event was logged.
  double eventTimestamp() const { return eventTimestamp_; }
  void setEventTimestamp(double value) { eventTimestamp_ = value; }

  // A copy keeps the name, the class name and the instance ID only.
  std::shared_ptr<ZIVScreen> copy() const {
    return std::make_shared<ZIVScreen>(name_, className_, instanceID_);
  }

 private:
  std::optional<std::string> name_;
  std::optional<std::string> className_;
  int64_t instanceID_ = 0;
  bool isManuallySet_ = false;
  bool isManuallyTracked_ = false;
  double eventTimestamp_ = 0;
};
using ZIVScreenPtr = std::shared_ptr<const ZIVScreen>;

// "_si" always (an integer). An absent or empty class name logs 31014 (level 3); a class name the
// screen-parameter rule refuses logs 31015 with the failure code and the answer is "_si" alone;
// otherwise "_sc". A present name that passes the rule is added as "_sn". Empty for no screen.
// Logs through `monitor` (the engine's monitor when null).
fnd::Dictionary ZIVScreenParameters(const ZIVScreen* screen, ZIVMonitor* monitor = nullptr);
inline fnd::Dictionary ZIVScreenParameters(const ZIVScreenPtr& screen,
                                           ZIVMonitor* monitor = nullptr) {
  return ZIVScreenParameters(screen.get(), monitor);
}

// "_pi" always; "_pc" when the class name is present, not empty and valid; "_pn" when the name is
// present and valid. Empty for no screen. Logs nothing.
fnd::Dictionary ZIVPreviousScreenParameters(const ZIVScreen* screen);
inline fnd::Dictionary ZIVPreviousScreenParameters(const ZIVScreenPtr& screen) {
  return ZIVPreviousScreenParameters(screen.get());
}
